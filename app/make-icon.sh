#!/usr/bin/env bash
# Draws the application icon, a 32 x 32 ticket with a tick, into tessaro.png beside this
# script. The PNG is kept in the repository; run this again only to change the picture.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
perforation=()
for y in 9 13 17 21; do perforation+=(-draw "line 11,$y 11,$((y + 1))"); done
convert -size 32x32 xc:none \
  -fill '#d9482b' -stroke '#7a2412' -strokewidth 1 -draw "roundrectangle 1.5,6.5 30.5,25.5 4,4" \
  \( -size 32x32 xc:none -fill black -draw "circle 1,16 4.5,16" -draw "circle 31,16 27.5,16" \) \
  -compose DstOut -composite -compose Over \
  -stroke '#ffd2c2' -strokewidth 1 "${perforation[@]}" \
  -stroke white -strokewidth 3 -draw "line 15,16 19,20" -draw "line 19,20 26,12" \
  -define png:exclude-chunks=date,time -strip "$here/tessaro.png"
