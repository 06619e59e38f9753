#!/bin/bash
# Sets up, builds and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
if [ -x "$BUILD_DIR/app/tessaline" ]; then
  exec "$BUILD_DIR/app/tessaline" "$@"
fi
exec "$BUILD_DIR/cli/tessaline-batch" --help
