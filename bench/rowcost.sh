#!/bin/bash
# Resize plus stamp against the decode of one 12-megapixel photo of the
# benchmark corpus (target: under 5 % of the decode).
#   bench/rowcost.sh [FILE]      # default ../benchcorpus/jpeg/photo-01.jpg
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_DIR:-build}
FILE=${1:-$(cd .. && pwd)/benchcorpus/jpeg/photo-01.jpg}
[ -f "$FILE" ] || { echo "no $FILE: run ../shared/bench/make-corpus ../benchcorpus" >&2; exit 1; }
"$BUILD/bench/tessaline-rowcost" "$FILE" "${RUNS:-9}"
