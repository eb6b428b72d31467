#!/bin/sh
# Whole runs on the bundled Canon RAW file (8 MP), dcraw against LibRaw:
# 8-bit ("-w -H 2") and 16-bit ("-6 -w -H 2") conversions, the file alone and
# with -b 2 (copies 2 stops darker and brighter). CPU (user + sys, the dcraw
# child included) and peak RSS hold on a shared machine; wall times do not.
# The engines alternate within each round; medians of RUNS rounds are shown.
# Usage: bench/raw-bench.sh [build folder] [runs]   (default: build 3)
set -e
BUILD=${1:-build}
RUNS=${2:-3}
Q="$BUILD/quovix"
RAW=examples/raw_canon/IMG_5952.CR2
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for bits in 8 16; do
  if [ "$bits" = 8 ]; then args="-w -H 2"; else args="-6 -w -H 2"; fi
  for bracket in "" "-b 2"; do
    for engine in dcraw libraw; do : >"$OUT/$engine.times"; done
    r=1
    while [ "$r" -le "$RUNS" ]; do
      for engine in dcraw libraw; do
        # shellcheck disable=SC2086
        /usr/bin/time -f "%U %S %e %M" -o "$OUT/t" "$Q" -q --rawEngine $engine --raw "$args" $bracket \
          -o "$OUT/raw.tif" "$RAW" >/dev/null 2>"$OUT/err" || { cat "$OUT/err"; exit 1; }
        cat "$OUT/t" >>"$OUT/$engine.times"
      done
      r=$((r + 1))
    done
    depth=$(tiffinfo "$OUT/raw.tif" 2>/dev/null | sed -n 's/.*Bits\/Sample: \([0-9]*\).*/\1/p' | head -1)
    for engine in dcraw libraw; do
      cpu=$(awk '{ print $1 + $2 }' "$OUT/$engine.times" | median)
      wall=$(awk '{ print $3 }' "$OUT/$engine.times" | median)
      rss=$(awk '{ print $4 }' "$OUT/$engine.times" | median)
      echo "== RAW --raw \"$args\" ${bracket:-alone} --rawEngine $engine: CPU $cpu s, wall $wall s," \
        "peak RSS $((rss / 1024)) MiB (result ${depth:-?}-bit; median of $RUNS)"
    done
  done
done
