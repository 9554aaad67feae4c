#!/usr/bin/env bash
# Extra wall time of the map products (registration on the coastlines, tie points, GeoTIFF and PNG
# maps with overlays, GCP GeoTIFFs): a ten-minute six-channel pass decoded by tarnwick-batch with
# and without --tle (487 scans), RUNS times each, on the cores given (default 0,1: two cores). The pass carries
# the real pass's channel pictures (repeated down the ten minutes) with its date and start time, so
# that the orbit puts it over the real coasts for its first two minutes. Besides the wall time of
# writing the pictures it reports the processor seconds (user + system) of the whole run, which the
# other work on a shared machine disturbs far less: their difference is what the maps cost.
# Usage: bench/map-products-time.sh [BUILD_DIR [RUNS [CORES]]] (default build 3 0,1).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-3}
cores=${3:-0,1}
synth=$build/tools/lrpt-synth/lrpt-synth
batch=$build/tools/tarnwick-batch/tarnwick-batch
tle=data/tle/weather-2026-06-19.txt
[ -x "$synth" ] && [ -x "$batch" ] || { echo "build first: cmake --build $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The real pass's channels 1-3 as grey PGM pictures (the BMPs' first byte of each pixel).
"$synth" --from-cadu data/real-cadu/decoded_202606201550.fixed.cadu --no-truth -q -o "$work/real.s"
"$batch" -q --out "$work/real" "$work/real.s"
for c in 64 65 66; do
  # Rows are stored bottom-up, 3 bytes a pixel, padded to 4 bytes: top-down grey rows out.
  perl -e 'local $/; my $b = <STDIN>; my ($w, $h) = unpack("V2", substr($b, 18, 8));
    my $row = int(($w * 3 + 3) / 4) * 4; print "P5\n$w $h\n255\n";
    for (my $y = $h - 1; $y >= 0; --$y) {
      my $r = substr($b, 54 + $y * $row, $w * 3); print pack("C*", (unpack("C*", $r))[map { 3 * $_ } 0 .. $w - 1]);
    }' <"$work/real/real.s.$c.bmp" >"$work/ch$c.pgm"
done
pass="$work/pass.s"
"$synth" --scans 487 --channels 1,2,3,4,5,6 --day 9302 --start-time 13:37:06.785 \
  --picture 1="$work/ch64.pgm" --picture 2="$work/ch65.pgm" --picture 3="$work/ch66.pgm" \
  --picture 4="$work/ch66.pgm" --picture 5="$work/ch65.pgm" --picture 6="$work/ch64.pgm" \
  --no-truth -q -o "$pass"
echo "machine: $(nproc) cores, run on cores $cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
best() { sort -g | head -n 1; }
for kind in plain maps; do
  extra=()
  [ "$kind" = maps ] && extra=(--tle "$tle")
  for run in $(seq "$runs"); do
    TIMEFORMAT='%U %S'
    { time taskset -c "$cores" "$batch" "${extra[@]}" --out "$work/out-$kind" "$pass" >"$work/summary"; } 2>"$work/cpu"
    summary=$(cat "$work/summary")
    echo "$summary" | grep '^time:' | sed -E 's/.* ([0-9.]+) s writing pictures.*/\1/' >>"$work/$kind.times"
    tail -n 1 "$work/cpu" | awk '{ printf "%.2f\n", $1 + $2 }' >>"$work/$kind.cpu"
    [ "$kind" = maps ] && [ "$run" = 1 ] && echo "$summary" | grep -E '^(registration|pass|satellite)'
  done
  echo "$kind: writing pictures $(tr '\n' ' ' <"$work/$kind.times")s; best $(best <"$work/$kind.times") s;" \
    "processor $(tr '\n' ' ' <"$work/$kind.cpu")s; least $(best <"$work/$kind.cpu") s"
done
plain=$(best <"$work/plain.times")
maps=$(best <"$work/maps.times")
echo "map products add $(awk "BEGIN{printf \"%.2f\", $maps - $plain}") s of wall time (best of $runs each; target 1.5 s)"
echo "map products add $(awk "BEGIN{printf \"%.2f\", $(best <"$work/maps.cpu") - $(best <"$work/plain.cpu")}") processor seconds (least of $runs each)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
