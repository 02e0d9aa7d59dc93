#!/usr/bin/env bash
# Draws the program icon (a key-fob token with its code display) at every size
# the station uses. Needs ImageMagick. Run from this folder.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 256x256 xc:none \
  -fill '#1d3557' -draw 'roundrectangle 40,8 216,248 36,36' \
  -fill '#a8dadc' -draw 'roundrectangle 64,40 192,120 10,10' \
  -fill '#1d3557' -draw 'rectangle 80,72 96,88' -draw 'rectangle 104,72 120,88' \
  -draw 'rectangle 136,72 152,88' -draw 'rectangle 160,72 176,88' \
  -fill '#e63946' -draw 'circle 128,184 128,152' \
  -fill '#f1faee' -draw 'circle 128,184 128,170' \
  orvex-256.png
for s in 16 24 32 48; do
  convert orvex-256.png -filter Lanczos -resize ${s}x${s} orvex-${s}.png
done
