#!/bin/bash
# Sensitivity of Haldrin's two receivers against ideal soft symbols, on frames received from a real
# pass: for every Es/N0 of the grid, the frames tarnwick-batch recovers from
#   ideal  - lrpt-synth's 8-bit soft symbols with Gaussian noise at that Es/N0 (no demodulator),
#   precise, model - haldrin-batch on a generator WAV of the same frames at the same Es/N0, with a
#            carrier offset and a Doppler ramp (wav-ramp).
# The recording carries 20 frames before the counted ones (time for both receivers to lock) and 2
# after them (the decoder's chain holds the last frame or two at the end of its input).
# Both forms use one Es/N0 definition: A^2 / sigma^2 per branch for the symbols, and for the WAV
# the same ratio after a unit-energy matched filter (level^2 x samples per symbol / sigma^2).
# Two scenarios: plain QPSK, and offset QPSK + NRZ-M (tarnwick-batch --diff) as N2-3/N2-4 send.
# A frame counts when its 1,020 bytes appear whole in the decoder's .vcdu file.
#
# usage: bench/precise-sensitivity.sh [BUILD_DIR]
# environment: FRAMES (300), GRID ("1.5 2 ... 8"), SCENARIOS ("qpsk oqpsk-nrzm"), CADU (frames file),
#              RATE (WAV sample rate, 196078), OFFSET_QPSK (3000), DRIFT_QPSK (-100),
#              OFFSET_OQPSK (-2000), DRIFT_OQPSK (100)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
synth=$build/tools/lrpt-synth/lrpt-synth
haldrin=$build/tools/haldrin-batch/haldrin-batch
tarnwick=$build/tools/tarnwick-batch/tarnwick-batch
ramp=$build/bench/wav-ramp
for tool in "$synth" "$haldrin" "$tarnwick" "$ramp"; do
    [ -x "$tool" ] || { echo "missing $tool (build lrpt-synth haldrin-batch tarnwick-batch wav-ramp)" >&2; exit 1; }
done
# The frames of the table in precise-sensitivity-results.md; the project's own real frames where the
# shared folder is not beside the checkout.
cadu=${CADU:-$root/../shared/data/real-cadu/decoded_202606131127.fixed.cadu}
[ -f "$cadu" ] || cadu=$root/data/real-cadu/decoded_202606201550.fixed.cadu
frames=${FRAMES:-300}
grid=${GRID:-"1.5 2 2.5 3 3.5 4 4.5 5 5.5 6 6.5 7 7.5 8"}
rate=${RATE:-196078}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c $((1024 * (20 + frames + 2))) "$cadu" >"$work/sent.cadu"
tail -c +$((1024 * 20 + 1)) "$work/sent.cadu" | head -c $((1024 * frames)) >"$work/frames.cadu"
[ "$(stat -c %s "$work/frames.cadu")" -eq $((1024 * frames)) ] || { echo "$cadu holds too few frames" >&2; exit 1; }

# Frames of frames.cadu found whole in a .vcdu file.
count() {
    python3 - "$work/frames.cadu" "$1" <<'PY'
import sys
sent = open(sys.argv[1], 'rb').read()
want = {sent[k + 4:k + 1024] for k in range(0, len(sent), 1024)}
try:
    got = open(sys.argv[2], 'rb').read()
except OSError:
    got = b''
print(len(want & {got[k + 4:k + 1024] for k in range(0, len(got) - 1023, 1024)}))
PY
}

decode() { # file, decoder options -> frames recovered
    rm -f "$1.vcdu"
    "$tarnwick" --72k $2 --out "$work" "$1" >/dev/null 2>&1 || true
    count "$1.vcdu"
}

for scenario in ${SCENARIOS:-qpsk oqpsk-nrzm}; do
    case $scenario in
    qpsk)
        synthWav="--carrier-offset ${OFFSET_QPSK:-3000}" synthSym="" rx="" dec="" drift=${DRIFT_QPSK:--100} ;;
    oqpsk-nrzm)
        synthWav="--oqpsk --nrzm --carrier-offset ${OFFSET_OQPSK:--2000}" synthSym="--nrzm" rx="--oqpsk" dec="--diff"
        drift=${DRIFT_OQPSK:-100} ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
    esac
    echo "## $scenario: $synthWav, drift $drift Hz/s, $rate S/s, $frames frames"
    echo "| Es/N0 dB | ideal .s | precise | model |"
    echo "|---|---|---|---|"
    seed=1
    for esn0 in $grid; do
        seed=$((seed + 1))
        "$synth" -q --no-truth --from-cadu "$work/sent.cadu" --esn0 "$esn0" --seed $seed \
            $synthSym -o "$work/ideal.s"
        "$synth" -q --no-truth --from-cadu "$work/sent.cadu" --esn0 "$esn0" --seed $seed \
            --sample-rate "$rate" $synthWav -o "$work/flat.wav"
        "$ramp" "$work/flat.wav" "$work/pass.wav" "$drift"
        # The generator's frames hold (Q, I); the model takes the second channel as I by itself, the
        # precise receiver reads I first as SDR programs record it, so it is told.
        "$haldrin" -q --receiver precise --swap-iq $rx "$work/pass.wav" "$work/precise.s"
        "$haldrin" -q --receiver model $rx "$work/pass.wav" "$work/model.raw"
        echo "| $esn0 | $(decode "$work/ideal.s" "$dec") | $(decode "$work/precise.s" "$dec") | $(decode "$work/model.raw" "$dec") |"
    done
    echo
done
