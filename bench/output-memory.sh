#!/bin/bash
# Peak memory and processor time of each output format for one large photo
# (8000 x 6000, made by ImageMagick from the first benchmark photo and stored
# as BMP, so that loading costs little): once through `--convert IN OUT`,
# once as a one-row batch run (`--format F --out DIR`). Every output format
# should cost about the same for the same picture.
#
#   bench/output-memory.sh                 # uses build/, ../benchcorpus
#   BUILD_DIR=build RUNS=3 bench/output-memory.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
RUNS=${RUNS:-3}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in /usr/bin/time /usr/bin/convert; do
  [ -x "$tool" ] || { echo "missing: $tool" >&2; exit 1; }
done
photo=$(ls "$CORPUS"/jpeg/photo-*.jpg 2>/dev/null | head -1 || true)
[ -n "$photo" ] || { echo "no photo in $CORPUS/jpeg" >&2; exit 1; }

W=$(mktemp -d /tmp/tessaline-outmem.XXXXXX)
trap 'rm -rf "$W"' EXIT
/usr/bin/convert "$photo" -resize '8000x6000!' "$W/big.bmp"
printf '%s, 8000x6000, median of %s runs; load: %s\n' "$(basename "$photo")" "$RUNS" "$(uptime | sed 's/.*load/load/')"

# Prints "peakMB cpuSeconds" of the median run (by processor time).
measure() {
  local runs=()
  for ((r = 0; r < RUNS; r++)); do
    rm -rf "$W/out" && mkdir -p "$W/out"
    /usr/bin/time -f '%M %U %S' -o "$W/t" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    runs+=("$(awk '{printf "%.0f %.2f\n", $1 / 1024, $2 + $3}' "$W/t")")
  done
  printf '%s\n' "${runs[@]}" | sort -k2 -n | sed -n "$(((RUNS + 1) / 2))p"
}

printf '\n%-6s %14s %12s %14s %12s\n' format "convert MB" "convert s" "batch MB" "batch s"
for f in bmp jpg png tif gif pcx webp avif; do
  read -r cm cs < <(measure "$BIN" --convert "$W/big.bmp" "$W/out/o.$f")
  read -r bm bs < <(measure "$BIN" --format "$f" --out "$W/out" --no-rename "$W/big.bmp")
  printf '%-6s %14s %12s %14s %12s\n' "$f" "$cm" "$cs" "$bm" "$bs"
done
