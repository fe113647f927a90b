#!/usr/bin/env bash
# Draws the program icon (a database drum with a check mark) with ImageMagick:
#   program.ico  32x32 in 2 colours, 32x32 in 16 colours, 16x16 in 16 colours,
#                the three images Windows picks from;
#   program-16.png, -32.png, -48.png  the same artwork for Linux desktops
#                and the window (the package installs them under its own name);
#   program-64.png, -128.png, -256.png  rendered with librsvg from program.svg,
#                which draws the same shapes on the same grid: keep the two in
#                step when the artwork changes.
# The outputs are committed; run this again only when the artwork changes.
# Usage: make_icon.sh [output-dir]   (default: this script's folder)
set -euo pipefail
for tool in convert rsvg-convert; do
    command -v "$tool" >/dev/null || { echo "make_icon.sh: $tool is missing (imagemagick, librsvg2-bin)" >&2; exit 1; }
done
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The artwork on a 32-unit grid, scaled to the wanted size. The small images
# are drawn without antialiasing so that they keep to a handful of exact
# colours from the old 16-colour palette; the 48-pixel one may blend.
draw_colour() {
    local size=$1 antialias=$2 file=$3 scale
    scale=$(awk "BEGIN { print $size / 32 }")
    convert -size "${size}x${size}" xc:none "$antialias" -draw "scale $scale,$scale
        stroke black stroke-width 1
        fill '#000080' ellipse 11.5,25 8.5,3.5 0,180
        stroke none rectangle 3,7 20,25
        stroke black line 3,7 3,25 line 20,7 20,25
        fill none stroke '#00FFFF' ellipse 11.5,13 8,3 10,170 ellipse 11.5,19 8,3 10,170
        fill '#00FFFF' stroke black ellipse 11.5,7 8.5,3.5 0,360
        fill none stroke black stroke-width 6 stroke-linecap round stroke-linejoin round
        polyline 15,20 20,26 29,12
        stroke '#00FF00' stroke-width 3 polyline 15,20 20,26 29,12" "$file"
}

# Black and white: the drum in outline, the check mark with a white halo.
draw_mono() {
    convert -size 32x32 xc:none +antialias -draw "
        stroke black stroke-width 1
        fill white ellipse 11.5,25 8.5,3.5 0,180
        stroke none rectangle 3,7 20,25
        stroke black line 3,7 3,25 line 20,7 20,25
        fill none ellipse 11.5,13 8,3 10,170 ellipse 11.5,19 8,3 10,170
        fill white ellipse 11.5,7 8.5,3.5 0,360
        fill none stroke white stroke-width 7 stroke-linecap round stroke-linejoin round
        polyline 15,20 20,26 29,12
        stroke black stroke-width 3 polyline 15,20 20,26 29,12" "$1"
}

draw_colour 32 +antialias "$work/c32.png"
draw_colour 16 +antialias "$work/c16.png"
draw_colour 48 -antialias "$work/c48.png"
draw_mono "$work/m32.png"

# ImageMagick writes a 1-bit icon image only from a two-entry palette, and a
# transparent colour would be a third entry. So the 2-colour image is written
# opaque, with its see-through pixels black (black under a set mask bit shows
# the background), and its transparency mask is put in afterwards.
convert -size 1x2 xc:black -fill white -draw "point 0,1" "$work/bw.png"
convert "$work/m32.png" -background black -alpha remove +dither -remap "$work/bw.png" \
    -type Palette "$work/m32-opaque.png"
convert "$work/m32-opaque.png" "$work/c32.png" -type PaletteAlpha "$work/c16.png" \
    -type PaletteAlpha "$work/program.ico"

# The mask: one bit a pixel, 1 = transparent, rows bottom up, each row 4 bytes,
# after the header (40), the palette (2 x 4) and the pixels (32 rows x 4).
convert "$work/m32.png" -alpha extract -negate -flip -depth 1 gray:"$work/mask.bin"
offset=$(od -An -t u4 -j 18 -N 4 "$work/program.ico" | tr -d ' ')
dd if="$work/mask.bin" of="$work/program.ico" bs=1 seek=$((offset + 40 + 8 + 128)) \
    conv=notrunc status=none

# Fail loudly if the writer ever changes what it produces.
identify -format '%w %h %z %k\n' "$work/program.ico" >"$work/found.txt"
depths=$(od -An -t u2 -j 12 -N 2 "$work/program.ico" | tr -d ' ')/$(
    od -An -t u2 -j 28 -N 2 "$work/program.ico" | tr -d ' ')/$(
    od -An -t u2 -j 44 -N 2 "$work/program.ico" | tr -d ' ')
if [[ $depths != 1/4/4 ]]; then
    echo "make_icon.sh: expected bit depths 1/4/4, got $depths" >&2
    exit 1
fi

cp "$work/program.ico" "$out/program.ico"
convert "$work/c16.png" -strip "$out/program-16.png"
convert "$work/c32.png" -strip "$out/program-32.png"
convert "$work/c48.png" -depth 8 -strip "$out/program-48.png"
for size in 64 128 256; do
    rsvg-convert --width "$size" --height "$size" "$here/program.svg" -o "$out/program-$size.png"
done
cat "$work/found.txt"
