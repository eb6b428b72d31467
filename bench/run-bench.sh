#!/bin/sh
# Runs every benchmark binary of the build folder, then times whole fusions of
# the bundled focus stack and reports their peak memory. The peak must not grow
# with the number of inputs: level files are read band by band.
set -e
BUILD=${1:-build}
for b in "$BUILD"/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b"
done
OUT=$(mktemp -d)
for n in 1 3 7; do
  files=$(ls examples/focus_pcb/pcb_00*.jpg | head -n "$n")
  /usr/bin/time -f "== whole run, $n x 3 MP inputs: wall %e s, peak RSS %M KiB" \
    "$BUILD"/quovix -p 1 -o "$OUT/pcb.tif" $files 2>&1 >/dev/null | tail -1
done
/usr/bin/time -f "== whole run, 7 x 3 MP inputs, --compression NONE: wall %e s, peak RSS %M KiB" \
  "$BUILD"/quovix -p 1 --compression NONE -o "$OUT/pcb.tif" examples/focus_pcb/pcb_00*.jpg 2>&1 >/dev/null | tail -1
# Alignment reads one frame at full size at a time: its peak stays near the
# fusion's own.
for align in "" --align; do
  /usr/bin/time -f "== whole run, 7 x 3 MP hand-held bracket ${align:-unaligned}: wall %e s, peak RSS %M KiB" \
    "$BUILD"/quovix $align -o "$OUT/crusader.tif" examples/crusader/*.jpeg 2>&1 >/dev/null | tail -1
done
# Ghost removal reads every frame once more and compares them on a coarse
# grid: a --deghost run should take at most 1.3 times the plain run, and its
# peak memory stay near it. The two alternate, three pairs.
B="examples/raw_bracket/tower_ev-2.tif examples/raw_bracket/tower_ev+0.tif examples/raw_bracket/tower_ev+2.tif"
for pair in 1 2 3; do
  for deghost in "" --deghost; do
    /usr/bin/time -f "== whole run, 3 x 2 MP 16-bit bracket ${deghost:-plain} (pair $pair): wall %e s, CPU %U s, peak RSS %M KiB" \
      "$BUILD"/quovix $deghost -o "$OUT/tower.tif" $B 2>&1 >/dev/null | tail -1
  done
done
# The Canon RAW file alone and with copies 2 stops darker and brighter, each
# engine, 8- and 16-bit conversions (BENCH_RAW_RUNS rounds, default 1).
./bench/raw-bench.sh "$BUILD" "${BENCH_RAW_RUNS:-1}"
rm -rf "$OUT"
# Peak memory against the number of frames: a 6-megapixel focus stack made
# by make_bench_inputs (kept in /tmp/quovix-bench-inputs), fused with the
# one-pass settings. The combination stage works within a fixed budget, so
# the peak must stay nearly flat. BENCH_FRAMES picks the counts (at most 300;
# above 100 the 300-frame set is made, about 1 GB of JPEGs).
FRAMES=${BENCH_FRAMES:-3 30 100}
most=0
for n in $FRAMES; do [ "$n" -gt "$most" ] && most=$n; done
set_name=focus100
[ "$most" -gt 100 ] && set_name=focus300
if [ -x "$BUILD"/make_bench_inputs ]; then
  files=$("$BUILD"/make_bench_inputs --sets "$set_name" | sed "s/^$set_name //")
  OUT=$(mktemp -d)
  for n in $FRAMES; do
    # shellcheck disable=SC2086
    TMPDIR=$OUT /usr/bin/time -f "== whole run, $n x 6 MP focus frames, one pass: wall %e s, CPU %U+%S s, peak RSS %M KiB" \
      "$BUILD"/quovix -p 1 --wMode 1 --wContrast 1 --wExposure 0 -c -o "$OUT/stack.tif" \
      $(echo $files | tr ' ' '\n' | head -n "$n") 2>&1 >/dev/null | tail -1
  done
  rm -rf "$OUT"
fi
# Forty brackets: one --batch command against forty single commands.
./bench/batch-bench.sh "$BUILD" 40
