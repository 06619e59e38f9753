#!/bin/bash
# A 200-frame 480 x 270 animated GIF (a fractal backdrop with a moving disc
# and a counter, frames optimised by ImageMagick as most GIFs are) resized
# to 240 wide: tessaline-batch (nearest and smooth) against gifsicle
# --resize-width 240, gifsicle -O2 --resize-width 240 and vips thumbnail on
# the same job. Targets: peak memory under 40 MB; time within 1.5x of
# gifsicle's and below vips'; output bytes within 1.3x of gifsicle -O2's.
#
# The machine is shared, so the commands run in alternating rounds and the
# medians are printed: wall and processor time (user + system, from wait4),
# the peak resident set, and the output's bytes.
#
#   bench/frames.sh                 # uses build/, ROUNDS=7
#   BUILD_DIR=build ROUNDS=9 bench/frames.sh
#   INPUT=/tmp/in.gif bench/frames.sh   # reuses an input made before (KEEP=1 keeps it)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=${BIN:-"$ROOT/${BUILD_DIR:-build}/cli/tessaline-batch"}
ROUNDS=${ROUNDS:-7}
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
for tool in /usr/bin/convert gifsicle vips python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

W=$(mktemp -d /tmp/tessaline-frames.XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$W"' EXIT
IN="$W/in.gif"
if [ -n "${INPUT:-}" ]; then cp "$INPUT" "$IN"; else
echo "making the 200-frame input in $IN" >&2
args=()
for i in $(seq 0 199); do
  x=$((20 + i * 2)); y=$((135 + (i % 40) - 20))
  args+=('(' -clone 0 -fill '#E03020' -draw "circle $x,$y $((x + 18)),$y" -fill white
    -pointsize 20 -annotate +400+30 "$i" ')')
done
/usr/bin/convert -size 480x270 -seed 7 plasma:fractal "${args[@]}" -delete 0 \
  -set delay 4 -loop 0 +dither -colors 256 -layers Optimize "$IN"
fi
printf '[Tessaline Options]\nThreads=1\n' >"$W/bench.ini"

python3 - "$W" "$IN" "$BIN" "$ROUNDS" <<'PY'
import os, statistics, subprocess, sys, time
w, src, bin_, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
ours = [bin_, "--settings", f"{w}/bench.ini", "--format", "gif", "--resize-width", "240",
        "--no-rename", "--jobs", "1"]
jobs = {
    "tessaline nearest": (ours + ["--out", f"{w}/near", src], f"{w}/near/in.gif"),
    "tessaline smooth": (ours + ["--resample", "smooth", "--out", f"{w}/smooth", src],
                         f"{w}/smooth/in.gif"),
    "gifsicle": (["gifsicle", "--resize-width", "240", src, "-o", f"{w}/g.gif"], f"{w}/g.gif"),
    "gifsicle -O2": (["gifsicle", "-O2", "--resize-width", "240", src, "-o", f"{w}/g2.gif"],
                     f"{w}/g2.gif"),
    "vips thumbnail": (["vips", "thumbnail", src + "[n=-1]", f"{w}/v.gif", "240"], f"{w}/v.gif"),
}
env = dict(os.environ, VIPS_CONCURRENCY="1")
got = {name: [] for name in jobs}
for r in range(rounds):
    order = list(jobs) if r % 2 == 0 else list(reversed(jobs))
    for name in order:
        argv, out = jobs[name]
        if os.path.exists(out): os.remove(out)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        start = time.monotonic()
        p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.monotonic() - start
        if status != 0: sys.exit(f"{name} failed")
        got[name].append((wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024,
                          os.path.getsize(out)))
        print("round %d %-18s wall %.3f cpu %.3f peak %.1f MB bytes %d" % ((r,  name) + got[name][-1]),
              flush=True)
print("load: " + open("/proc/loadavg").read().strip())
print(f"{rounds} alternating rounds, medians")
print("%-18s %8s %8s %9s %9s" % ("command", "wall s", "cpu s", "peak MB", "bytes"))
med = {}
for name, runs in got.items():
    m = [statistics.median(v[i] for v in runs) for i in range(4)]
    med[name] = m
    print("%-18s %8.3f %8.3f %9.1f %9d" % (name, m[0], m[1], m[2], m[3]))
for ours in ("tessaline nearest", "tessaline smooth"):
    o = med[ours]
    print(f"{ours}: cpu {o[1] / med['gifsicle'][1]:.2f}x gifsicle, "
          f"{o[1] / med['vips thumbnail'][1]:.2f}x vips; "
          f"bytes {o[3] / med['gifsicle -O2'][3]:.2f}x gifsicle -O2; peak {o[2]:.1f} MB")
PY
