#!/bin/bash
# What keeping photos whole costs a batch row, on one thread:
#  1. the headline run (24 photos of 4000 x 3000 to 800-pixel-wide JPEGs at
#     quality 90) with the baseline binary and ours, side by side;
#  2. the same photos tagged as cameras tag them (Exif with a thumbnail, XMP,
#     IPTC, an Adobe RGB profile) against the untagged ones, written as JPEG
#     (metadata read, brought up to date and written) and as BMP (pixels
#     converted from the profile to sRGB).
# CPU time (user + system) is the figure to read on a shared machine.
#
#   BASELINE=/path/to/tessaline-batch bench/photo-cost.sh   # RUNS=5 by default
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN="$ROOT/${BUILD_DIR:-build}/cli/tessaline-batch"
BASELINE=${BASELINE:-$ROOT/../baseline-bin/tessaline-batch}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
RUNS=${RUNS:-5}
PROFILE=${PROFILE:-/usr/share/color/icc/ghostscript/a98.icc}
for tool in hyperfine exiftool python3 /usr/bin/convert; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
[ -r "$PROFILE" ] || { echo "missing profile $PROFILE" >&2; exit 1; }
files=("$CORPUS"/jpeg/photo-*.jpg)
files=("${files[@]:0:24}")
[ ${#files[@]} -eq 24 ] || { echo "need 24 photos in $CORPUS/jpeg (../shared/bench/make-corpus)" >&2; exit 1; }

W=$(mktemp -d /tmp/tessaline-photo-bench.XXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir -p "$W/tagged" "$W/out"
cp "${files[@]}" "$W/tagged/"
thumb="$W/thumb.jpg"
/usr/bin/convert -size 160x120 xc:gray "$thumb"
exiftool -q -m -overwrite_original -DateTimeOriginal='2021:05:06 07:08:09' -Make=Quill \
  -Model='Q 1' -Copyright='(c) Someone' -GPSLatitude=48.1 -GPSLatitudeRef=N \
  -XMP-dc:Creator=Ann -IPTC:Keywords=kw "-ICC_Profile<=$PROFILE" "-ThumbnailImage<=$thumb" \
  "$W"/tagged/*.jpg
tagged=("$W"/tagged/*.jpg)

# One row at a time for ours; the baseline knows no other way.
printf '[Tessaline Options]\nThreads=1\n' > "$W/bench.ini"
run() { # binary, output subfolder, format, files...
  local bin=$1 out=$2 format=$3; shift 3
  echo "$bin --settings $W/bench.ini --format $format --quality 90 --resize-width 800 --no-rename --out $W/out/$out $(printf '%q ' "$@") >/dev/null"
}
echo "== load: $(uptime | sed 's/.*load/load/')"
hyperfine --style basic --warmup 1 --runs "$RUNS" --prepare "rm -rf $W/out && mkdir -p $W/out" \
  --export-json "$W/result.json" \
  -n "baseline" "$(run "$BASELINE" base jpg "${files[@]}")" \
  -n "ours" "$(run "$BIN" ours jpg "${files[@]}")" \
  -n "ours, tagged, jpg" "$(run "$BIN" tagged jpg "${tagged[@]}")" \
  -n "ours, bmp" "$(run "$BIN" bmp bmp "${files[@]}")" \
  -n "ours, tagged, bmp" "$(run "$BIN" taggedbmp bmp "${tagged[@]}")"
echo "== load: $(uptime | sed 's/.*load/load/')"

python3 - "$W/result.json" 24 <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
n = int(sys.argv[2])
cpu = lambda k: r[k]["user"] + r[k]["system"]
print("\n%-20s %9s %11s %10s %11s" % ("command", "median s", "ms / photo", "cpu s", "cpu ms/ph"))
for k in r:
    print("%-20s %9.3f %11.1f %10.3f %11.1f" % (k, r[k]["median"], 1000 * r[k]["median"] / n, cpu(k), 1000 * cpu(k) / n))
def ratio(a, b):
    return "%+.1f%% cpu, %+.1f%% median" % (100 * (cpu(a) / cpu(b) - 1), 100 * (r[a]["median"] / r[b]["median"] - 1))
print("\nours against the baseline:         ", ratio("ours", "baseline"))
print("metadata kept (tagged, jpg):       ", ratio("ours, tagged, jpg", "ours"))
print("profile to sRGB (tagged, bmp):     ", ratio("ours, tagged, bmp", "ours, bmp"))
PY
