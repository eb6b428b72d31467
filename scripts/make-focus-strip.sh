#!/bin/sh
# Makes the README picture of the focus stacking modes from the bundled
# stack (examples/focus_pcb/, fused with -c --align as the README advises):
#   docs/focus-modes.jpg  the same crop (paper, pin header, pads) of the
#                         classic focus blend, of --focusMode select, and of
#                         the selection's depth map (darker: an earlier frame)
# Usage: scripts/make-focus-strip.sh [path/to/quovix]   (after make)
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/quovix}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
c++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/image_strip" "$ROOT/tools/image_strip.cpp" -ltiff -ljpeg

F=$ROOT/examples/focus_pcb
"$BIN" -c --align -o "$WORK/classic.tif" "$F"/pcb_00*.jpg >/dev/null
"$BIN" -c --align --focusMode select --depthMap "$WORK/depth.tif" -o "$WORK/select.tif" "$F"/pcb_00*.jpg >/dev/null

mkdir -p "$ROOT/docs"
"$WORK/image_strip" --quality 90 --noArrow --crop 0.42,0.05,0.4,0.6 "$ROOT/docs/focus-modes.jpg" \
    "$WORK/classic.tif" "$WORK/select.tif" "$WORK/depth.tif"
ls -l "$ROOT/docs/focus-modes.jpg"
