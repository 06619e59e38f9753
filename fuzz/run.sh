#!/bin/bash
# fuzz/run.sh [SECONDS] [CORPUS_DIR]: builds the fuzzer with clang and runs it,
# seeded with the shared corpus and the system's colour profiles. Exit status
# 0 when nothing was found; otherwise 1, with the inputs in fuzz/findings/
# (copy them to tests/data/fuzz/ as test cases).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-600}
CORPUS=${2:-../shared/corpus}
BUILD=build-fuzz
if [ ! -f "$BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSALINE_FUZZ=ON -DTESSALINE_BUILD_TESTS=OFF -DTESSALINE_BUILD_GUI=OFF >/dev/null
fi
cmake --build "$BUILD" --target fuzz_decode
SEEDS=$BUILD/seeds
WORK=$BUILD/work
mkdir -p "$SEEDS" "$WORK" fuzz/findings
# First byte 0: the codecs whose sniff accepts the file, so no list of
# extensions here goes stale; the fuzzer reaches each codec directly from
# there. 0xFF: the rest is a colour profile.
seed() {
  local n=0
  while IFS= read -r -d '' f; do
    n=$((n + 1))
    { printf "\\x$1"; cat "$f"; } > "$SEEDS/$1-$n-$(basename "$f")"
  done
}
[ -d "$CORPUS" ] && find "$CORPUS" -type f ! -name '*.tsv' ! -name '*.md' ! -iname '*.ic[cm]' -print0 | seed 00 || true
find "$CORPUS" /usr/share/color/icc -type f \( -iname '*.icc' -o -iname '*.icm' \) -print0 2>/dev/null | seed ff || true
[ -d tests/data/fuzz ] && cp tests/data/fuzz/* "$SEEDS"/ 2>/dev/null || true
before=$(find fuzz/findings -type f | wc -l)
# Sizes up to the image memory limit are legitimate; the malloc limit is set
# above it. Leaks the libraries keep for the life of the process are known.
status=0
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  "$BUILD/fuzz/fuzz_decode" "$WORK" "$SEEDS" -max_total_time="$SECONDS_TO_RUN" \
  -rss_limit_mb=12000 -malloc_limit_mb=12000 -timeout=20 -max_len=1048576 \
  -artifact_prefix=fuzz/findings/ -print_final_stats=1 || status=$?
after=$(find fuzz/findings -type f | wc -l)
if [ "$status" -eq 0 ] && [ "$after" -eq "$before" ]; then
  echo "fuzz: nothing found in $SECONDS_TO_RUN seconds"
  exit 0
fi
echo "fuzz: the fuzzer stopped with status $status; new inputs in fuzz/findings/:" >&2
find fuzz/findings -type f -newer "$BUILD/fuzz/fuzz_decode" >&2
exit 1
