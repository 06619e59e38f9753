#!/bin/bash
# Installs the Debian packages the build and the tests need, then configures
# and builds into build/ (or $BUILD_DIR). Quick when everything is in place:
# apt-get runs only for packages that are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev googletest
  libjpeg62-turbo-dev libpng-dev zlib1g-dev libtiff-dev libtiff-tools libopenjp2-7-dev libopenjp2-tools
  libcairo2-dev libfreetype-dev libfontconfig-dev
  libexiv2-dev liblcms2-dev libimage-exiftool-perl
  libwebp-dev webp libheif-dev libheif-examples libavif-bin
  libjxl-dev libjxl-tools libturbojpeg0-dev libjpeg-turbo-progs libimagequant-dev libzopfli-dev
  fonts-liberation2 fonts-dejavu-core
  qt6-base-dev qt6-svg-dev
  imagemagick libvips-tools
  python3-pil netpbm
  nlohmann-json3-dev
  dpkg-dev file man-db zsh appstream
  libimagequant-dev gifsicle libvips-tools
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

BUILD_DIR=${BUILD_DIR:-build}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
fi
cmake --build "$BUILD_DIR" -j"$(nproc)"
