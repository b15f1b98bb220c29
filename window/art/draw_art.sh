#!/bin/bash
# Draws the window's artwork from Debian packages alone:
#   imagemagick, fonts-urw-base35 (Z003 script face), fonts-dejavu-core.
#
#   window/art/draw_art.sh [OUTPUT_DIR]     (default: the script's own folder)
#
# Writes:
#   background.bmp  386 x 354, 24-bit, uncompressed, bottom-up (410694 bytes);
#                   the Windows build's bitmap resource
#   background.png  the same pixels as 8-bit RGB without metadata chunks,
#                   compiled into the Linux build (FLTK decodes it)
#   icon.ico        32 x 32 in 256 colours (Windows resource)
#   icon.png        the same picture, read by the Linux build (compiled in)
#   preview.png     only with PREVIEW=1: the background with sample texts, to look at
#
# Layout (pixels): ground RGB(0,90,125) with a 3-pixel bevel; title band y 0-45;
# minimise button x 355-366 and close button x 370-381 at y 4-15; news panel
# x 7-377, y 49-254, inside RGB(0,103,144); cell pattern behind the panel and
# bars; upper bar y 263-283 with the percentage's slot at x 325-380 from y
# 256, lower bar y 295-314; bottom row with the credit text at the left and
# the plates of Continue (x 201-303) and Exit (x 313-375) at y 321-345.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"

script_font=/usr/share/fonts/opentype/urw-base35/Z003-MediumItalic.otf
sans_font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
for f in "$script_font" "$sans_font"; do
    [[ -r $f ]] || { echo "draw_art.sh: missing font $f (apt-get install fonts-urw-base35 fonts-dejavu-core)" >&2; exit 1; }
done
command -v convert >/dev/null || { echo "draw_art.sh: needs ImageMagick (apt-get install imagemagick)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

W=386
H=354
ground='rgb(0,90,125)'
panel='rgb(0,103,144)'
light='rgb(232,243,248)'

# Cell pattern: a honeycomb whose corners are nudged by a fixed pseudo-random
# amount (the same corner always moves the same way, so neighbouring cells
# share their edges). It covers x 3-382, y 44-318 of the picture.
CW=380
CH=274
awk -v W=$CW -v H=$CH 'function jit(a, b, s,   v) {
        v = sin(a * 12.9898 + b * 78.233 + s) * 43758.5453
        return (v - int(v)) * 5 - 2.5
    }
    BEGIN {
        r = 11; dx = r * 1.5; dy = r * sqrt(3)
        for (col = -1; col * dx < W + r; col++) {
            for (row = -1; row * dy < H + dy; row++) {
                cx = col * dx; cy = row * dy + (col % 2 ? dy / 2 : 0)
                line = "polygon"
                for (k = 0; k < 6; k++) {
                    px = cx + r * cos(k * 3.14159265 / 3)
                    py = cy + r * sin(k * 3.14159265 / 3)
                    kx = int(px * 2 + 0.5); ky = int(py * 2 + 0.5)
                    line = line sprintf(" %.1f,%.1f", px + jit(kx, ky, 1), py + jit(kx, ky, 7))
                }
                print line
            }
        }
    }' >"$work/cells.mvg"

convert -size ${CW}x${CH} radial-gradient:'rgb(40,148,190)'-'rgb(4,84,118)' \
    \( -size ${CW}x${CH} xc:none -fill none -stroke 'rgba(0,38,60,0.85)' -strokewidth 1.6 \
       -draw "$(cat "$work/cells.mvg")" \) -composite \
    \( -size ${CW}x${CH} xc:none -fill none -stroke 'rgba(120,200,230,0.18)' -strokewidth 1 \
       -draw "translate 1,1 $(cat "$work/cells.mvg")" \) -composite \
    "$work/cells.png"

# Fade the pattern into the ground at its top and bottom edges.
convert -size ${CW}x${CH} gradient:white-white \
    \( -size ${CW}x14 gradient:black-white \) -geometry +0+0 -composite \
    \( -size ${CW}x12 gradient:white-black \) -geometry +0+$((CH - 12)) -composite \
    "$work/fade.png"
convert "$work/cells.png" "$work/fade.png" -alpha off -compose CopyOpacity -composite "$work/cells_faded.png"

# The product name: script lettering with a soft dark shadow and a faint glow.
convert -background none -font "$script_font" -pointsize 40 -fill "$light" label:'Velloran' \
    -trim +repage "$work/title.png"
convert "$work/title.png" \( +clone -background 'rgb(0,20,35)' -shadow 80x2+2+2 \) \
    +swap -background none -layers merge +repage "$work/title_shadow.png"
tw=$(identify -format %w "$work/title_shadow.png")
th=$(identify -format %h "$work/title_shadow.png")
tx=$(( (W - tw) / 2 + 1 ))
ty=$(( (46 - th) / 2 + 1 ))

# Raised plates: a rounded face lit from above (gradient body, light top
# edge, shaded bottom edge, dark outline). Used for the bottom row's buttons
# and the title buttons, which have no hover state: the plate alone says
# "button".
plate() {  # plate WIDTH HEIGHT RADIUS OUTPUT
    local w=$1 h=$2 r=$3
    convert -size "${w}x${h}" gradient:'rgb(52,152,192)'-'rgb(0,70,104)' \
        \( -size "${w}x${h}" xc:black -fill white -draw "roundrectangle 0,0 $((w - 1)),$((h - 1)) $r,$r" \) \
        -alpha off -compose CopyOpacity -composite -compose Over \
        -fill none -strokewidth 1 \
        -stroke 'rgba(185,232,250,0.85)' -draw "line $r,1 $((w - 1 - r)),1" \
        -stroke 'rgba(0,34,52,0.75)' -draw "line $r,$((h - 2)) $((w - 1 - r)),$((h - 2))" \
        -stroke 'rgb(0,30,46)' -draw "roundrectangle 0,0 $((w - 1)),$((h - 1)) $r,$r" \
        "$4"
}
# The bottom row's plates lie inside the click areas Continue (200,320
# 105x27) and Exit (312,320 65x27), one pixel in from their edges.
plate 103 25 5 "$work/continue_plate.png"
plate 63 25 5 "$work/exit_plate.png"
# The title buttons: 12 x 12 inside the click areas of minimise (352,0
# 17x19) and close (368,0 17x19), three pixels apart and clear of the frame.
plate 12 12 2 "$work/title_plate.png"

# The bottom row's words: script lettering with a dark shadow, centred on
# their plates.
convert -background none -font "$script_font" -pointsize 22 -fill "$light" label:'Continue' -trim +repage "$work/continue.png"
convert -background none -font "$script_font" -pointsize 22 -fill "$light" label:'Exit' -trim +repage "$work/exit.png"
for b in continue exit; do
    convert "$work/$b.png" \( +clone -background 'rgb(0,20,35)' -shadow 80x1+1+1 \) \
        +swap -background none -layers merge +repage "$work/${b}_s.png"
done
cw=$(identify -format %w "$work/continue_s.png"); chh=$(identify -format %h "$work/continue_s.png")
ew=$(identify -format %w "$work/exit_s.png");     ehh=$(identify -format %h "$work/exit_s.png")
cx=$(( 201 + (103 - cw) / 2 )); cy=$(( 321 + (25 - chh) / 2 ))
ex=$(( 313 + (63 - ew) / 2 ));  ey=$(( 321 + (25 - ehh) / 2 ))

# Two lines of credit text at the left of the bottom row, light on the
# ground with a dark edge below, large enough to read (10 pixels to the em).
convert -background none -font "$sans_font" -pointsize 10 -interline-spacing 1 -fill 'rgb(214,236,246)' \
    label:'Velloran Update 1.0\nKeeps your game folder current' "$work/credit_text.png"
convert "$work/credit_text.png" \( +clone -background 'rgb(0,24,40)' -shadow 70x0+1+1 \) \
    +swap -background none -layers merge +repage "$work/credit.png"
credit_h=$(identify -format %h "$work/credit.png")
credit_y=$(( 320 + (27 - credit_h) / 2 ))

# The status bars: sunken channels across the window (upper y 263-283,
# lower y 295-314), each a gradient face with a light top edge and a shaded
# bottom edge inside a dark outline. The status texts sit inside them
# (their first ink 3 rows below the face's top edge).
bar() {  # bar HEIGHT OUTPUT
    convert -size "380x$1" gradient:'rgb(18,130,170)'-'rgb(0,70,102)' \
        -fill 'rgb(70,160,196)' -draw "rectangle 0,0 379,0" \
        -fill 'rgb(0,52,78)' -draw "rectangle 0,$(($1 - 1)) 379,$(($1 - 1))" "$2"
}
bar 19 "$work/bar_upper.png"
bar 18 "$work/bar_lower.png"
# The percentage's slot at the upper bar's right end (x 326-379, y 256-283):
# a recessed box, shaded at its top and left, lit at its bottom and right,
# that rises above the bar around the percentage label (328,256 49x17).
convert -size 52x26 gradient:'rgb(0,44,68)'-'rgb(0,66,96)' \
    -fill 'rgb(0,26,40)' -draw 'rectangle 0,0 51,0' -draw 'rectangle 0,0 0,25' \
    -fill 'rgb(62,148,184)' -draw 'rectangle 0,25 51,25' -draw 'rectangle 51,0 51,25' \
    "$work/slot.png"

convert -size ${W}x${H} xc:"$ground" \
    \( -size 380x44 gradient:'rgb(12,108,146)'-'rgb(0,90,125)' \) -geometry +3+3 -composite \
    "$work/cells_faded.png" -geometry +3+44 -composite \
    \
    -fill 'rgb(0,45,68)' -stroke none -draw 'rectangle 6,48 378,255' \
    -fill 'rgb(70,150,185)' -draw 'rectangle 7,254 378,255' -draw 'rectangle 377,49 378,255' \
    -fill 'rgb(0,30,48)' -draw 'rectangle 6,48 377,49' -draw 'rectangle 6,48 7,254' \
    -fill "$panel" -draw 'rectangle 8,50 376,253' \
    \
    -fill 'rgb(0,32,50)' -draw 'rectangle 3,263 382,283' -draw 'rectangle 3,295 382,314' \
    "$work/bar_upper.png" -geometry +3+264 -composite \
    "$work/bar_lower.png" -geometry +3+296 -composite \
    -fill 'rgb(0,32,50)' -draw 'rectangle 325,256 380,283' \
    "$work/slot.png" -geometry +326+257 -composite \
    \
    "$work/title_shadow.png" -geometry +${tx}+${ty} -composite \
    \
    "$work/title_plate.png" -geometry +355+4 -composite \
    "$work/title_plate.png" -geometry +370+4 -composite \
    -fill "$light" -draw 'rectangle 358,11 363,12' \
    -stroke "$light" -strokewidth 1.5 -draw 'line 373,7 378,12' -draw 'line 378,7 373,12' -stroke none \
    \
    "$work/continue_plate.png" -geometry +201+321 -composite \
    "$work/exit_plate.png" -geometry +313+321 -composite \
    "$work/continue_s.png" -geometry +${cx}+${cy} -composite \
    "$work/exit_s.png" -geometry +${ex}+${ey} -composite \
    "$work/credit.png" -geometry +10+${credit_y} -composite \
    \
    -fill none -strokewidth 1 \
    -stroke 'rgb(196,214,204)' -draw "rectangle 0,0 $((W - 1)),$((H - 1))" \
    -stroke 'rgb(140,165,160)' -draw "rectangle 1,1 $((W - 2)),$((H - 2))" \
    -stroke 'rgb(62,92,110)'   -draw "rectangle 2,2 $((W - 3)),$((H - 3))" \
    -alpha off -type TrueColor "$work/background.png"

convert "$work/background.png" -alpha off -type TrueColor BMP3:"$out/background.bmp"
size=$(stat -c %s "$out/background.bmp")
[[ $size == 410694 ]] || { echo "draw_art.sh: background.bmp is $size bytes, expected 410694" >&2; exit 1; }
# Made from the BMP, not from the drawing: ImageMagick rounds a deep
# picture to 8 bits differently for the two formats, and both builds must
# show the same pixels. No date or other metadata chunk: the same picture
# gives the same bytes.
convert "$out/background.bmp" -strip -alpha off -type TrueColor -define png:exclude-chunks=date,time \
    PNG24:"$out/background.png"
differ=$(compare -metric AE "$out/background.bmp" "$out/background.png" null: 2>&1) || true
[[ $differ == 0 ]] || { echo "draw_art.sh: background.png differs from background.bmp in $differ pixels" >&2; exit 1; }

# The icon: a rounded blue tile with the script initial and a down arrow.
convert -size 32x32 xc:none \
    \( -size 30x30 radial-gradient:'rgb(60,170,210)'-'rgb(0,70,105)' \) -geometry +1+1 -composite \
    \( -size 32x32 xc:black -fill white -draw 'roundrectangle 1,1 30,30 6,6' \) \
    -alpha off -compose CopyOpacity -composite -compose Over \
    -fill none -stroke 'rgb(196,214,204)' -strokewidth 1 -draw 'roundrectangle 1,1 30,30 6,6' -stroke none \
    \( -background none -font "$script_font" -pointsize 30 -fill "$light" label:'V' -trim +repage \) \
    -geometry +5+3 -composite \
    -fill 'rgb(120,220,120)' -stroke 'rgb(0,60,30)' -strokewidth 1 \
    -draw 'polygon 22,15 27,15 27,21 30,21 24.5,28 19,21 22,21' \
    "$work/icon32.png"
convert "$work/icon32.png" -background none -colors 255 -define png:exclude-chunks=date,time PNG8:"$out/icon.png"
convert "$work/icon32.png" -background none -colors 255 -type Palette "$out/icon.ico"

# Preview for reviewers: the background with sample texts.
if [[ ${PREVIEW:-0} == 1 ]]; then
convert "$work/background.png" \
    -font "$sans_font" -pointsize 9.75 -fill white \
    -annotate +12+66 'News of the update site shows here.' \
    -gravity North -annotate +0+264 'Updated from Version 1.1!' -gravity NorthWest \
    -annotate +341+264 '100%' \
    "$out/preview.png"
fi
echo "draw_art.sh: wrote background.bmp, background.png, icon.ico and icon.png in $out"
