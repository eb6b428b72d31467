#!/bin/sh
# Installs the build and run dependencies that are missing (Debian packages).
# Idempotent: does nothing when everything is present.
set -e
PACKAGES="g++ cmake make pkg-config libtiff-dev libjpeg-dev libgtest-dev dcraw"
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
