#!/bin/bash
# The headline run with smooth resampling: tessaline-batch (one row at a
# time) turning the 24 photos (4000 x 3000) of the benchmark corpus into
# 800-pixel-wide JPEGs at quality 90 with --resample smooth, side by side in
# one hyperfine run with djpeg -scale 1/4 decoding the same files (the floor
# for a shrink-on-load resizer), vipsthumbnail on one thread (shrink-on-load
# and a Lanczos-3 reduce) and our nearest resize. Targets in processor time:
# smooth at most 1.25x djpeg -scale 1/4, at least 1.5x faster than
# vipsthumbnail. Then the peak memory of the smooth run (target: 32 MiB).
#
#   bench/resize-smooth.sh            # uses build/, ../benchcorpus
#   BUILD_DIR=build RUNS=10 CORPUS=/path bench/resize-smooth.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
RUNS=${RUNS:-5}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in hyperfine djpeg vipsthumbnail identify /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt 24 ]; then
  echo "making the benchmark corpus in $CORPUS (takes minutes)" >&2
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:24}")
list=$(printf '%q ' "${files[@]}")

W=$(mktemp -d /tmp/tessaline-bench.XXXXXX)
trap 'rm -rf "$W"' EXIT
OUT="$W/out"
printf '[Tessaline Options]\nThreads=1\n' >"$W/bench.ini"

args=(--settings "$W/bench.ini" --format jpg --quality 90 --resize-width 800 --no-rename)
smooth="$BIN $(printf '%q ' "${args[@]}") --resample smooth --out $OUT/smooth $list >/dev/null"
nearest="$BIN $(printf '%q ' "${args[@]}") --resample nearest --out $OUT/nearest $list >/dev/null"
djpeg="for f in $list; do djpeg -scale 1/4 \"\$f\" >/dev/null; done"
vips="VIPS_CONCURRENCY=1 vipsthumbnail --size 800x -o '$OUT/vips/%s.jpg[Q=90]' $list"

echo "== ${#files[@]} photos of $(identify -format '%wx%h' "${files[0]}"), $RUNS runs each; load: $(uptime)"
hyperfine --style basic --warmup 1 --runs "$RUNS" \
  --prepare "rm -rf $OUT && mkdir -p $OUT/smooth $OUT/nearest $OUT/vips" \
  --export-json "$W/result.json" \
  -n "djpeg -scale 1/4" "$djpeg" -n "smooth" "$smooth" -n vipsthumbnail "$vips" \
  -n "nearest" "$nearest"

python3 - "$W/result.json" "${#files[@]}" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
n = int(sys.argv[2])
def cpu(r):  # median of user + system over the runs
    times = sorted(u + s for u, s in zip(r["user_times"], r["system_times"])) \
        if "user_times" in r else [r["user"] + r["system"]]
    return times[len(times) // 2]
base = cpu(results["djpeg -scale 1/4"])
print("\n%-18s %10s %11s %14s" % ("command", "cpu s", "cpu ms/ph", "x djpeg 1/4"))
for name, r in results.items():
    c = cpu(r)
    print("%-18s %10.3f %11.1f %14.2f" % (name, c, 1000 * c / n, c / base))
s, v = cpu(results["smooth"]), cpu(results["vipsthumbnail"])
print("smooth: %.2fx djpeg -scale 1/4 (target at most 1.25): %s" %
      (s / base, "met" if s / base <= 1.25 else "MISSED"))
print("smooth: %.2fx faster than vipsthumbnail (target at least 1.5): %s" %
      (v / s, "met" if v / s >= 1.5 else "MISSED"))
PY

rm -rf "$OUT" && mkdir -p "$OUT/smooth"
peak_kib=$(/usr/bin/time -f '%M' "$BIN" "${args[@]}" --resample smooth --out "$OUT/smooth" \
  "${files[@]}" 2>&1 >/dev/null | tail -1)
echo "peak memory (smooth): ${peak_kib} KiB (target 32768 KiB)"
sizes=$(identify -format '%wx%h\n' "$OUT"/smooth/*.jpg | sort | uniq -c | tr -s ' ')
echo "outputs: $(ls "$OUT/smooth" | wc -l) files,$sizes"
