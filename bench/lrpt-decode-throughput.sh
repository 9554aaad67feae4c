#!/usr/bin/env bash
# Whole-program throughput of lrpt-decode, detection included:
#  1. a ten-minute pass (six channels, MOD = oqpsk or qpsk, NRZ-M, 72 k, Es/N0 ESN0 dB, 2.5 kHz off
#     frequency, I first) as a 16-bit WAV at 144,000 samples/s, decoded RUNS times without any mode
#     flag: times real time, and how long the detection took (its wall time and the seconds of
#     recording it read), from pass.json;
#  2. live: LIVE seconds of the same kind of pass as unsigned 8-bit I/Q at 1,024,000 samples/s,
#     piped through `cat` into `lrpt-decode --input-format cu8 --rate 1024000 -`: times real time
#     (a live receiver needs well over 1; the aim is 5 or more).
# The figures are wall-clock times: the load average before and after each part is printed, since
# other work on the machine lowers them.
# Usage: bench/lrpt-decode-throughput.sh [BUILD_DIR [RUNS [ESN0 [MOD [LIVE]]]]] (default build 2 6 oqpsk 120).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-2}
esn0=${3:-6}
mod=${4:-oqpsk}
live=${5:-120}
synth=$build/tools/lrpt-synth/lrpt-synth
decode=$build/tools/lrpt-decode/lrpt-decode
[ -x "$synth" ] && [ -x "$decode" ] || { echo "build first: cmake --build $build --target lrpt-synth lrpt-decode" >&2; exit 1; }
modflag=""
[ "$mod" = oqpsk ] && modflag=--oqpsk

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
json() { # json FILE KEY...: a number from pass.json, by its key path
  python3 -c 'import json,sys; v=json.load(open(sys.argv[1]))
for k in sys.argv[2:]: v=v[k]
print(v)' "$@"
}
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

"$synth" --duration 600 --sample-rate 144000 --channels 1,2,3,4,5,6 $modflag --nrzm --polarity satellite \
  --swap-iq --esn0 "$esn0" --carrier-offset 2500 --head-frames 20 --no-truth -q -o "$work/pass.wav"
echo "WAV: 600 s of $mod NRZ-M 72k at 144000 samples/s, Es/N0 $esn0 dB, $(stat -c %s "$work/pass.wav") bytes"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
best=""
for run in $(seq "$runs"); do
  start=$(date +%s.%N)
  "$decode" -q --out "$work/out" "$work/pass.wav"
  wall=$(echo "$(date +%s.%N) - $start" | bc)
  seconds=$(json "$work/out/pass.json" recording_seconds)
  ratio=$(echo "scale=1; $seconds / $wall" | bc)
  echo "  run $run: $seconds s of recording in $wall s: $ratio times real time; detection" \
    "$(json "$work/out/pass.json" detected seconds) s on $(json "$work/out/pass.json" detected recording_seconds) s" \
    "of recording ($(json "$work/out/pass.json" detected description | cut -d' ' -f1-3)); frames" \
    "$(json "$work/out/pass.json" frames passed_on); writing the pictures $(json "$work/out/pass.json" writing_pictures_seconds) s"
  if [ -z "$best" ] || awk "BEGIN{exit !($ratio > $best)}"; then best=$ratio; fi
done
echo "WAV: best $best times real time (target 130); load after: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -f "$work/pass.wav"

"$synth" --duration "$live" --sample-rate 1024000 --form cu8 --channels 1,2,3,4,5,6 $modflag --nrzm \
  --polarity satellite --swap-iq --esn0 "$esn0" --carrier-offset 2500 --head-frames 20 --no-truth -q \
  -o "$work/live.cu8"
echo "live: $live s of $mod NRZ-M 72k as cu8 at 1024000 samples/s through a pipe; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s.%N)
cat "$work/live.cu8" | "$decode" -q --input-format cu8 --rate 1024000 --out "$work/live" -
wall=$(echo "$(date +%s.%N) - $start" | bc)
seconds=$(json "$work/live/pass.json" recording_seconds)
echo "live: $seconds s of recording in $wall s: $(echo "scale=1; $seconds / $wall" | bc) times real time" \
  "(target 5); frames $(json "$work/live/pass.json" frames passed_on); load after: $(cut -d' ' -f1-3 /proc/loadavg)"
