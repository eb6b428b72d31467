#!/bin/sh
# Makes the README pictures of ghost removal from the bundled photographs: a
# figure from the hand-held bracket is pasted into each frame of the 16-bit
# tower bracket at a different place, exposed as that frame (tools/
# moving_bracket.cpp), and the bracket is fused without and with --deghost.
#   docs/deghost-before.jpg  the three frames and the plain fusion (ghosts)
#   docs/deghost-after.jpg   the same frames and the --deghost fusion
# Usage: scripts/make-deghost-strip.sh [path/to/quovix]   (after make)
set -e
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/quovix}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
c++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/moving_bracket" "$ROOT/tools/moving_bracket.cpp" -ltiff -ljpeg
c++ -std=c++20 -O2 -Wall -Wextra -o "$WORK/image_strip" "$ROOT/tools/image_strip.cpp" -ltiff -ljpeg

B=$ROOT/examples/raw_bracket
"$WORK/moving_bracket" "$ROOT/examples/crusader/4.jpeg" 0.3,0.25,0.45,0.5 260 "$WORK/moving" \
    "$B/tower_ev-2.tif:-2:0.15,0.55" "$B/tower_ev+0.tif:0:0.45,0.5" "$B/tower_ev+2.tif:2:0.72,0.45"
FRAMES="$WORK/moving1.tif $WORK/moving2.tif $WORK/moving3.tif"
"$BIN" -o "$WORK/plain.tif" $FRAMES >/dev/null
"$BIN" --deghost -v -o "$WORK/deghost.tif" $FRAMES | grep Deghosting

mkdir -p "$ROOT/docs"
"$WORK/image_strip" --quality 90 "$ROOT/docs/deghost-before.jpg" $FRAMES "$WORK/plain.tif"
"$WORK/image_strip" --quality 90 "$ROOT/docs/deghost-after.jpg" $FRAMES "$WORK/deghost.tif"
ls -l "$ROOT/docs/deghost-before.jpg" "$ROOT/docs/deghost-after.jpg"
