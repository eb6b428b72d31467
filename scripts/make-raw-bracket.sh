#!/bin/sh
# Makes examples/raw_bracket/: an exposure bracket of 16-bit TIFFs (-2, 0 and
# +2 EV) from the one real RAW file in examples/raw_canon/. The converter
# decodes it at half size (1761x1174) as 16-bit linear RGB with the camera's
# white balance; tools/raw_bracket.cpp scales it by 2^EV in linear light (EV 0
# puts the brightest 0.1 % of the pixels at white), clips, encodes with gamma
# 2.2 and writes Deflate-compressed TIFFs. The output is the same each time.
# Needs dcraw, a C++ compiler and libtiff-dev (all in scripts/install-deps.sh).
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RAW=$ROOT/examples/raw_canon/IMG_5952.CR2
OUT=${1:-$ROOT/examples/raw_bracket}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

c++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/raw_bracket" "$ROOT/tools/raw_bracket.cpp" -ltiff
mkdir -p "$OUT"
# -4: 16-bit linear, not brightened; -w: camera white balance; -h: half size.
dcraw -c -4 -w -h "$RAW" | "$WORK/raw_bracket" "$OUT/tower_ev" -2 +0 +2
