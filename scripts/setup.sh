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

# BUILD_DIR and CMAKE_ARGS let scripts/test.sh --sanitize build beside the plain build.
BUILD_TYPE="${BUILD_TYPE:-Release}"
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
