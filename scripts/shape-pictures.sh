#!/bin/bash
# The README's small pictures of the output shapes, made by tessaline-batch
# itself from one drawn scene: a plain sky and field with one detailed,
# saturated subject right of the centre, so the anchors and attention show.
# usage: scripts/shape-pictures.sh [BUILD_DIR]   (writes docs/shapes/*.png)
set -euo pipefail
cd "$(dirname "$0")/.."
BIN="${1:-build}/cli/tessaline-batch"
[ -x "$BIN" ] || { echo "build first: $BIN is missing" >&2; exit 1; }
OUT=docs/shapes
W=$(mktemp -d /tmp/tessaline-shapes-doc.XXXXXX)
trap 'rm -rf "$W"' EXIT

# 1200 x 800: sky over a field, and a 260-pixel flower of noise and strong
# colours centred at (860, 430).
convert -size 1200x520 gradient:'#9cc4e4-#dbe8f0' \( -size 1200x280 gradient:'#8fa86a-#6f8a4c' \) -append \
  \( -size 260x260 -seed 7 plasma:red-yellow -blur 0x1 \
     \( -size 260x260 xc:black -fill white -draw 'circle 130,130 130,4' \) -alpha off -compose copy_opacity -composite \) \
  -geometry +730+300 -compose over -composite -alpha off -depth 8 "$W/scene.png"
convert -size 400x160 xc:none -fill '#2050c0' -draw 'roundrectangle 0,0 399,159 40,40' \
  -fill white -font DejaVu-Sans-Bold -pointsize 90 -gravity center -annotate +0+0 'LOGO' "$W/logo.png"

rm -rf "$OUT" && mkdir -p "$OUT"
# NAME then the options; every picture at most 160 x 160 (the input 240 wide).
# PNG but for Pad on a colour: a PNG holds alpha, so its Pad is see-through.
shapes=(
  "input|--resize-fit 240x160"
  "fit|--resize-fit 160x160"
  "cover|--resize-cover 160x160"
  "cover-west|--resize-cover 160x160 --anchor west"
  "cover-attention|--resize-cover 160x160 --anchor attention"
  "cover-entropy|--resize-cover 160x160 --anchor entropy"
  "pad|--resize-pad 160x160 --background 303030 --format jpg --quality 85"
  "pad-transparent|--resize-pad 160x160"
  "crop|--crop 700,270,320,320 --resize-fit 160x160"
  "crop-aspect|--crop-aspect 1:1 --anchor east --resize-fit 160x160"
  "border|--resize-fit 144x144 --border 8,303030"
  "watermark|--resize-fit 160x160 --watermark $W/logo.png --watermark-scale 40 --watermark-opacity 70 --watermark-margin 6"
  "watermark-tile|--resize-fit 160x160 --watermark $W/logo.png --watermark-scale 25 --watermark-opacity 40 --watermark-tile"
)
printf '[Tessaline Options]\nThreads=1\n' >"$W/settings.ini"
for entry in "${shapes[@]}"; do
  name=${entry%%|*}
  # shellcheck disable=SC2086
  "$BIN" --settings "$W/settings.ini" --format png --palette adaptive --resample smooth \
    --out "$OUT" --name "$name" ${entry#*|} "$W/scene.png" >/dev/null
done
ls -l "$OUT"
