#!/bin/bash
# The cost of the output's shape: Cover 1080 x 1080 of the 24 benchmark photos
# against Fit into the same box (target: at most 1.1x its processor time), and
# an image watermark on an 800-pixel-wide run (target: at most +10%), each with
# both resamplings. One row at a time; the commands alternate within each of
# ROUNDS rounds and the medians of processor time (user + system, from wait4)
# are compared, since the machine is shared. Then instruction counts of
# callgrind on CALLGRIND photos (0 to skip), which no other load moves.
#   bench/shapes.sh                 # build/, ../benchcorpus, ROUNDS=7, CALLGRIND=3
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
ROUNDS=${ROUNDS:-7}
CALLGRIND=${CALLGRIND:-3}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt 24 ]; then
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:24}")

W=$(mktemp -d /tmp/tessaline-shapes.XXXXXX)
trap 'rm -rf "$W"' EXIT
printf '[Tessaline Options]\nThreads=1\n' >"$W/bench.ini"
# A 600 x 300 logo with soft transparent edges.
convert -size 600x300 xc:none -fill '#d04020' -draw 'roundrectangle 20,20 580,280 60,60' \
  -blur 0x4 "$W/logo.png"
cat >"$W/cpu.py" <<'PY'
import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
_, status, use = os.wait4(pid, 0)
print("%.4f" % (use.ru_utime + use.ru_stime))
PY

common=(--settings "$W/bench.ini" --format jpg --quality 90 --no-rename)
declare -A args=(
  [fit]="--resize-fit 1080x1080"
  [cover]="--resize-cover 1080x1080"
  [fit-smooth]="--resize-fit 1080x1080 --resample smooth"
  [cover-smooth]="--resize-cover 1080x1080 --resample smooth"
  [w800]="--resize-width 800"
  [w800-watermark]="--resize-width 800 --watermark $W/logo.png"
  [w800-smooth]="--resize-width 800 --resample smooth"
  [w800-smooth-watermark]="--resize-width 800 --resample smooth --watermark $W/logo.png"
)
order=(fit cover fit-smooth cover-smooth w800 w800-watermark w800-smooth w800-smooth-watermark)
echo "== ${#files[@]} photos, $ROUNDS rounds; load: $(uptime)"
: >"$W/rounds"
for ((r = 0; r < ROUNDS; r++)); do
  for name in "${order[@]}"; do
    rm -rf "$W/out" && mkdir "$W/out"
    # shellcheck disable=SC2086
    echo "$name $(python3 "$W/cpu.py" "$BIN" "${common[@]}" --out "$W/out" ${args[$name]} "${files[@]}" 2>/dev/null | tail -1)" >>"$W/rounds"
  done
done
echo "load after: $(uptime)"
python3 - "$W/rounds" <<'PY'
import statistics, sys
cpu = {}
for line in open(sys.argv[1]):
    name, t = line.split()
    cpu.setdefault(name, []).append(float(t))
med = {k: statistics.median(v) for k, v in cpu.items()}
print("\n%-24s %10s %12s" % ("command", "cpu s", "cpu ms/photo"))
for k, v in med.items():
    print("%-24s %10.3f %12.1f" % (k, v, 1000 * v / 24))
for a, b, target in [("cover", "fit", "<= 1.10"), ("cover-smooth", "fit-smooth", "<= 1.10"),
                     ("w800-watermark", "w800", "<= 1.10"),
                     ("w800-smooth-watermark", "w800-smooth", "<= 1.10")]:
    print("%-24s %6.3f x %-12s (target %s)" % (a, med[a] / med[b], b, target))
PY

[ "$CALLGRIND" -gt 0 ] && command -v valgrind >/dev/null || exit 0
echo -e "\n== callgrind instructions on $CALLGRIND photos"
source "$ROOT/bench/callgrind.sh"
for name in "${order[@]}"; do
  rm -rf "$W/out" && mkdir "$W/out"
  # shellcheck disable=SC2086
  n=$(callgrind_count "$BIN" "${common[@]}" --out "$W/out" ${args[$name]} "${files[@]:0:$CALLGRIND}")
  echo "$name $n" | tee -a "$W/counts"
done
python3 - "$W/counts" <<'PY'
import sys
n = dict(line.split() for line in open(sys.argv[1]))
n = {k: int(v) for k, v in n.items()}
for a, b in [("cover", "fit"), ("cover-smooth", "fit-smooth"), ("w800-watermark", "w800"),
             ("w800-smooth-watermark", "w800-smooth")]:
    print("%-24s %6.3f x %s" % (a, n[a] / n[b], b))
PY
