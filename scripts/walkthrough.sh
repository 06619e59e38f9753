#!/bin/bash
# A first run of the desktop program under Xvfb with openbox, for looking at
# the window: screenshots before, during and after a run at 1280x800 and at
# 1920x1080 with QT_SCALE_FACTOR=1.5, and at 1280x800 with a dark palette.
# usage: scripts/walkthrough.sh [BUILD_DIR] [SHOT_DIR]
# Needs xvfb and openbox; photos come from ../benchcorpus and ../shared/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
SHOTS=${2:-/tmp/tessaline-walkthrough}
WORK=$(mktemp -d /tmp/tessaline-walk.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
CORPUS=${TESSALINE_CORPUS_DIR:-../shared/corpus}
BENCH=${TESSALINE_BENCH_CORPUS:-../benchcorpus}

PHOTOS=$WORK/photos
mkdir -p "$PHOTOS" "$SHOTS"
n=0
for f in "$BENCH"/jpeg/*.jpg; do
  [ -f "$f" ] || continue
  cp "$f" "$PHOTOS/"
  n=$((n + 1))
  [ $n -lt 6 ] || break
done
for f in png/pil123rgba.png jpeg/hopper_orientation_6.jpg; do
  [ -f "$CORPUS/$f" ] && cp "$CORPUS/$f" "$PHOTOS/"
done
printf 'not a picture' > "$PHOTOS/broken.jpg"

run() { # NAME WIDTH HEIGHT SCALE [dark]
  local name=$1 w=$2 h=$3 scale=$4 look=${5:-} display=:$((90 + RANDOM % 100))
  local out=$WORK/out-$name
  mkdir -p "$out"
  Xvfb "$display" -screen 0 "${w}x${h}x24" -nolisten tcp >/dev/null 2>&1 &
  local xvfb=$!
  sleep 1
  DISPLAY=$display openbox >/dev/null 2>&1 &
  local wm=$!
  sleep 1
  DISPLAY=$display QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale \
    "$BUILD/tests/gui_walkthrough" "$PHOTOS" "$out" "$SHOTS/$name" $look || echo "walkthrough $name failed"
  kill "$wm" "$xvfb" 2>/dev/null || true
  wait "$wm" "$xvfb" 2>/dev/null || true
}

run 1280x800 1280 800 1
run 1920x1080-150 1920 1080 1.5
run 1280x800-dark 1280 800 1 dark
ls -1 "$SHOTS"/*.png
