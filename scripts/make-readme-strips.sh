#!/bin/sh
# Makes the README pictures from the demo's results (run `make demo` first):
# three inputs, an arrow and the fused result side by side, 1200 pixels wide
# (tools/image_strip.cpp, built here on the fly).
#   docs/exposure-strip.jpg  the 16-bit bracket -2, 0, +2 EV and its fusion
#   docs/focus-strip.jpg     frames 1, 4 and 7 of the focus stack and the
#                            stack, cropped to the pin headers to show detail
#   docs/handheld-strip.jpg  frames 1, 4 and 7 of the hand-held bracket and
#                            their fusion with --align --alignCrop
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${DEMO_OUT:-$ROOT/demo-output}
for result in tower_bracket.tif pcb_stack.tif crusader_aligned.tif; do
    [ -f "$OUT/$result" ] || { echo "$OUT/$result is missing: run make demo first" >&2; exit 1; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
c++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/image_strip" "$ROOT/tools/image_strip.cpp" -ltiff -ljpeg

mkdir -p "$ROOT/docs"
B=$ROOT/examples/raw_bracket
"$WORK/image_strip" --quality 90 "$ROOT/docs/exposure-strip.jpg" \
    "$B/tower_ev-2.tif" "$B/tower_ev+0.tif" "$B/tower_ev+2.tif" "$OUT/tower_bracket.tif"
F=$ROOT/examples/focus_pcb
"$WORK/image_strip" --quality 90 --crop 0.45,0.25,0.5,0.7 "$ROOT/docs/focus-strip.jpg" \
    "$F/pcb_001.jpg" "$F/pcb_004.jpg" "$F/pcb_007.jpg" "$OUT/pcb_stack.tif"
C=$ROOT/examples/crusader
"$WORK/image_strip" --quality 90 "$ROOT/docs/handheld-strip.jpg" \
    "$C/1.jpeg" "$C/4.jpeg" "$C/7.jpeg" "$OUT/crusader_aligned.tif"
ls -l "$ROOT/docs/exposure-strip.jpg" "$ROOT/docs/focus-strip.jpg" "$ROOT/docs/handheld-strip.jpg"
