#!/usr/bin/env bash
# Whole-program throughput of tarnwick-batch: generates a ten-minute pass in 72 k and in 80 k mode
# (six channels, .s form) and decodes each three times, reporting the best wall time as times real
# time. Usage: bench/tarnwick-batch-throughput.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
synth=$build/tools/lrpt-synth/lrpt-synth
batch=$build/tools/tarnwick-batch/tarnwick-batch
[ -x "$synth" ] && [ -x "$batch" ] || { echo "build first: cmake --build $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
for mode in 72k 80k; do
  name="$work/pass_LRPT_.s"
  [ "$mode" = 80k ] && name="$work/pass_LRPT INT_.s"
  "$synth" --mode "$mode" --duration 600 --channels 1,2,3,4,5,6 --no-truth -q -o "$name"
  best=""
  for run in 1 2 3; do
    line=$("$batch" --out "$work/out" "$name" | head -n 1)
    ratio=$(echo "$line" | sed -E 's/.*\(([0-9.]+) times real time\).*/\1/')
    if [ -z "$best" ] || awk "BEGIN{exit !($ratio > $best)}"; then best=$ratio; fi
    echo "  $mode run $run: $line"
  done
  echo "$mode: best $best times real time"
  rm -rf "$work/out" "$name"
done
