#!/bin/bash
# --info on a huge picture reads its header only: a flat 25,000 x 33,000 PNG
# (made here with vips; flat colour compresses to little) and the same
# picture as a tiled deflate TIFF. Prints the
# elapsed time, processor time and peak memory of each --info, median of RUNS.
# Targets: under 0.1 s and a few MB above a 1 x 1 PNG's --info (the
# program's own libraries).
#
#   bench/info-huge.sh            # uses build/
#   BUILD_DIR=build RUNS=5 bench/info-huge.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BIN="$(pwd)/${BUILD_DIR:-build}/cli/tessaline-batch"
RUNS=${RUNS:-5}
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
command -v vips >/dev/null || { echo "missing: vips" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
W=25000 H=33000
vips black "$WORK/black.v" $W $H --bands 3
vips linear "$WORK/black.v" "$WORK/flat.v" 1 90
vips cast "$WORK/flat.v" "$WORK/flat8.v" uchar
vips copy "$WORK/flat8.v" "$WORK/huge.png[compression=9]"
vips copy "$WORK/flat8.v" "$WORK/huge.tif[compression=deflate,tile]"
vips black "$WORK/tiny.png" 1 1
rm -f "$WORK"/*.v
echo "load: $(uptime)"
for f in tiny.png huge.png huge.tif; do
  echo "$f: $(stat -c %s "$WORK/$f") bytes; $("$BIN" --info "$WORK/$f")"
  for i in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %U %S %M" "$BIN" --info "$WORK/$f" 2>&1 >/dev/null | tail -1
  done | sort -n | awk -v f="$f" '{ e[NR] = $1; c[NR] = $2 + $3; m[NR] = $4 }
    END { i = int((NR + 1) / 2);
          printf "%s: median of %d: %.3f s elapsed, %.3f s processor, %d KB peak memory\n",
                 f, NR, e[i], c[i], m[i] }'
done
