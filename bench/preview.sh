#!/bin/bash
# bench/preview.sh [BUILD_DIR]: the preview of a 12,000 x 9,000 JPEG (made by
# ImageMagick), shown in a 640 x 720 area: time until the picture is shown
# and how much the process grew, over ROUNDS runs (medians). Targets: under
# 0.5 s and under 60 MB.
#
#   ROUNDS=5 bench/preview.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROUNDS=${ROUNDS:-5}
cmake --build "$BUILD" --target preview_bench >/dev/null
W=$(mktemp -d /tmp/tessaline-preview.XXXXXX)
trap 'rm -rf "$W"' EXIT
convert -size 12000x9000 gradient:red-blue -quality 90 "$W/big.jpg"
echo "load: $(uptime)"
echo "input: $(identify -format '%wx%h' "$W/big.jpg"), $(stat -c %s "$W/big.jpg") bytes"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
for ((r = 0; r < ROUNDS; r++)); do "$BUILD/bench/preview_bench" "$W/big.jpg" 2>/dev/null; done | tee "$W/rounds"
python3 - "$W/rounds" <<'PY'
import re, statistics, sys
rows = [tuple(map(int, re.search(r"in (\d+) ms; resident \+(-?\d+) kB, peak resident \+(-?\d+) kB", l).groups()))
        for l in open(sys.argv[1])]
ms, rss, peak = (statistics.median(c) for c in zip(*rows))
print(f"median: {ms:.0f} ms, resident +{rss / 1024:.1f} MB, peak resident +{peak / 1024:.1f} MB")
PY
