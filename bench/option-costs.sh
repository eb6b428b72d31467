#!/bin/sh
# Time, memory and temporary disk of the common jobs on the bundled samples:
# the figures of the README's "Choosing options" section. Each job runs
# RUNS times (default 3) with its own empty TMPDIR; the table shows the
# fastest wall time, its CPU time, the peak memory and the peak size of the
# temporary folder (sampled every 0.1 s), and the output size.
# Usage: bench/option-costs.sh [path/to/quovix]   (after make and make demo's
# inputs exist; the RAW job needs dcraw). Not part of `make bench`.
set -e
BIN=${1:-build/quovix}
case $BIN in /*) ;; *) BIN=$(pwd)/$BIN ;; esac
cd "$(dirname "$0")/.."
RUNS=${RUNS:-3}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
ln -s "$(pwd)/examples/raw_canon/IMG_5952.CR2" "$WORK/IMG_5952.CR2"

PCB="examples/focus_pcb/pcb_00*.jpg"
BRACKET="examples/raw_bracket/tower_ev-2.tif examples/raw_bracket/tower_ev+0.tif examples/raw_bracket/tower_ev+2.tif"

# Largest size of the folder until the run leaves its exit status in a file.
watch_disk() {
    peak=0
    while [ ! -s "$1" ]; do
        size=$(du -sb "$2" 2>/dev/null | cut -f1)
        [ "${size:-0}" -gt "$peak" ] && peak=$size
        sleep 0.1
    done
    echo "$peak"
}

# job NAME KEEP_TMP OUTPUT ARGS...: one table row. With KEEP_TMP=yes the
# runs share one TMPDIR (the preview cache survives from run to run).
job() {
    name=$1 keep=$2 output=$WORK/$3
    shift 3
    best="" cpu="" mem="" disk=""
    shared=$WORK/tmp-shared
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        i=$((i + 1))
        if [ "$keep" = yes ]; then tmp=$shared; else tmp=$WORK/tmp-$i; rm -rf "$tmp"; fi
        mkdir -p "$tmp"
        rm -f "$output" "$WORK/IMG_5952.tiff" "$WORK/rc"
        (
            TMPDIR=$tmp /usr/bin/time -f "%e %U %S %M" -o "$WORK/time" "$BIN" -o "$output" "$@" >"$WORK/log" 2>&1
            echo $? >"$WORK/rc"
        ) &
        peak=$(watch_disk "$WORK/rc" "$tmp")
        wait
        [ "$(cat "$WORK/rc")" = 0 ] || { tail -n 5 "$WORK/log"; echo "$name failed" >&2; exit 1; }
        read -r wall user sys rss <"$WORK/time"
        if [ -z "$best" ] || awk -v a="$wall" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$wall cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') mem=$rss
        fi
        [ -z "$disk" ] || [ "$peak" -gt "$disk" ] && disk=$peak
    done
    awk -v n="$name" -v w="$best" -v c="$cpu" -v m="$mem" -v d="$disk" -v o="$(stat -c %s "$output")" 'BEGIN {
        printf "| %s | %.1f s | %.1f s | %.0f MB | %.0f MB | %.1f MB |\n", n, w, c, m / 1024, d / 1e6, o / 1e6 }'
}

echo "Machine: $(nproc) cores; quovix $("$BIN" -V | sed -n 's/^Quovix //p'); $RUNS runs per job, fastest shown"
echo
echo "| Job | Wall | CPU | Memory | Temp disk | Output |"
echo "|---|---|---|---|---|---|"
# shellcheck disable=SC2086
{
job "Exposure fusion, 3 x 16-bit 1761x1174 (defaults)" no bracket.tif $BRACKET
job "  same, --compression NONE" no bracket.tif --compression NONE $BRACKET
job "  same, --scratchCompression NONE" no bracket.tif --scratchCompression NONE $BRACKET
job "  same, -a 8" no bracket.tif -a 8 $BRACKET
job "  same, --bigtiff" no bracket.tif --bigtiff $BRACKET
job "Focus stack, 7 x 2048x1536 JPEG, -c" no stack.tif -c $PCB
job "  one pass: -p 1 --wMode 1 --wContrast 1 --wExposure 0 -c" no stack.tif -p 1 --wMode 1 --wContrast 1 --wExposure 0 -c $PCB
job "  same as -c, --compression NONE" no stack.tif -c --compression NONE $PCB
job "  same as -c, --scratchCompression NONE" no stack.tif -c --scratchCompression NONE $PCB
job "Both at once: focus stack -c -b 1 (21 frames)" no both.tif -c -b 1 $PCB
job "RAW 3522x2348, -b 2 (3 conversions)" no raw.tif -b 2 "$WORK/IMG_5952.CR2"
job "Preview --gConstrain 1200x800, focus stack, first run" no preview.jpg --gConstrain 1200x800 $PCB
job "  again, from the preview cache" yes preview.jpg --gConstrain 1200x800 $PCB
job "Preview --gConstrain 1200x800, RAW -b 2, first run" no preview.jpg --gConstrain 1200x800 -b 2 "$WORK/IMG_5952.CR2"
job "  again, from the preview cache" yes preview.jpg --gConstrain 1200x800 -b 2 "$WORK/IMG_5952.CR2"
}
