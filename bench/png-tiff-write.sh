#!/bin/bash
# The PNG and TIFF writers alone: photos of the benchmark corpus sampled to
# 1600 pixels wide and stored as BMP (so that loading costs next to nothing),
# each converted by tessaline-batch --convert and by ImageMagick's convert on
# one thread, side by side in one hyperfine run. PNG: ours with zlib's RLE
# strategy for true-colour rows, ImageMagick at -quality 90 (level 9, no
# filter). TIFF: the same photo reduced to 8 bits beforehand (as the batch
# run does before a TIFF save), ours LZW with the horizontal predictor,
# ImageMagick its default. The ratio is ImageMagick's time over ours.
#
#   bench/png-tiff-write.sh              # uses build/, ../benchcorpus
#   BUILD_DIR=build RUNS=10 PHOTOS=4 bench/png-tiff-write.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
RUNS=${RUNS:-5}
PHOTOS=${PHOTOS:-4}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in hyperfine convert python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt "$PHOTOS" ]; then
  echo "making the benchmark corpus in $CORPUS (takes minutes)" >&2
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:$PHOTOS}")

W=$(mktemp -d /tmp/tessaline-pngtiff.XXXXXX)
trap 'rm -rf "$W"' EXIT
i=0
for f in "${files[@]}"; do
  convert "$f" -sample 1600x "$W/rgb$i.bmp"
  convert "$f" -sample 1600x -colors 256 -type palette "$W/pal$i.bmp"
  i=$((i + 1))
done

ours() { # kind ext
  local s=""
  for ((k = 0; k < PHOTOS; k++)); do s+="$BIN --convert $W/$1$k.bmp $W/out/o$k.$2 >/dev/null; "; done
  echo "$s"
}
magick() {
  local s=""
  for ((k = 0; k < PHOTOS; k++)); do
    s+="MAGICK_THREAD_LIMIT=1 convert $W/$1$k.bmp -quality 90 $W/out/m$k.$2; "
  done
  echo "$s"
}

echo "== $PHOTOS photos at $(identify -format '%wx%h' "$W/rgb0.bmp"), $RUNS runs each"
hyperfine --style basic --warmup 1 --runs "$RUNS" --prepare "rm -rf $W/out && mkdir -p $W/out" \
  --export-json "$W/result.json" \
  -n "ours png" "$(ours rgb png)" -n "magick png" "$(magick rgb png)" \
  -n "ours tif" "$(ours pal tif)" -n "magick tif" "$(magick pal tif)"

python3 - "$W/result.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
print("\n%-4s %10s %10s %7s %12s %12s %7s" % ("", "ours s", "magick s", "ratio", "ours cpu", "magick cpu", "ratio"))
for f in ["png", "tif"]:
    o, m = r["ours " + f], r["magick " + f]
    oc, mc = o["user"] + o["system"], m["user"] + m["system"]
    print("%-4s %10.3f %10.3f %7.2f %12.3f %12.3f %7.2f" % (
        f, o["median"], m["median"], m["median"] / o["median"], oc, mc, mc / oc))
PY
