#!/bin/bash
# Each pixel operation of a batch row alone on one 12-megapixel photo, side by
# side with ImageMagick doing the comparable operation on one thread:
#   resize 800 wide      -sample 800x
#   smooth 800 wide      -filter Lanczos -resize 800x (target: ours 3x faster)
#   rotate 90            -rotate 90
#   sharpen              -morphology Convolve with the same 3x3 kernel over 7
#   reduce to 8 bits     -dither FloydSteinberg -remap <our 256-colour palette>
# Both sides read the photo decoded once into a 24-bit BMP, so JPEG decoding
# is not measured. Ours: transform_bench times the operation alone inside the
# process on a fresh copy each time. ImageMagick's: one command applying the
# operation REPEAT times to clones of the image, minus the same command with
# no operation (reading the BMP, writing to null:), over REPEAT. All times are
# processor time (user + system), median of RUNS, so a busy machine distorts
# them less than wall time. The resize is also set against djpeg decoding the
# same JPEG in full. ImageMagick's -sample and -rotate give exactly our pixels;
# its convolution rounds where we truncate; its dithering differs from ours,
# so the reduction compares work of the same kind, not the same result.
#   bench/transforms.sh [PHOTO.jpg]     (BUILD_DIR, RUNS, REPEAT may be set)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
RUNS=${RUNS:-7}
REPEAT=${REPEAT:-5}
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

# median_cpu CMD...: median over RUNS of the command's user + system time, ms.
median_cpu() {
  local TIMEFORMAT='%3U %3S'
  for ((i = 0; i < RUNS; i++)); do
    { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.3f\n", ($1 + $2) * 1000 }'
  done | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

export MAGICK_THREAD_LIMIT=1
echo "photo: $PHOTO ($(identify -format '%wx%h' "$PHOTO")), $RUNS runs, processor ms (median)"
ours=$("$BUILD/bench/transform_bench" "$TMP/photo.bmp" "$RUNS")
echo "$ours" | sed 's/^/  ours: /'
djpeg=$(median_cpu djpeg -outfile /dev/null "$PHOTO")
base=$(median_cpu "$IM" "$TMP/photo.bmp" null:)
echo "  djpeg full decode: $djpeg ms; ImageMagick reading the BMP alone: $base ms;" \
  "each operation repeated $REPEAT times per ImageMagick command"
printf '%-9s %10s %14s %8s\n' operation "ours ms" "ImageMagick ms" ratio
run() {
  local name=$1 t mine
  shift
  local args=()
  for ((i = 0; i < REPEAT; i++)); do args+=("(" +clone "$@" ")" +delete); done
  t=$(median_cpu "$IM" "$TMP/photo.bmp" "${args[@]}" null:)
  mine=$(echo "$ours" | awk -v n="$name" '$1 == n { print $2 }')
  awk -v n="$name" -v m="$mine" -v t="$t" -v b="$base" -v r="$REPEAT" \
    'BEGIN { printf "%-9s %10.2f %14.2f %7.1fx\n", n, m, (t - b) / r, (t - b) / r / m }'
}
run resize -sample 800x
smooth=$(run smooth -filter Lanczos -resize 800x)
echo "$smooth"
run rotate90 -rotate 90
run sharpen -define 'convolve:scale=!' -morphology Convolve '3x3: -1,-1,-1 -1,15,-1 -1,-1,-1'
run reduce -dither FloydSteinberg -remap "$TMP/pal.ppm"
echo "$smooth" | awk '{ r = $4 + 0; printf "smooth: %.1fx faster than ImageMagick'"'"'s Lanczos (target at least 3): %s\n", r, (r >= 3 ? "met" : "MISSED") }'
echo "$ours" | awk -v d="$djpeg" '$1 == "resize" {
  printf "resize: %.2f ms = %.1f%% of djpeg decoding the JPEG (%.1f ms)\n", $2, 100 * $2 / d, d }'
