#!/bin/bash
# Each pixel operation of a batch row alone on one 12-megapixel photo, side by
# side with ImageMagick doing the comparable operation on one thread:
#   resize 800 wide      -sample 800x
#   rotate 90            -rotate 90
#   sharpen              -morphology Convolve with the same 3x3 kernel over 7
#   reduce to 8 bits     -dither FloydSteinberg -remap <our 256-colour palette>
# Both sides read the photo decoded once into a 24-bit BMP, so JPEG decoding
# is not measured. Ours: transform_bench times the operation alone inside the
# process. ImageMagick's: the command with the operation minus the same
# command without it (reading the BMP, writing to null:). All times are
# processor time (user + system), median of RUNS, so a busy machine distorts
# them less than wall time. The resize is also set against djpeg decoding the
# same JPEG in full.
#   bench/transforms.sh [PHOTO.jpg]     (BUILD_DIR, RUNS may be set)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
RUNS=${RUNS:-7}
PHOTO=${1:-../benchcorpus/jpeg/photo-01.jpg}
IM=/usr/bin/convert
if [ ! -f "$PHOTO" ]; then
  echo "no $PHOTO: build the corpus with ../shared/bench/make-corpus ../benchcorpus" >&2
  exit 1
fi
cmake --build "$BUILD" --target transform_bench >/dev/null
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
"$IM" "$PHOTO" BMP3:"$TMP/photo.bmp"
"$BUILD/bench/transform_bench" --palette "$TMP/pal.ppm"

# median_cpu CMD...: median over RUNS of user + system seconds, in ms.
median_cpu() {
  for ((i = 0; i < RUNS; i++)); do
    /usr/bin/time -f "%U %S" -o "$TMP/t" "$@" >/dev/null 2>&1
    awk '{ printf "%.0f\n", ($1 + $2) * 1000 }' "$TMP/t"
  done | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

export MAGICK_THREAD_LIMIT=1
echo "photo: $PHOTO ($(identify -format '%wx%h' "$PHOTO")), $RUNS runs, processor ms (median)"
ours=$("$BUILD/bench/transform_bench" "$TMP/photo.bmp" "$RUNS")
echo "$ours" | sed 's/^/  ours: /'
djpeg=$(median_cpu djpeg -outfile /dev/null "$PHOTO")
base=$(median_cpu "$IM" "$TMP/photo.bmp" null:)
echo "  djpeg full decode: $djpeg ms; ImageMagick reading the BMP alone: $base ms"
printf '%-9s %10s %14s %8s\n' operation "ours ms" "ImageMagick ms" ratio
run() {
  local name=$1
  shift
  local t mine
  t=$(median_cpu "$IM" "$TMP/photo.bmp" "$@" null:)
  mine=$(echo "$ours" | awk -v n="$name" '$1 == n { print $2 }')
  awk -v n="$name" -v m="$mine" -v t="$t" -v b="$base" \
    'BEGIN { printf "%-9s %10.2f %14d %7.1fx\n", n, m, t - b, (t - b) / m }'
}
run resize -sample 800x
run rotate90 -rotate 90
run sharpen -define 'convolve:scale=!' -morphology Convolve '3x3: -1,-1,-1 -1,15,-1 -1,-1,-1'
run reduce -dither FloydSteinberg -remap "$TMP/pal.ppm"
echo "$ours" | awk -v d="$djpeg" '$1 == "resize" {
  printf "resize: %.2f ms = %.1f%% of djpeg decoding the JPEG (%d ms)\n", $2, 100 * $2 / d, d }'
