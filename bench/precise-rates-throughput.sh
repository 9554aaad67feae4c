#!/usr/bin/env bash
# The precise receiver's speed at the sample rates of the field, through the whole program:
# haldrin-batch --receiver precise on a generated 72 k pass (16-bit complex baseband, Es/N0 12 dB,
# 2.5 kHz off frequency) at 144,000 (two samples per symbol), 150,000, 196,078 and 250,000 S/s and
# at 1.024 and 2.048 MS/s, reported as times real time (the best of RUNS runs). With a second build
# directory it times both builds' haldrin-batch alternately on the same files, so the load of a
# shared machine falls on both alike, and prints their ratio; the ratio of each rate to 144 kS/s
# within a build is the measure that the load disturbs least.
# Usage: bench/precise-rates-throughput.sh [BUILD_DIR [OTHER_BUILD_DIR]]
# Environment: RATES (the six above), DURATION (seconds of signal, 30), RUNS (3), OQPSK (1: offset QPSK)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
other=${2:-}
synth=$build/tools/lrpt-synth/lrpt-synth
builds=("$build")
[ -n "$other" ] && builds+=("$other")
for b in "${builds[@]}"; do
    [ -x "$b/tools/haldrin-batch/haldrin-batch" ] || { echo "build first: cmake --build $b --target lrpt-synth haldrin-batch" >&2; exit 1; }
done
[ -x "$synth" ] || { echo "build first: cmake --build $build --target lrpt-synth" >&2; exit 1; }
rates=${RATES:-"144000 150000 196078 250000 1024000 2048000"}
duration=${DURATION:-30}
runs=${RUNS:-3}
synthMode="" rxMode=""
if [ "${OQPSK:-0}" = 1 ]; then synthMode="--oqpsk" rxMode="--oqpsk"; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "${duration} s of signal per rate, best of $runs runs${OQPSK:+, offset QPSK}"
header="| rate S/s |"
rule="|---|"
for b in "${builds[@]}"; do header+=" $b x real time | vs 144 k |"; rule+="---|---|"; done
[ -n "$other" ] && { header+=" ${builds[0]} / ${builds[1]} |"; rule+="---|"; }
echo "$header"
echo "$rule"
declare -A base
for rate in $rates; do
    "$synth" --duration "$duration" --sample-rate "$rate" --esn0 12 --carrier-offset 2500 --head-frames 20 \
        $synthMode --no-truth -q -o "$work/pass.wav"
    declare -A best=()
    for run in $(seq "$runs"); do
        for b in "${builds[@]}"; do
            line=$("$b/tools/haldrin-batch/haldrin-batch" --receiver precise $rxMode "$work/pass.wav" \
                "$work/pass.s" | grep "x real time")
            ratio=$(echo "$line" | sed -E 's/.*\(([0-9.]+) x real time\).*/\1/')
            if [ -z "${best[$b]:-}" ] || awk "BEGIN{exit !($ratio > ${best[$b]})}"; then best[$b]=$ratio; fi
        done
    done
    row="| $rate |"
    for b in "${builds[@]}"; do
        [ -z "${base[$b]:-}" ] && base[$b]=${best[$b]}
        row+=" ${best[$b]} | $(awk "BEGIN{printf \"%.2f\", ${best[$b]} / ${base[$b]}}") |"
    done
    [ -n "$other" ] && row+=" $(awk "BEGIN{printf \"%.2f\", ${best[${builds[0]}]} / ${best[${builds[1]}]}}") |"
    echo "$row"
    unset best
done
