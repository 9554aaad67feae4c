#!/usr/bin/env bash
# Whole-program throughput of haldrin-batch: generates a ten-minute 72 k pass as 16-bit complex
# baseband at 192,000 samples/s (Es/N0 12 dB, 2.5 kHz off frequency) and demodulates it three
# times with each receiver (precise, model), reporting the best run as times real time.
# Usage: bench/haldrin-batch-throughput.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
synth=$build/tools/lrpt-synth/lrpt-synth
batch=$build/tools/haldrin-batch/haldrin-batch
[ -x "$synth" ] && [ -x "$batch" ] || { echo "build first: cmake --build $build --target lrpt-synth haldrin-batch" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
"$synth" --duration 600 --sample-rate 192000 --esn0 12 --carrier-offset 2500 --head-frames 20 \
  --no-truth -q -o "$work/pass.wav"
echo "input: $(stat -c %s "$work/pass.wav") bytes"
for receiver in precise model; do
  best=""
  for run in 1 2 3; do
    line=$("$batch" --receiver $receiver "$work/pass.wav" "$work/pass.raw" | grep "x real time")
    ratio=$(echo "$line" | sed -E 's/.*\(([0-9.]+) x real time\).*/\1/')
    if [ -z "$best" ] || awk "BEGIN{exit !($ratio > $best)}"; then best=$ratio; fi
    echo "  run $run: $line"
  done
  echo "haldrin-batch --receiver $receiver: best $best times real time"
done
