#!/bin/bash
# bench/thumbnails.sh [BUILD_DIR] [CORPUS_DIR]: time from selecting a folder of
# the 24 benchmark photos until the last thumbnail is drawn, with the event
# loop's longest gap, against djpeg decoding the same files at 1/8 scale and
# against an older build's thumbnail_bench (BASELINE, by default the one in
# ../baseline-bin). Rounds alternate between ours and the baseline so both see
# the same load; medians are compared. Targets: at least 1.7x faster than the
# baseline, longest gap under 50 ms.
#
#   ROUNDS=7 bench/thumbnails.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
CORPUS=${2:-$(cd .. && pwd)/benchcorpus}
ROUNDS=${ROUNDS:-5}
BASELINE=${BASELINE:-$(cd .. && pwd)/baseline-bin/thumbnail_bench}
[ -d "$CORPUS/jpeg" ] || ../shared/bench/make-corpus "$CORPUS"
cmake --build "$BUILD" --target thumbnail_bench >/dev/null
DIR="$CORPUS/jpeg"
n=$(ls "$DIR"/*.jpg | wc -l)
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
echo "load: $(uptime)"
time_ms() { local s e; s=$(date +%s%N); "$@" >/dev/null 2>&1; e=$(date +%s%N); echo $(( (e - s) / 1000000 )); }
eighth=$(time_ms bash -c "for f in '$DIR'/*.jpg; do djpeg -scale 1/8 -bmp \"\$f\" >/dev/null; done")
echo "djpeg 1/8 decode, one after another: $eighth ms for $n files"

# One line per round: "ms gap".
one() { "$1" "$DIR" 2>/dev/null | sed -n 's/.* in \([0-9]*\) ms .*longest event-loop gap \([0-9]*\) ms/\1 \2/p'; }
W=$(mktemp -d /tmp/tessaline-thumbs.XXXXXX)
trap 'rm -rf "$W"' EXIT
: >"$W/base"
for ((r = 0; r < ROUNDS; r++)); do
  one "$BUILD/bench/thumbnail_bench" >>"$W/ours"
  [ -x "$BASELINE" ] && one "$BASELINE" >>"$W/base"
done
python3 - "$W/ours" "$W/base" "$n" <<'PY'
import statistics, sys
n = int(sys.argv[3])
def read(path):
    rows = [tuple(map(int, l.split())) for l in open(path) if l.strip()]
    return (statistics.median(r[0] for r in rows), max(r[1] for r in rows), [r[0] for r in rows]) if rows else None
ours, base = read(sys.argv[1]), read(sys.argv[2])
for name, r in (("ours", ours), ("baseline", base)):
    if r:
        print("%-9s median %5.0f ms (%5.1f ms per file), longest event-loop gap %3d ms; runs: %s" %
              (name, r[0], r[0] / n, r[1], " ".join(map(str, r[2]))))
print("longest gap under 50 ms: %s" % ("met" if ours[1] < 50 else "MISSED"))
if base:
    speedup = base[0] / ours[0]
    print("%.2fx faster than the baseline (target 1.7): %s" % (speedup, "met" if speedup >= 1.7 else "MISSED"))
PY
