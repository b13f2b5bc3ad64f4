#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks (as root, with apt-get), then
# configures and builds everything into build/. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES="cmake g++ make pkg-config qtbase5-dev libglew-dev libglu1-mesa-dev libegl-dev libgl-dev
  libegl-mesa0 libgl1-mesa-dri libopenimageio-dev openimageio-tools libgtest-dev libgmock-dev
  libbenchmark-dev libjemalloc-dev"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

BUILD_TYPE="${BUILD_TYPE:-Release}"
cmake -S . -B build -DCMAKE_BUILD_TYPE="$BUILD_TYPE" >/dev/null
cmake --build build -j"$(nproc)"
