#!/bin/bash
# The encoders' choices against their costs, on the benchmark photos:
#  1. optimised JPEG Huffman tables against the standard ones: bytes and
#     processor time of whole rows (decode + encode) at quality 90;
#  2. --max-size 200K on photos resized to 1600 wide: every file at most
#     200 KB, quality + 1 over it (re-encoded to check), and the budget's
#     cost against one encode at the quality it chose, per photo, on the
#     process's processor clock, which counts the AV1 encoder's worker
#     threads (bench/budget_bench.cpp, FORMAT=jpg by default: webp, avif,
#     jxl too);
#  3. lossless JPEG turns (--rotate 90 --no-sharpen) against jpegtran -trim;
#  4. JXL encoding at effort 7 on one thread against cjxl -e 7 on one thread,
#     both from the same PPM files.
# The machine is shared: commands alternate round by round and the medians of
# their processor time (user + system, from wait4) are reported.
#
#   bench/encoders.sh                 # build/, ../benchcorpus, ROUNDS=5, PHOTOS=8
#   PARTS=2 bench/encoders.sh         # only the size budget (any of 1234)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=${BIN:-"$ROOT/${BUILD_DIR:-build}/cli/tessaline-batch"}
BUDGET=${BUDGET:-"$ROOT/${BUILD_DIR:-build}/bench/tessaline-budget"}
FORMAT=${FORMAT:-jpg}
CORPUS=${CORPUS:-$(cd .. && pwd)/benchcorpus}
ROUNDS=${ROUNDS:-5}
PHOTOS=${PHOTOS:-8}
PARTS=${PARTS:-1234}
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
[[ $PARTS != *2* ]] || [ -x "$BUDGET" ] || { echo "build first: $BUDGET is missing" >&2; exit 1; }
for tool in jpegtran cjxl convert python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
shopt -s nullglob
files=("$CORPUS"/jpeg/photo-*.jpg)
if [ ${#files[@]} -lt 24 ]; then
  "$ROOT/../shared/bench/make-corpus" "$CORPUS"
  files=("$CORPUS"/jpeg/photo-*.jpg)
fi
files=("${files[@]:0:$PHOTOS}")
W=$(mktemp -d /tmp/tessaline-encoders.XXXXXX)
trap 'rm -rf "$W"' EXIT
printf '[Tessaline Options]\nThreads=1\n' >"$W/s.ini"
echo "load: $(uptime)"
python3 - "$BIN" "$W" "$ROUNDS" "$PARTS" "$BUDGET" "$FORMAT" "${files[@]}" <<'PY'
import os, re, statistics, subprocess, sys, shutil
bin_, work, rounds, parts, budget_bin, fmt = sys.argv[1:7]
rounds, files = int(rounds), sys.argv[7:]
settings = os.path.join(work, "s.ini")

def cpu(cmd, out=None):
    """Processor seconds of a command (and its children), from wait4."""
    if out:
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
    p = subprocess.Popen(cmd, shell=isinstance(cmd, str), stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    text = p.stdout.read().decode(errors="replace")
    _, status, usage = os.wait4(p.pid, 0)
    if status != 0:
        sys.exit("failed: %s\n%s" % (cmd, text))
    return usage.ru_utime + usage.ru_stime, text

def rounds_of(commands):
    """Medians of each named command's processor time, rounds alternating."""
    times = {name: [] for name in commands}
    for _ in range(rounds):
        for name, (cmd, out) in commands.items():
            times[name].append(cpu(cmd, out)[0])
    return {name: statistics.median(t) for name, t in times.items()}

def batch(out, *options, inputs=files):
    return [bin_, "--settings", settings, "--no-rename", "--out", out, *options, *inputs], out

def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, f)) for f in os.listdir(folder))

n = len(files)
print("== %d photos, %d rounds, medians of processor time" % (n, rounds))

# 1. Optimised Huffman tables.
if "1" in parts:
    t = rounds_of({
        "standard": batch(os.path.join(work, "std"), "--format", "jpg", "--quality", "90",
                          "--no-jpeg-optimize"),
        "optimised": batch(os.path.join(work, "opt"), "--format", "jpg", "--quality", "90"),
    })
    std, opt = folder_bytes(os.path.join(work, "std")), folder_bytes(os.path.join(work, "opt"))
    print("\n1. JPEG q90 full size      bytes      ms/photo")
    print("   standard tables   %12d %10.1f" % (std, 1000 * t["standard"] / n))
    print("   optimised tables  %12d %10.1f" % (opt, 1000 * t["optimised"] / n))
    print("   optimised: %.1f%% smaller, %.1f%% more processor time (targets: >= 4%%, <= 10%%)" %
          (100 * (1 - opt / std), 100 * (t["optimised"] / t["standard"] - 1)))

# 2. Size budget on photos resized to 1600 wide.
if "2" in parts:
    common = ["--resize-width", "1600", "--resample", "smooth"]
    print("\n2. --max-size 200K, %s, 1600 wide: the search against one encode at the quality it"
          " chose (target <= 3x)" % fmt)
    sys.stdout.flush()
    subprocess.run([budget_bin, "--rounds", str(rounds), "--format", fmt, "--quality", "90",
                    "--max-size", "200K", *common, *files], check=True)
    _, report = cpu(batch(os.path.join(work, "check"), "--format", fmt, "--quality", "90",
                          "--max-size", "200K", *common)[0])
    largest, failures = 0, 0
    for path, q in re.findall(r"save resized image to: (\S+) \(quality (\d+) to fit", report):
        largest = max(largest, os.path.getsize(path))
        if int(q) < 90:
            src = files[[os.path.splitext(os.path.basename(f))[0] for f in files].index(
                os.path.splitext(os.path.basename(path))[0])]
            up = os.path.join(work, "up")
            cpu(batch(up, "--format", fmt, "--quality", str(int(q) + 1), *common, inputs=[src])[0], up)
            size = folder_bytes(up)
            if size <= 200000:
                failures += 1
                print("   %s: quality %s fits, %d fits too (%d bytes)" % (path, q, int(q) + 1, size))
    print("   largest file %d bytes (limit 200000); quality + 1 fits for %d of %d" %
          (largest, failures, n))

# 3. Lossless turns.
if "3" in parts:
    jt = os.path.join(work, "jt")
    os.makedirs(jt, exist_ok=True)
    tran = " ; ".join("jpegtran -rotate 90 -trim %s > %s/%d.jpg" % (f, jt, i)
                      for i, f in enumerate(files))
    t = rounds_of({
        "ours": batch(os.path.join(work, "turn"), "--format", "jpg", "--rotate", "90",
                      "--no-sharpen"),
        "jpegtran": (tran, None),
    })
    print("\n3. turn 90 losslessly: ours %.1f ms/photo, jpegtran -trim %.1f ms/photo: %.2fx"
          " (target <= 1.2x)" % (1000 * t["ours"] / n, 1000 * t["jpegtran"] / n,
                                 t["ours"] / t["jpegtran"]))

# 4. JXL against cjxl at effort 7, one thread each, from the same PPMs.
if "4" in parts:
    ppm = os.path.join(work, "ppm")
    os.makedirs(ppm, exist_ok=True)
    few = files[:4]
    ppms = []
    for i, f in enumerate(few):
        ppms.append(os.path.join(ppm, "p%d.ppm" % i))
        subprocess.run(["convert", f, "-resize", "1600x", ppms[-1]], check=True)
    cj = os.path.join(work, "cjxl")
    os.makedirs(cj, exist_ok=True)
    cjxl = " ; ".join("cjxl -q 90 -e 7 --num_threads=0 %s %s/%d.jxl >/dev/null 2>&1" % (p, cj, i)
                      for i, p in enumerate(ppms))
    t = rounds_of({
        "ours": batch(os.path.join(work, "jxl"), "--format", "jxl", "--quality", "90",
                      inputs=ppms),
        "cjxl": (cjxl, None),
    })
    ours_bytes, cjxl_bytes = folder_bytes(os.path.join(work, "jxl")), folder_bytes(cj)
    print("\n4. JXL q90 effort 7, 1600 wide, one thread: ours %.0f ms/photo (%d bytes),"
          " cjxl %.0f ms/photo (%d bytes): %.2fx" %
          (1000 * t["ours"] / len(ppms), ours_bytes, 1000 * t["cjxl"] / len(ppms), cjxl_bytes,
           t["ours"] / t["cjxl"]))
PY
