#!/bin/sh
# Installs the build and run dependencies that are missing (Debian packages).
# Idempotent: does nothing when everything is present. `install-deps.sh fuzz`
# adds the compiler and runtime the fuzz targets need.
set -e
PACKAGES="g++ cmake make pkg-config libtiff-dev libjpeg-dev libpng-dev libgtest-dev dcraw groff-base libtiff-tools libexiv2-dev
libraw-dev libimage-exiftool-perl libopencv-core-dev libopencv-imgproc-dev libopencv-features2d-dev libopencv-calib3d-dev libopencv-video-dev
parallel"
[ "$1" = fuzz ] && PACKAGES="$PACKAGES clang libclang-rt-14-dev"
missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
