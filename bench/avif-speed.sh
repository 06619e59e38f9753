#!/bin/bash
# How fast libheif's AV1 encoder writes a 12-megapixel photo at quality 90 at
# each speed setting (0 slowest .. 9), with the file size and PSNR it gives,
# one encoder thread and four; then tessaline-batch writing the same photo as
# AVIF at its built-in speed. Picks nothing: read the table.
#
#   bench/avif-speed.sh                       # uses build/, ../benchcorpus
#   BUILD_DIR=build PHOTO=x.jpg SPEEDS="6 7 8 9" RUNS=3 bench/avif-speed.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN="$ROOT/${BUILD_DIR:-build}/cli/tessaline-batch"
PHOTO=${PHOTO:-$(cd .. && pwd)/benchcorpus/jpeg/photo-01.jpg}
SPEEDS=${SPEEDS:-5 6 7 8 9}
RUNS=${RUNS:-3}
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in heif-enc heif-convert hyperfine compare identify python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
W=$(mktemp -d /tmp/tessaline-avif.XXXXXX)
trap 'rm -rf "$W"' EXIT
# The encoders get the same decoded pixels: one PNG, read by both sides.
convert "$PHOTO" "$W/in.png"
echo "== $(identify -format '%wx%h' "$W/in.png") at quality 90; load: $(uptime | sed 's/.*load/load/')"

commands=()
for s in $SPEEDS; do
  for t in 1 4; do
    commands+=(-n "heif-enc speed $s threads $t"
               "heif-enc -q 90 -p speed=$s -p threads=$t -o $W/s$s-t$t.avif $W/in.png")
  done
done
commands+=(-n "tessaline-batch" "rm -rf $W/ours && $BIN --settings $W/b.ini --jobs 1 --format avif --quality 90 --no-rename --out $W/ours $W/in.png >/dev/null")
hyperfine --style basic --runs "$RUNS" --export-json "$W/result.json" "${commands[@]}" >/dev/null

# libheif's own decoder gives the pixels the PSNR is taken on.
psnr() {
  heif-convert "$1" "$W/back.png" >/dev/null
  compare -metric PSNR "$W/in.png" "$W/back.png" null: 2>&1 | cut -d' ' -f1
}
{
  for s in $SPEEDS; do
    for t in 1 4; do
      f="$W/s$s-t$t.avif"
      echo "heif-enc speed $s threads $t|$(stat -c %s "$f")|$(psnr "$f")"
    done
  done
  echo "tessaline-batch|$(stat -c %s "$W/ours/in.avif")|$(psnr "$W/ours/in.avif")"
} > "$W/sizes.txt"

python3 - "$W/result.json" "$W/sizes.txt" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print("%-30s %9s %9s %10s %8s" % ("", "wall s", "cpu s", "bytes", "PSNR dB"))
for line in open(sys.argv[2]):
    name, size, psnr = line.strip().split("|")
    r = results[name]
    print("%-30s %9.2f %9.2f %10s %8s" % (name, r["median"], r["user"] + r["system"], size, psnr))
print("(median wall, mean processor seconds over runs; the encode includes reading the PNG)")
PY
