#!/bin/bash
# Instructions executed by one row of each common job, counted by callgrind,
# for one build or two: a change that should not cost anything is proven by
# the ratio, which the machine's load cannot move (target: each at most 1.02).
# The jobs run on one 12-megapixel photo of the benchmark corpus, as JPEG and
# as PNG, with an empty settings file.
#
#   bench/instructions.sh                       # build/ alone
#   BASELINE=../old/build bench/instructions.sh # build/ against an older build
#   ONLY=jpeg-fit-smooth bench/instructions.sh  # the jobs whose name holds it
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
OLD=${BASELINE:+$(cd "$BASELINE" && pwd)/cli/tessaline-batch}
[ -z "$OLD" ] || [ -x "$OLD" ] || { echo "no baseline binary: $OLD" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "missing: valgrind" >&2; exit 1; }
JPEG=$CORPUS/jpeg/photo-01.jpg PNG=$CORPUS/png/photo-01.png
[ -f "$JPEG" ] && [ -f "$PNG" ] || "$ROOT/../shared/bench/make-corpus" "$CORPUS"

W=$(mktemp -d /tmp/tessaline-instructions.XXXXXX)
trap 'rm -rf "$W"' EXIT
. "$ROOT/bench/callgrind.sh"

# name | input | options
JOBS=(
  "jpeg-fit-nearest|$JPEG|--format jpg --resize-fit 800x800"
  "jpeg-fit-smooth|$JPEG|--format jpg --resize-fit 800x800 --resample smooth"
  "jpeg-cover-smooth|$JPEG|--format jpg --resize-cover 1080x1080 --resample smooth"
  "jpeg-turn-sharpen-stamp|$JPEG|--format jpg --resize-width 1200 --rotate 90 --sharpen --stamp Tessaline"
  "jpeg-to-png-half|$JPEG|--format png --resize-percent 50"
  "jpeg-to-tiff|$JPEG|--format tif --resize-width 1200 --resample smooth"
  "jpeg-to-webp|$JPEG|--format webp --resize-width 1200 --resample smooth"
  "jpeg-to-gif|$JPEG|--format gif --resize-width 800"
  "png-to-jpeg-smooth|$PNG|--format jpg --resize-width 1600 --resample smooth"
  "jpeg-info|$JPEG|--info"
)

count() { # BINARY INPUT OPTIONS...
  local bin=$1 input=$2
  shift 2
  rm -rf "$W/out" && : >"$W/empty.ini"
  if [ "$1" = --info ]; then
    callgrind_count "$bin" --info "$input"
  else
    callgrind_count "$bin" --settings "$W/empty.ini" "$@" --no-rename --on-exists replace \
      --out "$W/out" "$input"
  fi
}

printf '%-26s %15s' job instructions
[ -z "$OLD" ] || printf ' %15s %7s' baseline ratio
echo
for job in "${JOBS[@]}"; do
  IFS='|' read -r name input options <<<"$job"
  [[ -z "${ONLY:-}" || $name == *"$ONLY"* ]] || continue
  read -ra args <<<"$options"
  new=$(count "$BIN" "$input" "${args[@]}")
  printf '%-26s %15s' "$name" "$new"
  if [ -n "$OLD" ]; then
    old=$(count "$OLD" "$input" "${args[@]}")
    printf ' %15s %7s' "$old" "$(python3 -c "print(f'{${new//,/}/${old//,/}:.4f}')")"
  fi
  echo
done
