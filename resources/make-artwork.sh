#!/bin/sh
# Makes the launcher's own artwork with ImageMagick: the 800x600 background picture
# (resource 101) and the multi-size window icon (resource 1). Deterministic: the noise is
# seeded, so running it again gives the same pictures.
#   resources/make-artwork.sh [output-folder]   (default: the folder of this script)
set -eu

out=${1:-$(dirname "$0")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Background: warm near-black, brightest a little above the middle, falling off to the edges.
convert -size 1000x1000 radial-gradient:'#2b2018'-'#060504' \
  -gravity center -crop 800x600+0-60 +repage "$work/base.png"

# Faint grain, stretched sideways so it reads as old stone or leather rather than noise.
convert -size 800x600 xc:gray50 -seed 7 +noise Gaussian -colorspace gray \
  -motion-blur 0x12+0 -blur 0x0.6 -level 35%,65% "$work/grain.png"

# A few soft dark bands across the top and bottom thirds; the panel keeps clear of them.
convert -size 800x600 xc:black -fill white \
  -draw 'rectangle 0,70 800,78' -draw 'rectangle 0,150 800,154' \
  -draw 'rectangle 0,590 800,596' -draw 'rectangle 0,575 800,578' \
  -blur 0x6 -negate -level 0%,100%,1.0 "$work/bands.png"

# The panel (232..568 x 262..560) is calmed: a blurred dark plate under it keeps text readable.
convert -size 800x600 xc:white -fill gray72 -draw 'roundrectangle 222,252 578,570 18,18' \
  -blur 0x14 "$work/plate.png"

# Vignette: darker corners.
convert -size 800x600 radial-gradient:white-gray35 "$work/vignette.png"

convert "$work/base.png" \
  "$work/grain.png" -compose softlight -define compose:args=18 -composite \
  "$work/bands.png" -compose multiply -composite \
  "$work/vignette.png" -compose multiply -composite \
  "$work/plate.png" -compose multiply -composite \
  -colorspace sRGB -type TrueColor -strip -sampling-factor 4:4:4 -quality 90 \
  "$out/background.jpg"

# Icon: a dark shield with a gold rim and a gold chevron, drawn once large and scaled down.
convert -size 256x256 xc:none \
  -fill '#1a130d' -stroke '#b08a48' -strokewidth 14 \
  -draw 'path "M 128,18 L 226,52 L 218,140 Q 200,210 128,240 Q 56,210 38,140 L 30,52 Z"' \
  -fill '#c9a86a' -stroke none \
  -draw 'polygon 70,74 108,74 128,150 148,74 186,74 140,196 116,196' \
  "$work/icon-256.png"
convert "$work/icon-256.png" -depth 8 -define icon:auto-resize=256,48,32,16 "$out/launcher.ico"
