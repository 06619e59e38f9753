#!/bin/bash
# Adding the 24 benchmark photos to the batch list: milliseconds per file for
# the rows' cells (the image size is read from the headers), beside an older
# build's batchlist_bench when BASELINE names one.
#
#   bench/batch-list.sh [BUILD_DIR] [CORPUS_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CORPUS=${2:-$(cd .. && pwd)/benchcorpus}
[ -d "$CORPUS/jpeg" ] || ../shared/bench/make-corpus "$CORPUS"
cmake --build "$BUILD" --target batchlist_bench >/dev/null
files=("$CORPUS"/jpeg/photo-*.jpg)
echo "ours:     $("$BUILD/bench/batchlist_bench" "${files[@]}")"
[ -z "${BASELINE:-}" ] || echo "baseline: $("$BASELINE" "${files[@]}")"
