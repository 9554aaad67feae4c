#!/bin/bash
# Sensitivity of Haldrin's two receivers against ideal soft symbols, on frames received from a real
# pass: for every Es/N0 of the grid, the frames tarnwick-batch recovers from
#   ideal  - lrpt-synth's 8-bit soft symbols with Gaussian noise at that Es/N0 (no demodulator),
#   precise, model - haldrin-batch on a generator WAV of the same frames at the same Es/N0, with a
#            carrier offset and a Doppler ramp (wav-ramp).
# The recording carries HEAD (20) frames before the counted ones (time for the receivers to lock) and 2
# after them (a margin at the end: the decoder's chain lets every frame whose symbols are all there
# through at the end of its input, but a receiver need not deliver the very last symbols); in 80 k mode
# the generator adds 170 fill frames (19 s) after those, which push the counted frames through the
# deinterleaver's 16.6 s. No longer lead-in is needed there: the deinterleaver delays the sent
# stream as a whole, so only the values sent before the receivers lock are lost, as in 72 k mode.
# Both forms use one Es/N0 definition: A^2 / sigma^2 per branch for the symbols, and for the WAV
# the same ratio after a unit-energy matched filter (level^2 x samples per symbol / sigma^2).
# Three scenarios: plain QPSK at 72 k; offset QPSK + NRZ-M (tarnwick-batch --diff) at 72 k as N2-3
# sends it; and the same at 80 k, interleaved, as N2-4 sends it.
# A frame counts when its 1,020 bytes appear whole in the decoder's .vcdu file. Each point's noise
# seed follows from its Es/N0 and SEED alone (SEED + 100 x Es/N0), so a point gives the same count
# whatever grid it is run in; another SEED gives another noise draw of the whole table.
#
# usage: bench/precise-sensitivity.sh [BUILD_DIR]
# environment: FRAMES (300), GRID (Es/N0 points of the ideal symbols and the precise receiver,
#              "1 1.25 ... 3"), MODEL_GRID (points of the model, "4.5 5 ... 8"; a row shows "-"
#              for a receiver not run at that point), SCENARIOS ("qpsk oqpsk-nrzm oqpsk-nrzm-80k"),
#              CADU (frames file), RATE (WAV sample rate, 196078), OFFSET_QPSK (3000),
#              DRIFT_QPSK (-100), OFFSET_OQPSK (-2000), DRIFT_OQPSK (100), OFFSET_80K (-2000),
#              DRIFT_80K (100), HEAD (frames before the counted ones, 20), SEED (2)
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
grid=${GRID:-"1 1.25 1.5 1.75 2 2.25 2.5 3"}
modelGrid=${MODEL_GRID:-"4.5 5 5.5 6 6.5 7 7.5 8"}
rate=${RATE:-196078}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lead=${HEAD:-20}
head -c $((1024 * (lead + frames + 2))) "$cadu" >"$work/sent.cadu"
# (head before tail: tail reads to the end, so no stage of the pipe dies of a closed pipe.)
head -c $((1024 * (lead + frames))) "$work/sent.cadu" | tail -c $((1024 * frames)) >"$work/frames.cadu"
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
    "$tarnwick" $2 --out "$work" "$1" >/dev/null 2>&1 || true
    count "$1.vcdu"
}

# The grid points, both grids merged in ascending order; member LIST X holds when X is in LIST
# (a loop, not grep -q, which may close the pipe on printf: a SIGPIPE fails the test under pipefail).
points=$(printf '%s\n' $grid $modelGrid | sort -g -u)
member() {
    local x
    for x in $1; do [ "$x" = "$2" ] && return 0; done
    return 1
}

for scenario in ${SCENARIOS:-qpsk oqpsk-nrzm oqpsk-nrzm-80k}; do
    # synthWav/synthSym: the generator's options for the WAV and for the ideal symbols;
    # precise/model: each receiver's options; dec: the decoder's.
    case $scenario in
    qpsk)
        synthWav="--carrier-offset ${OFFSET_QPSK:-3000}" synthSym="" precise="" model="" dec="--72k"
        drift=${DRIFT_QPSK:--100} ;;
    oqpsk-nrzm)
        synthWav="--oqpsk --nrzm --carrier-offset ${OFFSET_OQPSK:--2000}" synthSym="--nrzm"
        precise="--oqpsk" model="--oqpsk" dec="--72k --diff"
        drift=${DRIFT_OQPSK:-100} ;;
    oqpsk-nrzm-80k)
        # The model's symbol rate is a parameter (72,000 by default).
        synthWav="--mode 80k --oqpsk --nrzm --carrier-offset ${OFFSET_80K:--2000}" synthSym="--mode 80k --nrzm"
        precise="--oqpsk --symbol-rate 80000" model="--oqpsk --param SymRate=80000" dec="--80k --diff"
        drift=${DRIFT_80K:-100} ;;
    *) echo "unknown scenario $scenario" >&2; exit 2 ;;
    esac
    echo "## $scenario: $synthWav, drift $drift Hz/s, $rate S/s, $frames frames after $lead, seed ${SEED:-2}"
    echo "| Es/N0 dB | ideal .s | precise | model |"
    echo "|---|---|---|---|"
    for esn0 in $points; do
        seed=$(awk -v e="$esn0" -v s="${SEED:-2}" 'BEGIN { printf "%d", s + e * 100 }')
        ideal=- preciseCount=- modelCount=-
        if member "$grid" "$esn0"; then
            "$synth" -q --no-truth --from-cadu "$work/sent.cadu" --esn0 "$esn0" --seed $seed \
                $synthSym -o "$work/ideal.s"
            ideal=$(decode "$work/ideal.s" "$dec")
        fi
        "$synth" -q --no-truth --from-cadu "$work/sent.cadu" --esn0 "$esn0" --seed $seed \
            --sample-rate "$rate" $synthWav -o "$work/flat.wav"
        "$ramp" "$work/flat.wav" "$work/pass.wav" "$drift"
        # The generator's frames hold (Q, I); the model takes the second channel as I by itself, the
        # precise receiver reads I first as SDR programs record it, so it is told.
        if member "$grid" "$esn0"; then
            "$haldrin" -q --receiver precise --swap-iq $precise "$work/pass.wav" "$work/precise.s"
            preciseCount=$(decode "$work/precise.s" "$dec")
        fi
        if member "$modelGrid" "$esn0"; then
            "$haldrin" -q --receiver model $model "$work/pass.wav" "$work/model.raw"
            modelCount=$(decode "$work/model.raw" "$dec")
        fi
        echo "| $esn0 | $ideal | $preciseCount | $modelCount |"
    done
    echo
done
