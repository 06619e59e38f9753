#!/bin/bash
# bench/thumbnails.sh [BUILD_DIR] [CORPUS_DIR]: time from selecting a folder of
# the 24 benchmark photos until the last thumbnail is drawn, beside djpeg
# decoding the same files in full and at 1/8 scale.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CORPUS=${2:-/work/benchcorpus}
[ -d "$CORPUS/jpeg" ] || ../shared/bench/make-corpus "$CORPUS"
cmake --build "$BUILD" --target thumbnail_bench >/dev/null
DIR="$CORPUS/jpeg"
n=$(ls "$DIR"/*.jpg | wc -l)
time_ms() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); echo $(( (e - s) / 1000000 )); }
full=$(time_ms bash -c "for f in '$DIR'/*.jpg; do djpeg -bmp \"\$f\" >/dev/null; done")
eighth=$(time_ms bash -c "for f in '$DIR'/*.jpg; do djpeg -scale 1/8 -bmp \"\$f\" >/dev/null; done")
echo "djpeg full decode: $full ms for $n files ($((full / n)) ms per file)"
echo "djpeg 1/8 decode:  $eighth ms for $n files ($((eighth / n)) ms per file)"
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$BUILD/bench/thumbnail_bench" "$DIR"
