#!/bin/sh
# Runs every benchmark binary of the build folder, then times a whole fusion of
# the bundled focus stack and reports its peak memory.
set -e
BUILD=${1:-build}
for b in "$BUILD"/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
OUT=$(mktemp -d)
echo "== whole run: 7 x 3 MP focus stack"
/usr/bin/time -f "wall %e s, peak RSS %M KiB" "$BUILD"/quovix -dt -o "$OUT/pcb.tif" examples/focus_pcb/pcb_00*.jpg | tail -1
rm -rf "$OUT"
