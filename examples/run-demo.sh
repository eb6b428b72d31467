#!/bin/sh
# Fuses the bundled photographs to show what Quovix is good at:
#  1. a focus stack: seven shots of a circuit board, processed in YCrCb (-c);
#  2. one real Canon RAW file, fused with copies the RAW converter makes two
#     stops darker and brighter (-b 2);
#  3. a 16-bit TIFF bracket (-2, 0, +2 EV) made from that RAW file, fused into
#     a 16-bit result;
#  4. a hand-held bracket of seven JPEG frames, aligned and cropped to the
#     area every frame covers (--align --alignCrop).
# Usage: run-demo.sh [path/to/quovix]; results (and one log per run) go to
# $DEMO_OUT, default demo-output/.
set -e
BIN=${1:-build/quovix}
OUT=${DEMO_OUT:-demo-output}
case $BIN in /*) ;; *) BIN=$(pwd)/$BIN ;; esac
case $OUT in /*) ;; *) OUT=$(pwd)/$OUT ;; esac
cd "$(dirname "$0")/.."
mkdir -p "$OUT"
[ -x "$BIN" ] || { echo "quovix not found at $BIN (run make first)" >&2; exit 1; }

# The program's closing summary, from the run's log: output path, then
# "WxH pixels, N bits per sample, size, seconds".
summary() {
    line=$(grep '^Wrote ' "$1" | tail -n 1)
    path=${line#Wrote }
    echo "-> ${path%: *}" | sed "s|^-> $(pwd)/|-> |"
    echo "   ${line##*: }"
}

# fuse TITLE OUTPUT SHOWN ARGS...: one quovix run, its console output in
# OUTPUT.log; SHOWN is the command line as printed (globs unexpanded).
fuse() {
    title=$1
    output=$OUT/$2
    shown=$3
    shift 3
    log=${output%.*}.log
    echo
    echo "== $title"
    echo "   quovix -o $output $shown" | sed "s|$(pwd)/||g"
    if ! "$BIN" -o "$output" "$@" >"$log" 2>&1; then
        tail -n 20 "$log"
        echo "quovix failed; full log in $log" >&2
        exit 1
    fi
    summary "$log"
}

fuse "Focus stack: 7 frames of a circuit board, each sharp at another depth" \
    pcb_stack.tif "-c examples/focus_pcb/pcb_00*.jpg" -c examples/focus_pcb/pcb_00*.jpg

# The converter's output goes to the run's scratch folder: examples/ stays
# untouched.
fuse "One Canon RAW file, converted at -2, 0 and +2 stops and fused" \
    tower_raw.tif "-b 2 examples/raw_canon/IMG_5952.CR2" -b 2 examples/raw_canon/IMG_5952.CR2

B=examples/raw_bracket
fuse "16-bit TIFF bracket made from that RAW file: -2, 0, +2 EV" \
    tower_bracket.tif "$B/tower_ev-2.tif $B/tower_ev+0.tif $B/tower_ev+2.tif" \
    "$B/tower_ev-2.tif" "$B/tower_ev+0.tif" "$B/tower_ev+2.tif"

C=examples/crusader
fuse "Hand-held bracket: 7 frames shot without a tripod, aligned and cropped" \
    crusader_aligned.tif "--align --alignCrop $C/1.jpeg ... $C/7.jpeg" \
    --align --alignCrop "$C/1.jpeg" "$C/2.jpeg" "$C/3.jpeg" "$C/4.jpeg" "$C/5.jpeg" "$C/6.jpeg" "$C/7.jpeg"

echo
echo "== Done: results and logs in $OUT/" | sed "s|$(pwd)/||g"
