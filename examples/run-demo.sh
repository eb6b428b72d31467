#!/bin/sh
# Fuses the bundled sample photographs: an exposure bracket and a focus stack.
set -e
BIN=${1:-build/quovix}
HERE=$(cd "$(dirname "$0")" && pwd)
OUT=${DEMO_OUT:-demo-output}
mkdir -p "$OUT"

echo "== Exposure bracket (7 hand-held frames) -> $OUT/crusader_fused.tif"
"$BIN" -v -o "$OUT/crusader_fused.tif" "$HERE"/crusader/*.jpeg

echo "== Focus stack (7 frames) -> $OUT/pcb_fused.jpg"
"$BIN" -o "$OUT/pcb_fused.jpg" "$HERE"/focus_pcb/pcb_00*.jpg

echo "== Done: results in $OUT/"
ls -l "$OUT"
