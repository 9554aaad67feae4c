#!/usr/bin/env bash
# Whole-program throughput of tarnwick-batch: generates a ten-minute pass in 72 k and in 80 k mode
# (six channels, .s form, Gaussian noise at ESN0 dB) and decodes each RUNS times, reporting every
# run, the best and the spread (worst/best) as times real time, the processor seconds per stage
# of the best run and the load average before and after (the figures are wall-clock times: other
# work on the machine lowers them).
# Usage: bench/tarnwick-batch-throughput.sh [BUILD_DIR [RUNS [ESN0]]] (default build 3 6).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
esn0=${3:-6}
synth=$build/tools/lrpt-synth/lrpt-synth
batch=$build/tools/tarnwick-batch/tarnwick-batch
[ -x "$synth" ] && [ -x "$batch" ] || { echo "build first: cmake --build $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
for mode in 72k 80k; do
  name="$work/pass_LRPT_.s"
  [ "$mode" = 80k ] && name="$work/pass_LRPT INT_.s"
  "$synth" --mode "$mode" --duration 600 --channels 1,2,3,4,5,6 --esn0 "$esn0" --no-truth -q -o "$name"
  echo "$mode, Es/N0 $esn0 dB; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
  best="" worst="" stages=""
  for run in $(seq "$runs"); do
    summary=$("$batch" --out "$work/out" "$name")
    line=$(echo "$summary" | head -n 1)
    ratio=$(echo "$line" | sed -E 's/.*\(([0-9.]+) times real time\).*/\1/')
    if [ -z "$best" ] || awk "BEGIN{exit !($ratio > $best)}"; then
      best=$ratio
      stages=$(echo "$summary" | grep '^time:')
    fi
    if [ -z "$worst" ] || awk "BEGIN{exit !($ratio < $worst)}"; then worst=$ratio; fi
    echo "  $mode run $run: $line"
  done
  echo "$mode: best $best, worst $worst times real time (spread $(awk "BEGIN{printf \"%.0f\", 100 * ($best - $worst) / $best}") %)"
  echo "  best run: $stages"
  echo "  load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  rm -rf "$work/out" "$name"
done
