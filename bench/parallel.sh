#!/bin/bash
# The headline run on every core: 24 photos (4000 x 3000) to 800-pixel-wide
# JPEGs at quality 90, tessaline-batch with its default threads (one per
# core) against itself with --jobs 1, against vipsthumbnail --size 800x and
# mogrify -resize 800x, each of those with its own default threading. Rounds
# alternate between the commands so all see the same load; medians of wall
# time, processor time (user + system) and peak memory.
# Targets: default threads at most 0.55x the wall time of --jobs 1, and at
# least 3x faster in wall time than vipsthumbnail. A last row runs ours with
# --resample smooth (shrink-on-load, as vipsthumbnail resizes) for reference.
# BASELINE=path/to/an/older/tessaline-batch adds its row and the ratio of
# processor times (target: new options cost at most 1% while unused), then
# compares the instructions both execute under callgrind on CALLGRIND photos
# (default 2), which the machine's load cannot move.
#
#   bench/parallel.sh                # uses build/, ../benchcorpus, ROUNDS=5
#   BUILD_DIR=build ROUNDS=9 CORPUS=/path bench/parallel.sh
#   BASELINE=../base/build/cli/tessaline-batch bench/parallel.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
ROUNDS=${ROUNDS:-5}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in vipsthumbnail mogrify /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt 24 ]; then
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:24}")

W=$(mktemp -d /tmp/tessaline-parallel.XXXXXX)
trap 'rm -rf "$W"' EXIT
: >"$W/empty.ini" # no Threads key: one per core
ours=("$BIN" --settings "$W/empty.ini" --format jpg --quality 90 --resize-width 800 --no-rename --out "$W/out")
names=("tessaline" "tessaline --jobs 1" "vipsthumbnail" "mogrify -resize" "tessaline smooth")
commands=(0 1 2 3 4)
if [ -n "${BASELINE:-}" ]; then
  [ -x "$BASELINE" ] || { echo "BASELINE $BASELINE is not a program" >&2; exit 1; }
  names+=("baseline")
  commands+=(5)
  export BASELINE
fi
run() { # index: runs one command into a fresh $W/out
  case $1 in
    0) "${ours[@]}" "${files[@]}" ;;
    1) "${ours[@]}" --jobs 1 "${files[@]}" ;;
    2) env -u VIPS_CONCURRENCY vipsthumbnail --size 800x -o "$W/out/%s.jpg[Q=90]" "${files[@]}" ;;
    3) env -u MAGICK_THREAD_LIMIT mogrify -path "$W/out" -resize 800x -quality 90 "${files[@]}" ;;
    4) "${ours[@]}" --resample smooth "${files[@]}" ;;
    5) "$BASELINE" "${ours[@]:1}" "${files[@]}" ;;
  esac
}
echo "== ${#files[@]} photos, $ROUNDS rounds, $(nproc) processors"
echo "load before: $(uptime)"
for ((r = 0; r < ROUNDS; r++)); do
  for i in "${commands[@]}"; do
    rm -rf "$W/out" && mkdir -p "$W/out"
    /usr/bin/time -o "$W/t" -f '%e %U %S %M' bash -c "$(declare -f run); $(declare -p ours files W); run $i" >/dev/null 2>&1
    echo "$i $(cat "$W/t")" >>"$W/times"
    n=$(ls "$W/out" | wc -l)
    [ "$n" -eq ${#files[@]} ] || { echo "${names[$i]}: $n outputs, not ${#files[@]}" >&2; exit 1; }
  done
done
echo "load after:  $(uptime)"
python3 - "$W/times" "${#files[@]}" "${names[@]}" <<'PY'
import statistics, sys
n = int(sys.argv[2]); names = sys.argv[3:]
rows = {}
for line in open(sys.argv[1]):
    i, wall, user, system, kib = line.split()
    rows.setdefault(int(i), []).append((float(wall), float(user) + float(system), int(kib)))
med = {i: tuple(statistics.median(r[k] for r in rs) for k in range(3)) for i, rs in rows.items()}
print("\n%-20s %8s %10s %8s %10s %10s" % ("command", "wall s", "wall ms/ph", "cpu s", "cpu ms/ph", "peak MiB"))
for i, name in enumerate(names):
    wall, cpu, kib = med[i]
    print("%-20s %8.3f %10.1f %8.3f %10.1f %10.1f" % (name, wall, 1000 * wall / n, cpu, 1000 * cpu / n, kib / 1024))
ratio = med[0][0] / med[1][0]
print("default threads: %.2fx the wall time of --jobs 1 (target at most 0.55): %s" %
      (ratio, "met" if ratio <= 0.55 else "MISSED"))
vips = med[2][0] / med[0][0]
print("default threads: %.2fx faster than vipsthumbnail in wall time (target 3): %s" %
      (vips, "met" if vips >= 3 else "MISSED"))
print("mogrify -resize: %.2fx our wall time" % (med[3][0] / med[0][0]))
if 5 in med:
    print("this build: %.3fx the processor time of the baseline" % (med[0][1] / med[5][1]))
PY

[ -n "${BASELINE:-}" ] && [ "${CALLGRIND:-2}" -gt 0 ] && command -v valgrind >/dev/null || exit 0
echo -e "\n== callgrind instructions, --jobs 1, ${CALLGRIND:-2} photos"
source "$ROOT/bench/callgrind.sh"
count() { # PROGRAM: instructions of one run
  rm -rf "$W/out" && mkdir -p "$W/out"
  callgrind_count "$1" "${ours[@]:1}" --jobs 1 "${files[@]:0:${CALLGRIND:-2}}"
}
ours_n=$(count "$BIN")
base_n=$(count "$BASELINE")
echo "this build $ours_n, baseline $base_n: $(python3 -c "print('%.4f' % ($ours_n / $base_n))")x"
