#!/bin/bash
# jpeg-reencode.sh [CORPUS_DIR] [BUILD_DIR]
# Re-encodes the 12-megapixel JPEGs of the benchmark corpus at quality 90, side
# by side in one run:
#   batch        tessaline-batch --format jpg --quality 90 --out DIR FILES...
#   convert      tessaline-batch --convert IN OUT.jpg, one process per file
#   djpeg+cjpeg  djpeg IN | cjpeg -quality 90 > OUT, per file
#   djpeg,cjpeg  the same one after the other through a PPM in /dev/shm, which
#                like tessaline-batch uses one core at a time
#   mogrify      MAGICK_THREAD_LIMIT=1 mogrify -path DIR -quality 90 FILES...
# and prints milliseconds per image (wall clock and user+system CPU), the peak
# resident memory of the largest process, and the ratios to djpeg+cjpeg.
# Each method runs ROUNDS times (default 3), interleaved; the best round counts.
# The corpus is made by ../shared/bench/make-corpus when missing (some minutes).
# Target: within 1.15x of djpeg+cjpeg; peak memory no more than one decoded
# image plus 32 MiB.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CORPUS=${1:-/work/benchcorpus}
BUILD=${2:-$ROOT/build}
ROUNDS=${ROUNDS:-3}
MAKE_CORPUS=${MAKE_CORPUS:-$ROOT/../shared/bench/make-corpus}
BATCH=$BUILD/cli/tessaline-batch

[ -x "$BATCH" ] || { echo "no $BATCH: build first (scripts/setup.sh)" >&2; exit 2; }
for tool in djpeg cjpeg mogrify identify /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 2; }
done
if ! ls "$CORPUS"/jpeg/*.jpg >/dev/null 2>&1; then
  echo "making the benchmark corpus in $CORPUS" >&2
  "$MAKE_CORPUS" "$CORPUS" >&2
fi

# The 12-megapixel files.
FILES=()
for f in "$CORPUS"/jpeg/*.jpg; do
  size=$(identify -format '%w %h' "$f" 2>/dev/null) || continue
  read -r w h <<<"$size"
  [ $((w * h)) -ge 11500000 ] && [ $((w * h)) -le 12500000 ] && FILES+=("$f")
done
N=${#FILES[@]}
[ "$N" -gt 0 ] || { echo "no 12-megapixel JPEGs in $CORPUS/jpeg" >&2; exit 2; }
read -r W H <<<"$(identify -format '%w %h' "${FILES[0]}")"
cat "${FILES[@]}" >/dev/null # warm the page cache

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
: >"$WORK/none.ini" # default settings: no resize, rotation or stamp

METHODS=()
if "$BATCH" --help 2>&1 | grep -q -- '--format'; then METHODS+=(batch); fi
METHODS+=(convert djpeg+cjpeg djpeg,cjpeg mogrify)
SHM=/dev/shm
[ -d "$SHM" ] && [ -w "$SHM" ] || SHM=$WORK

# run METHOD OUTDIR TIMEFILE: one method over all files, under /usr/bin/time.
# The per-file loops run in dash, whose own few hundred KiB stay below the tools'.
run() {
  local t=(/usr/bin/time -f '%e %U %S %M' -o "$3")
  case $1 in
  batch) "${t[@]}" "$BATCH" --settings "$WORK/none.ini" --format jpg --quality 90 --out "$2" \
           "${FILES[@]}" >/dev/null ;;
  convert) "${t[@]}" sh -c 'b=$1 o=$2; shift 2; for f; do "$b" --convert "$f" "$o/${f##*/}"; done' \
             sh "$BATCH" "$2" "${FILES[@]}" ;;
  djpeg+cjpeg) "${t[@]}" sh -c 'o=$1; shift; for f; do djpeg "$f" | cjpeg -quality 90 >"$o/${f##*/}"; done' \
                 sh "$2" "${FILES[@]}" ;;
  djpeg,cjpeg) "${t[@]}" sh -c 'o=$1 p=$2; shift 2; for f; do djpeg -outfile "$p" "$f" &&
                 cjpeg -quality 90 -outfile "$o/${f##*/}" "$p"; done; rm -f "$p"' \
                 sh "$2" "$SHM/reencode-$$.ppm" "${FILES[@]}" ;;
  mogrify) MAGICK_THREAD_LIMIT=1 "${t[@]}" mogrify -path "$2" -quality 90 "${FILES[@]}" ;;
  esac
}

echo "$N files of ${W}x${H} from $CORPUS/jpeg, $ROUNDS rounds, $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 1; r <= ROUNDS; r++)); do
  for m in "${METHODS[@]}"; do
    out="$WORK/out-$m-$r"
    mkdir -p "$out"
    run "$m" "$out" "$WORK/time-$m-$r"
    made=$(find "$out" -name '*.jpg' | wc -l)
    [ "$made" -eq "$N" ] || { echo "$m wrote $made of $N files" >&2; exit 1; }
    rm -rf "$out"
  done
done

# Best round per method: least wall time, least CPU time, largest peak seen.
image_mib=$(awk -v w="$W" -v h="$H" 'BEGIN { printf "%.1f", w * h * 3 / 1048576 }')
echo
for m in "${METHODS[@]}"; do
  cat "$WORK"/time-"$m"-* | awk -v m="$m" -v n="$N" '
    { wall = $1; cpu = $2 + $3; if (NR == 1 || wall < bw) bw = wall; if (NR == 1 || cpu < bc) bc = cpu
      if ($4 > peak) peak = $4 }
    END { printf "%s %.1f %.1f %.1f\n", m, bw * 1000 / n, bc * 1000 / n, peak / 1024 }'
done >"$WORK/summary"
read -r _ ref_wall ref_cpu _ < <(grep '^djpeg+cjpeg ' "$WORK/summary")
read -r _ ser_wall _ _ < <(grep '^djpeg,cjpeg ' "$WORK/summary")
# Ratios: wall time to the pipeline and to the serial pair, CPU time to the pipeline.
printf '%-12s %9s %9s %9s %9s %9s %9s\n' method "wall ms" "cpu ms" "peak MiB" "wall/pipe" \
  "wall/ser" "cpu/pipe"
while read -r m wall cpu peak; do
  awk -v m="$m" -v w="$wall" -v c="$cpu" -v p="$peak" -v rw="$ref_wall" -v sw="$ser_wall" \
    -v rc="$ref_cpu" 'BEGIN { printf "%-12s %9.1f %9.1f %9.1f %9.2f %9.2f %9.2f\n",
      m, w, c, p, w / rw, w / sw, c / rc }'
done <"$WORK/summary"
echo
echo "djpeg+cjpeg is a pipeline: its wall time overlaps decode and encode on two cores (and"
echo "gets two shares of a busy machine). djpeg,cjpeg runs them one after the other, as"
echo "tessaline-batch works. cpu ms (user + system) is the work done per image."
echo "Peak memory target for tessaline-batch: ${image_mib} MiB decoded image + 32 MiB" \
  "= $(awk -v i="$image_mib" 'BEGIN { print i + 32 }') MiB."
for m in batch convert; do
  line=$(grep "^$m " "$WORK/summary") || continue
  awk -v l="$line" -v i="$image_mib" -v rc="$ref_cpu" -v rw="$ref_wall" -v sw="$ser_wall" 'BEGIN {
    split(l, f, " ")
    printf "%s: cpu %.2fx, wall %.2fx (pipeline) %.2fx (serial) of djpeg+cjpeg, target 1.15x;" \
      " peak %.1f MiB, target %s\n", f[1], f[3] / rc, f[2] / rw, f[2] / sw, f[4],
      (f[4] <= i + 32 ? "met" : "MISSED") }'
done
