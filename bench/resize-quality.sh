#!/bin/bash
# How close each resizer's 800-pixel-wide output comes to ImageMagick's
# "-filter Lanczos -resize 800x" of the full-resolution picture, in PSNR (dB,
# higher is closer): tessaline-batch with --resample smooth (shrink-on-load
# included), vipsthumbnail (shrink-on-load and a Lanczos-3 reduce) and
# tessaline-batch with --resample nearest. Inputs: photos of the benchmark
# corpus and a zone plate (rings up to the finest frequency a 4000 x 3000
# picture holds). Outputs are written losslessly (BMP, PPM) and compared as
# PPM, whose values no colour-space tag reinterprets, so only the resampling
# differs.
#   bench/resize-quality.sh [PHOTOS]    (BUILD_DIR, CORPUS may be set; PHOTOS: 4)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
PHOTOS=${1:-4}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
IM=/usr/bin/convert
for tool in "$IM" compare vipsthumbnail; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
cmake --build "$BUILD" --target tessaline-batch transform_bench >/dev/null

W=$(mktemp -d /tmp/tessaline-quality.XXXXXX)
trap 'rm -rf "$W"' EXIT
"$BUILD/bench/transform_bench" --zoneplate "$W/zoneplate.jpg" 4000 3000
inputs=("$W/zoneplate.jpg")
for f in $(ls "$CORPUS"/jpeg/photo-*.jpg | head -"$PHOTOS"); do inputs+=("$f"); done

psnr() { { compare -metric PSNR "$1" "$2" null: 2>&1 || true; } | awk '{ print $1 }'; }
printf '%-16s %8s %14s %8s %12s\n' input smooth vipsthumbnail nearest "smooth-vips"
worst=1000
for f in "${inputs[@]}"; do
  name=$(basename "$f" .jpg)
  mkdir -p "$W/$name"/{smooth,nearest}
  MAGICK_THREAD_LIMIT=1 "$IM" "$f" -filter Lanczos -resize 800x "$W/$name/ref.ppm"
  for mode in smooth nearest; do
    "$BIN" --settings "$W/q.ini" --format bmp --resize-width 800 --no-rename \
      --resample "$mode" --out "$W/$name/$mode" "$f" >/dev/null
    "$IM" "$W/$name/$mode/$name.bmp" "$W/$name/$mode.ppm"
  done
  VIPS_CONCURRENCY=1 vipsthumbnail --size 800x -o "$W/$name/vips.ppm" "$f"
  s=$(psnr "$W/$name/ref.ppm" "$W/$name/smooth.ppm")
  v=$(psnr "$W/$name/ref.ppm" "$W/$name/vips.ppm")
  n=$(psnr "$W/$name/ref.ppm" "$W/$name/nearest.ppm")
  d=$(awk -v s="$s" -v v="$v" 'BEGIN { printf "%+.2f", s - v }')
  worst=$(awk -v a="$worst" -v d="$d" 'BEGIN { print (d < a ? d : a) }')
  printf '%-16s %8.2f %14.2f %8.2f %12s\n' "$name" "$s" "$v" "$n" "$d"
done
awk -v w="$worst" 'BEGIN {
  printf "smooth against vipsthumbnail, worst: %+.2f dB (target: no worse than -0.50): %s\n",
    w, (w >= -0.5 ? "met" : "MISSED") }'
