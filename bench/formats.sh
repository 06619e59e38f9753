#!/bin/bash
# Each of the eight output formats written by tessaline-batch from the photos
# (4000 x 3000) of the benchmark corpus resized to 1600 pixels wide, side by
# side in one hyperfine run with ImageMagick's mogrify writing the same format
# from the same photos sampled to the same width, one row at a time. Both sides
# do the whole row: load, resize, reduce where the format needs it (GIF on both
# sides; TIFF on ours, which writes it with 8 bits per pixel), save. WEBP and
# AVIF are also run against vipsthumbnail (same width, Q=90), and WEBP at full
# size against `vips copy x.jpg y.webp[Q=90]` on FULL photos (default 4).
# The AV1 encoder may use threads of its own on every side: compare the
# processor-time ratio for AVIF.
# The ratio is the other program's time over ours: above 1 we are faster.
# Targets: at least 1 for every format, at least 2 for JPEG, BMP and PCX.
#
#   bench/formats.sh                      # uses build/, ../benchcorpus
#   BUILD_DIR=build RUNS=3 PHOTOS=24 CORPUS=/path bench/formats.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
RUNS=${RUNS:-3}
PHOTOS=${PHOTOS:-24}
FULL=${FULL:-4}
WIDTH=1600
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in hyperfine mogrify identify python3 vips vipsthumbnail; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt 24 ]; then
  echo "making the benchmark corpus in $CORPUS (takes minutes)" >&2
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:$PHOTOS}")
list=$(printf '%q ' "${files[@]}")

W=$(mktemp -d /tmp/tessaline-formats.XXXXXX)
trap 'rm -rf "$W"' EXIT
OUT="$W/out"
formats=(jpg gif bmp png tif pcx webp avif)
full=("${files[@]:0:$FULL}")
full_list=$(printf '%q ' "${full[@]}")

commands=()
dirs=""
for f in "${formats[@]}"; do
  ours_args=(--settings "$W/bench.ini" --jobs 1 --format "$f" --quality 90 --resize-width "$WIDTH"
             --no-rename --out "$OUT/ours-$f")
  commands+=(-n "ours $f" "$BIN $(printf '%q ' "${ours_args[@]}")$list >/dev/null")
  commands+=(-n "magick $f" "MAGICK_THREAD_LIMIT=1 mogrify -path $OUT/magick-$f -format $f -sample ${WIDTH}x -quality 90 $list")
  dirs+=" $OUT/ours-$f $OUT/magick-$f"
done
for f in webp avif; do
  commands+=(-n "vips $f" "VIPS_CONCURRENCY=1 vipsthumbnail --size ${WIDTH}x -o '$OUT/vips-$f/%s.$f[Q=90]' $list")
  dirs+=" $OUT/vips-$f"
done
# Full size, no resize: the libvips one-liner the WebP writer is held to.
commands+=(-n "ours webp-full" "$BIN --settings $W/bench.ini --jobs 1 --format webp --quality 90 --no-rename --out $OUT/ours-webp-full $full_list >/dev/null")
commands+=(-n "vips webp-full" "for x in $full_list; do VIPS_CONCURRENCY=1 vips copy \$x \"$OUT/vips-webp-full/\$(basename \$x .jpg).webp[Q=90]\"; done")
dirs+=" $OUT/ours-webp-full $OUT/vips-webp-full"

echo "== ${#files[@]} photos of $(identify -format '%wx%h' "${files[0]}") to $WIDTH wide, $RUNS runs each"
hyperfine --style basic --warmup 1 --runs "$RUNS" \
  --prepare "rm -rf $OUT && mkdir -p $dirs" \
  --export-json "$W/result.json" "${commands[@]}"

python3 - "$W/result.json" "${#files[@]}" "${#full[@]}" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
n, full = int(sys.argv[2]), int(sys.argv[3])
target = {"jpg": 2.0, "bmp": 2.0, "pcx": 2.0}
print("\n%-16s %10s %10s %7s %11s %11s %7s %7s %s" % (
    "", "ours s", "other s", "ratio", "ours cpu s", "other cpu s", "ratio", "target", ""))
rows = [("magick", f) for f in ["jpg", "gif", "bmp", "png", "tif", "pcx", "webp", "avif"]]
rows += [("vips", "webp"), ("vips", "avif"), ("vips", "webp-full")]
for other, f in rows:
    o, m = results["ours " + f], results[other + " " + f]
    wall = m["median"] / o["median"]
    oc, mc = o["user"] + o["system"], m["user"] + m["system"]
    cpu = mc / oc
    t = target.get(f, 1.0)
    print("%-16s %10.3f %10.3f %7.2f %11.3f %11.3f %7.2f %7.1f %s" % (
        other + " " + f, o["median"], m["median"], wall, oc, mc, cpu, t,
        "ok" if min(wall, cpu) >= t else "MISSED"))
print("(median wall seconds and mean processor seconds for %d photos, webp-full for %d;"
      " ratio = other / ours)" % (n, full))
PY

# One more run of ours per format (hyperfine's preparation clears the folders):
# every output is there and 1600 pixels wide.
for f in "${formats[@]}"; do
  rm -rf "$OUT" && mkdir -p "$OUT/ours-$f"
  "$BIN" --settings "$W/bench.ini" --format "$f" --quality 90 --resize-width "$WIDTH" \
    --no-rename --out "$OUT/ours-$f" "${files[@]}" >/dev/null
  count=$(ls "$OUT/ours-$f" | wc -l)
  widths=$(for x in "$OUT/ours-$f"/*; do identify -format '%W\n' "$x[0]"; done | sort -u | tr '\n' ' ')
  echo "ours $f: $count files, widths $widths"
done
