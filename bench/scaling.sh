#!/bin/bash
# Batches of 1, 24, 240 and 2400 files through --files-from (links to the 24
# benchmark photos under distinct names), 800-pixel-wide JPEGs at quality 90
# with the default threads: time per file should stay flat (within 10%) and
# peak memory should not grow with the file count. The 1-file batch runs on
# one thread and pays the start-up alone, so its wall time per file is shown
# but judged by processor time only.
#
#   bench/scaling.sh                       # uses build/, ../benchcorpus, ROUNDS=3
#   SIZES="1 24 240" ROUNDS=1 bench/scaling.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
ROUNDS=${ROUNDS:-3}
SIZES=${SIZES:-1 24 240 2400}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
shopt -s nullglob
photos=("$CORPUS"/jpeg/photo-*.jpg)
[ ${#photos[@]} -ge 24 ] || { "$ROOT/../shared/bench/make-corpus" "$CORPUS"; photos=("$CORPUS"/jpeg/photo-*.jpg); }
photos=("${photos[@]:0:24}")

W=$(mktemp -d /tmp/tessaline-scaling.XXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir "$W/in"
max=0
for n in $SIZES; do ((n > max)) && max=$n; done
for ((i = 0; i < max; i++)); do
  name=$(printf 'p%05d.jpg' "$i")
  ln -s "${photos[i % 24]}" "$W/in/$name"
  echo "$W/in/$name" >>"$W/all.txt"
done
: >"$W/empty.ini"
# /usr/bin/time counts processor time in hundredths, a sixth of one photo:
# wait4's rusage to the microsecond instead.
cat >"$W/timed.py" <<'PY'
import os, sys, time
start = time.monotonic()
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
_, status, use = os.wait4(pid, 0)
wall = time.monotonic() - start
with open(sys.argv[1], "w") as out:
    out.write("%.4f %.4f %.4f %d\n" % (wall, use.ru_utime, use.ru_stime, use.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status))
PY
echo "load before: $(uptime)"
for ((r = 0; r < ROUNDS; r++)); do
  for n in $SIZES; do
    head -n "$n" "$W/all.txt" >"$W/list.txt"
    rm -rf "$W/out" && mkdir "$W/out"
    python3 "$W/timed.py" "$W/t" "$BIN" --settings "$W/empty.ini" --format jpg --quality 90 \
      --resize-width 800 --no-rename --out "$W/out" --files-from "$W/list.txt" >/dev/null
    made=$(ls "$W/out" | wc -l)
    [ "$made" -eq "$n" ] || { echo "$n files: $made outputs" >&2; exit 1; }
    echo "$n $(cat "$W/t")" >>"$W/times"
  done
done
echo "load after:  $(uptime)"
python3 - "$W/times" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    n, wall, user, system, kib = line.split()
    rows.setdefault(int(n), []).append((float(wall), float(user) + float(system), int(kib)))
print("\n%6s %8s %12s %8s %11s %10s" % ("files", "wall s", "wall ms/file", "cpu s", "cpu ms/file", "peak MiB"))
per = {}
for n in sorted(rows):
    wall, cpu, kib = (statistics.median(r[k] for r in rows[n]) for k in range(3))
    per[n] = (1000 * wall / n, 1000 * cpu / n, kib / 1024)
    print("%6d %8.2f %12.1f %8.2f %11.1f %10.1f" % (n, wall, per[n][0], cpu, per[n][1], per[n][2]))
def spread(values):
    return max(values) / min(values) - 1
many = [n for n in per if n >= 24]
if len(many) > 1:
    s = spread([per[n][0] for n in many])
    print("wall time per file, 24 files and up: spread %.1f%% (target within 10%%): %s" %
          (100 * s, "met" if s <= 0.10 else "MISSED"))
s = spread([per[n][1] for n in per])
print("processor time per file, every size: spread %.1f%% (target within 10%%): %s" %
      (100 * s, "met" if s <= 0.10 else "MISSED"))
peaks = [per[n][2] for n in sorted(per) if n >= 24]
if peaks:
    grow = max(peaks) / peaks[0] - 1
    print("peak memory from 24 files up: grows %.1f%% (target: does not grow, allowed 10%%): %s" %
          (100 * grow, "met" if grow <= 0.10 else "MISSED"))
PY
