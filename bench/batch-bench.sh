#!/bin/sh
# Batch mode against single commands: BRACKETS brackets of a 3-frame bracket
# (copies, a minute apart by modification time), fused once by one command
# per bracket run one after another, once by `--batch` (default jobs).
# Reports both walls, their ratio (target >= 1.6 on 2 cores), the CPU time
# (user + sys) and the cores kept busy (CPU / wall) of each, the peak memory
# of the batch against a single run (target <= 2x), and checks that the
# grouping and the bytes are those of the single commands. CPU figures hold
# on a shared machine; walls do not.
# Usage: bench/batch-bench.sh [build] [brackets] [frame1 frame2 frame3]
# (default frames: the bundled 3 x 2 MP 16-bit bracket)
set -e
BUILD=${1:-build}
BRACKETS=${2:-40}
if [ $# -ge 5 ]; then
  FRAMES="$3 $4 $5"
else
  FRAMES="examples/raw_bracket/tower_ev-2.tif examples/raw_bracket/tower_ev+0.tif examples/raw_bracket/tower_ev+2.tif"
fi
Q="$BUILD/quovix"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
mkdir "$OUT/card" "$OUT/single" "$OUT/batch"
i=1
while [ "$i" -le "$BRACKETS" ]; do
  n=$(printf %03d "$i")
  f=1
  for frame in $FRAMES; do
    cp "$frame" "$OUT/card/b${n}_$f.tif"
    touch -d "@$((1700000000 + 60 * i + f))" "$OUT/card/b${n}_$f.tif"
    f=$((f + 1))
  done
  i=$((i + 1))
done
size=$(tiffinfo "$OUT/card/b001_1.tif" 2>/dev/null | sed -n 's/.*Image Width: \([0-9]*\) Image Length: \([0-9]*\).*/\1 x \2/p' | head -1)
now() { date +%s.%N; }
start=$(now)
peak1=0
cpu1=0
i=1
while [ "$i" -le "$BRACKETS" ]; do
  n=$(printf %03d "$i")
  /usr/bin/time -f "%U %S %M" -o "$OUT/t" "$Q" -q -o "$OUT/single/b${n}.tif" "$OUT"/card/b${n}_*.tif >/dev/null
  rss=$(awk '{ print $3 }' "$OUT/t")
  cpu1=$(awk -v s="$cpu1" '{ print s + $1 + $2 }' "$OUT/t")
  [ "$rss" -gt "$peak1" ] && peak1=$rss
  i=$((i + 1))
done
single=$(awk "BEGIN { print $(now) - $start }")
start=$(now)
/usr/bin/time -f "%U %S %M" -o "$OUT/t" "$Q" -q --batch "$OUT/batch" "$OUT/card" >/dev/null
batch=$(awk "BEGIN { print $(now) - $start }")
peakb=$(awk '{ print $3 }' "$OUT/t")
cpub=$(awk '{ print $1 + $2 }' "$OUT/t")
groups=$(ls "$OUT/batch" | wc -l)
same=yes
for f in "$OUT"/single/*.tif; do
  n=$(basename "$f" .tif)
  cmp -s "$f" "$OUT/batch/${n}_1-${n}_3_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.tif" || same=no
done
echo "== batch of $BRACKETS x 3 x ${size:-?} brackets: $groups groups; single commands $single s" \
  "(CPU $cpu1 s, $(awk "BEGIN { printf \"%.2f\", $cpu1 / $single }") cores busy), --batch $batch s" \
  "(CPU $cpub s, $(awk "BEGIN { printf \"%.2f\", $cpub / $batch }") cores busy)," \
  "ratio $(awk "BEGIN { printf \"%.2f\", $single / $batch }"); peak RSS single $peak1 KiB, batch $peakb KiB;" \
  "same bytes: $same"
