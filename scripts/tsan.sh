#!/bin/bash
# Builds the batch engine, tessaline-batch and their tests with the thread
# sanitizer into build-tsan/ (or $BUILD_DIR) and runs those tests; any race
# report fails them. Extra ctest arguments are passed on.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-tsan}
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSALINE_TSAN=ON -DTESSALINE_BUILD_GUI=OFF ${CMAKE_ARGS:-}
fi
TESTS=(test_batchrun test_naming test_cli_batch)
cmake --build "$BUILD_DIR" -j"${JOBS:-$(nproc)}" --target tessaline-batch "${TESTS[@]}"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"${JOBS:-$(nproc)}" \
  -R '^(BatchRun|OutputNaming|CliBatch|RowTransforms)\.' "$@"
