#!/bin/sh
# Batch mode against single commands: BRACKETS brackets of the bundled 16-bit
# bracket (copies, a minute apart by modification time), fused once by
# one command per bracket run one after another, once by `--batch` (default
# jobs). Reports both walls, their ratio (target >= 1.6 on 2 cores), the
# peak memory of the batch against a single run (target <= 2x), and checks
# that the grouping and the bytes are those of the single commands.
set -e
BUILD=${1:-build}
BRACKETS=${2:-40}
Q="$BUILD/quovix"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
mkdir "$OUT/card" "$OUT/single" "$OUT/batch"
i=1
while [ "$i" -le "$BRACKETS" ]; do
  n=$(printf %03d "$i")
  f=1
  for ev in ev-2 ev+0 ev+2; do
    cp "examples/raw_bracket/tower_$ev.tif" "$OUT/card/b${n}_$f.tif"
    touch -d "@$((1700000000 + 60 * i + f))" "$OUT/card/b${n}_$f.tif"
    f=$((f + 1))
  done
  i=$((i + 1))
done
now() { date +%s.%N; }
start=$(now)
peak1=0
i=1
while [ "$i" -le "$BRACKETS" ]; do
  n=$(printf %03d "$i")
  rss=$(/usr/bin/time -f %M "$Q" -q -o "$OUT/single/b${n}.tif" "$OUT"/card/b${n}_*.tif 2>&1 >/dev/null | tail -1)
  [ "$rss" -gt "$peak1" ] && peak1=$rss
  i=$((i + 1))
done
single=$(awk "BEGIN { print $(now) - $start }")
start=$(now)
peakb=$(/usr/bin/time -f %M "$Q" -q --batch "$OUT/batch" "$OUT/card" 2>&1 >/dev/null | tail -1)
batch=$(awk "BEGIN { print $(now) - $start }")
groups=$(ls "$OUT/batch" | wc -l)
same=yes
for f in "$OUT"/single/*.tif; do
  n=$(basename "$f" .tif)
  cmp -s "$f" "$OUT/batch/${n}_1-${n}_3_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.tif" || same=no
done
echo "== batch of $BRACKETS x 3 x 2 MP 16-bit brackets: $groups groups; single commands $single s, --batch $batch s," \
  "ratio $(awk "BEGIN { printf \"%.2f\", $single / $batch }"); peak RSS single $peak1 KiB, batch $peakb KiB; same bytes: $same"
