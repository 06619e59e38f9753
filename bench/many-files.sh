#!/bin/bash
# A batch of many tiny files (20,000 by default) must start its first row
# within a second however the files are given: as a folder, as FILE
# arguments, through --files-from. Prints the seconds from the start of the
# command to its first report line, and the whole run's time, per way.
#
#   bench/many-files.sh                  # uses build/, COUNT=20000, ROUNDS=3
#   COUNT=50000 ROUNDS=1 bench/many-files.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
COUNT=${COUNT:-20000}
ROUNDS=${ROUNDS:-3}
BIN="$ROOT/$BUILD/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }

W=$(mktemp -d /tmp/tessaline-many.XXXXXX)
trap 'rm -rf "$W"' EXIT
mkdir "$W/in"
# 2 x 2 pixels, 24 bits: a 70-byte BMP.
python3 - "$W/in" "$COUNT" <<'PY'
import struct, sys
folder, count = sys.argv[1], int(sys.argv[2])
pixels = bytes([0, 0, 255, 0, 255, 0, 0, 0]) * 2
bmp = (b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54) +
       struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, len(pixels), 2835, 2835, 0, 0) + pixels)
with open(folder + "/../list.txt", "w") as listing:
    for i in range(count):
        path = "%s/t%06d.bmp" % (folder, i)
        open(path, "wb").write(bmp)
        listing.write(path + "\n")
PY
: >"$W/empty.ini"

# Seconds to the first report line and to the end, for one command.
first_row() {
  rm -rf "$W/out" && mkdir "$W/out"
  local start first end
  start=$(date +%s.%N)
  "$@" 2>/dev/null | { read -r _; date +%s.%N >"$W/first"; cat >/dev/null; } || true
  end=$(date +%s.%N)
  first=$(cat "$W/first")
  echo "$(echo "$first - $start" | bc) $(echo "$end - $start" | bc)"
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

echo "load before: $(uptime)"
echo "files: $COUNT tiny BMPs, output BMP, default threads; medians of $ROUNDS rounds"
printf '%-12s %16s %12s\n' "given as" "first row (s)" "whole (s)"
common=(--settings "$W/empty.ini" --format bmp --out "$W/out")
for way in folder arguments list; do
  : >"$W/firsts"; : >"$W/wholes"
  for ((r = 0; r < ROUNDS; r++)); do
    case $way in
      folder) read -r f w < <(first_row "$BIN" "${common[@]}" "$W/in") ;;
      arguments) read -r f w < <(first_row "$BIN" "${common[@]}" "$W"/in/*.bmp) ;;
      list) read -r f w < <(first_row "$BIN" "${common[@]}" --files-from "$W/list.txt") ;;
    esac
    echo "$f" >>"$W/firsts"; echo "$w" >>"$W/wholes"
  done
  printf '%-12s %16s %12s\n' "$way" "$(median <"$W/firsts")" "$(median <"$W/wholes")"
done
echo "load after: $(uptime)"
