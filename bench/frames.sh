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
# The second part sizes every animated GIF of the corpus and the 200-frame
# input, each resized to half its width (nearest and smooth), against
# gifsicle -O2 --resize-width of the same width: the bytes' ratio, and the
# lowest PSNR of a frame (coalesced, over mid grey) against ImageMagick's
# coalesce + resize (-sample for nearest, Lanczos for smooth), and the same
# over the pixels opaque in both (a GIF has no partial transparency, the
# reference's smooth edges do). Target: every file within 1.3x, smooth frames
# at least 35 dB.
#
#   bench/frames.sh                 # uses build/, ROUNDS=7, both parts
#   BUILD_DIR=build ROUNDS=9 bench/frames.sh
#   INPUT=/tmp/in.gif bench/frames.sh   # reuses an input made before (KEEP=1 keeps it)
#   PARTS=2 bench/frames.sh         # only the sizes (1: only the timed runs)
#   DETAIL=1 ONLY=chi PARTS=2 bench/frames.sh   # files named ...chi..., every frame's PSNR
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=${BIN:-"$ROOT/${BUILD_DIR:-build}/cli/tessaline-batch"}
ROUNDS=${ROUNDS:-7}
PARTS=${PARTS:-12}
CORPUS=${CORPUS:-$ROOT/../shared/corpus}
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

if [[ $PARTS == *1* ]]; then
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
fi

[[ $PARTS == *2* ]] || exit 0
files=()
if [ -f "$CORPUS/MANIFEST.tsv" ]; then
  mapfile -t files < <(awk -F'\t' -v dir="$CORPUS" '$1 ~ /^gif\// && $6 > 1 { print dir "/" $1 }' \
    "$CORPUS/MANIFEST.tsv")
else
  echo "no corpus at $CORPUS: only the 200-frame input" >&2
fi
python3 - "$W" "$BIN" "$IN" "${files[@]}" <<'PY'
import os, subprocess, sys
w, bin_, inputs = sys.argv[1], sys.argv[2], sys.argv[3:]

def run(argv):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout

# Every frame coalesced, after ImageMagick's options, over mid grey, as RGB
# bytes, with its opaque pixels' mask.
def frames(path, ops=()):
    conv = ["/usr/bin/convert", path, "-coalesce", *ops]
    first = run(conv + ["-format", "%w %h\\n", "info:-"]).split(b"\n")[0].split()
    width, height = int(first[0]), int(first[1])
    raw = run(conv + ["-depth", "8", "rgba:-"])
    size = width * height * 4
    out = []
    for at in range(0, len(raw) - size + 1, size):
        px = raw[at:at + size]
        a = px[3::4]
        out.append((bytes((c * al + 128 * (255 - al) + 127) // 255
                          for ch in range(3) for c, al in zip(px[ch::4], a)),
                    bytes(al == 255 for al in a) * 3))
    return (width, height), out

def psnr(x, y, only=None):
    import math
    pairs = [(p, q) for p, q, o in zip(x, y, only or b"\1" * len(x)) if o]
    s = sum((p - q) * (p - q) for p, q in pairs)
    return 99.0 if s == 0 else 10 * math.log10(255 * 255 * len(pairs) / s)

def opaque_psnr(a, b):
    return psnr(a[0], b[0], bytes(p & q for p, q in zip(a[1], b[1])))

print("%-34s %-7s %8s %8s %6s %8s %9s %8s" %
      ("file", "resize", "bytes", "gifsicle", "ratio", "min dB", "opaque dB", "gifs dB"))
worst = {}
only = os.environ.get("ONLY", "")
for src in inputs:
    name = os.path.basename(src)
    if only and only not in name: continue
    width = int(run(["/usr/bin/identify", "-format", "%W\\n", src]).split()[0])
    half = str(max(1, width // 2))
    g = f"{w}/sizes-g.gif"
    run(["gifsicle", "-O2", "--resize-width", half, src, "-o", g])
    for mode in ("nearest", "smooth"):
        out = f"{w}/sizes-{mode}"
        run([bin_, "--settings", f"{w}/bench.ini", "--format", "gif", "--resize-width", half,
             "--resample", mode, "--no-rename", "--jobs", "1", "--out", out, src])
        ours = f"{out}/{os.path.splitext(name)[0]}.gif"
        (ow, oh), got = frames(ours)
        ops = ["-sample" if mode == "nearest" else "-resize", f"{ow}x{oh}!"]
        if mode == "smooth": ops = ["-filter", "Lanczos"] + ops
        _, want = frames(src, ops)
        _, theirs = frames(g)
        if len(got) != len(want): sys.exit(f"{name} {mode}: {len(got)} frames, want {len(want)}")
        each = [psnr(a[0], b[0]) for a, b in zip(got, want)]
        low = min(each)
        olow = min(opaque_psnr(a, b) for a, b in zip(got, want))
        glow = min(psnr(a[0], b[0]) for a, b in zip(theirs, want)) if len(theirs) == len(want) else 0
        ratio = os.path.getsize(ours) / os.path.getsize(g)
        worst[mode] = max(worst.get(mode, 0), ratio)
        print("%-34s %-7s %8d %8d %5.2fx %8.1f %9.1f %8.1f" % (name, mode, os.path.getsize(ours),
              os.path.getsize(g), ratio, low, olow, glow), flush=True)
        if os.environ.get("DETAIL"): print("  frames dB: " + " ".join("%.1f" % e for e in each))
for mode, r in worst.items():
    print(f"{mode}: largest ratio {r:.2f}x gifsicle -O2")
PY
