#!/bin/bash
# Time to load the corpus metafiles through tessaline-batch --info (decode and
# play into the device bitmap), one hyperfine run per file, the largest
# pictures (4000-pixel side) included.
#
#   bench/metafile.sh              # uses build/ and ../shared/corpus
#   BUILD_DIR=build RUNS=10 bench/metafile.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$ROOT/../shared/corpus}
RUNS=${RUNS:-10}
BATCH=$ROOT/$BUILD/cli/tessaline-batch
[ -x "$BATCH" ] || { echo "no $BATCH: build first (scripts/setup.sh)" >&2; exit 2; }
command -v hyperfine >/dev/null || { echo "missing hyperfine" >&2; exit 2; }
args=()
for f in "$CORPUS"/metafile/*.wmf "$CORPUS"/metafile/*.emf; do
  "$BATCH" --info "$f" >/dev/null 2>&1 || continue # files that do not load
  args+=(-n "$(basename "$f")" "$BATCH --info '$f'")
done
hyperfine -N --warmup 1 --runs "$RUNS" "${args[@]}"
