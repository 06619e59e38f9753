#!/bin/bash
# fuzz/run.sh [SECONDS] [CORPUS_DIR]: builds the fuzzer with clang and runs it,
# seeded with the shared corpus (each file prefixed with its type byte).
# Crashes land in fuzz/findings/; copy them to tests/data/fuzz/ as test cases.
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
type_of() {
  case "${1,,}" in
    *.bmp) echo 1;; *.gif) echo 2;; *.jpg|*.jpeg) echo 3;; *.png) echo 4;; *.ico) echo 5;;
    *.tif|*.tiff) echo 6;; *.tga) echo 7;; *.pcx) echo 8;; *.wbmp) echo 9;; *.wmf|*.emf) echo 10;;
    *.j2k|*.jp2) echo 11;; *.j2c|*.jpc) echo 12;; *.pgx) echo 13;; *.pnm|*.pgm|*.ppm) echo 14;;
    *.ras) echo 15;; *.webp) echo 16;; *.heic|*.heif|*.hif) echo 17;; *.avif) echo 18;; *) echo 0;;
  esac
}
SEEDS=$BUILD/seeds
WORK=$BUILD/work
mkdir -p "$SEEDS" "$WORK" fuzz/findings
if [ -d "$CORPUS" ]; then
  find "$CORPUS" -type f ! -name '*.tsv' ! -name '*.md' | while read -r f; do
    t=$(type_of "$f")
    out="$SEEDS/$(basename "$f")"
    { printf "\\x$(printf %02x "$t")"; cat "$f"; } > "$out"
  done
fi
[ -d tests/data/fuzz ] && cp tests/data/fuzz/* "$SEEDS"/ 2>/dev/null || true
# Sizes up to the image memory limit are legitimate; the malloc limit is set above it.
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
  "$BUILD/fuzz/fuzz_decode" "$WORK" "$SEEDS" -max_total_time="$SECONDS_TO_RUN" \
  -rss_limit_mb=12000 -malloc_limit_mb=12000 -timeout=20 -max_len=1048576 \
  -artifact_prefix=fuzz/findings/ -print_final_stats=1
