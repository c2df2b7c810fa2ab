#!/bin/bash
# One real file for each of the 41 rows of the format table (both formats of
# "ras" and of "pic"), made by the independent tools where one writes the
# format and byte by byte where none does, converted by one silent batch to
# bitmaps: every input must be read and every output written, at its size.
# Then the same files under another format's extension, and junk that no
# reader takes, named as pictures.
set -euo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in" "$work/out"
cd "$work/in"

convert -seed 7 -size 24x16 plasma:fractal -depth 8 src.ppm
convert src.ppm -alpha set -channel A -fx 'i/w' +channel src.png
ppmtopgm src.ppm > src.pgm
pamthreshold < src.pgm | pamtopnm > src.pbm
pnmquant 16 src.ppm > q16.ppm 2>/dev/null

# Bitmaps: plain, device-independent, run-length.
convert src.ppm BMP3:a_bmp.bmp
convert src.ppm BMP3:a_dib.dib
convert src.ppm -colors 60 -compress RLE BMP3:a_rle.rle
# CALS (three extensions) and Sun raster, which shares "ras".
convert src.pbm CALS:a_cal.cal
convert src.pbm CALS:a_cals.cals
convert src.pbm CALS:a_calsras.ras
convert src.ppm SUN:a_sun.ras
convert src.png -define dds:compression=dxt5 a_dds.dds
convert src.ppm FITS:a_fits.fits
convert src.ppm FITS:a_fit.fit
convert src.ppm a_gif.gif
# Radiance under its three extensions.
convert src.ppm HDR:a_hdr.hdr
convert src.ppm HDR:a_hdrpic.pic
convert src.ppm HDR:a_img.img
convert src.png -define icon:auto-resize=16 ICO:a_ico.ico
convert src.ppm -resize 16x16! cur.png
icotool -c --cursor -o a_cur.cur cur.png
ppmtoilbm q16.ppm > a_iff.iff 2>/dev/null
ppmtoilbm q16.ppm > a_bbm.bbm 2>/dev/null
ppmtoilbm -24force src.ppm > a_lbm.lbm 2>/dev/null
for e in jpg jif jfif jpe jpeg; do cjpeg -quality 90 src.ppm > a_$e.$e; done
pbmtomacp src.pbm > a_mac.mac
convert -size 320x200 xc:gray50 -fill blue -draw 'circle 160,100 160,20' -colors 8 neo.ppm
ppmtoneo neo.ppm > a_neo.neo 2>/dev/null
convert src.ppm a_pcx.pcx
cp src.png a_png.png
cp src.ppm a_pnm.pnm
cp src.pbm a_pbm.pbm
cp src.pgm a_pgm.pgm
cp src.ppm a_ppm.ppm
pamtopfm src.ppm > a_pfm.pfm
convert src.png a_psd.psd
convert src.png a_tga.tga
convert src.ppm a_tif.tif
convert src.ppm -compress LZW a_tiff.tiff
cwebp -quiet -q 80 src.png -o a_webp.webp
convert src.ppm -depth 8 rgb:raw.rgb
echo 'RawImage { width 24; height 16; file raw.rgb; R { start 0; delta 3; } G { start 1; delta 3; } B { start 2; delta 3; } }' > a_raw.raw
# No tool here writes PC Paint or Pixar files: built from their layouts.
python3 - <<'EOF'
import struct
w, h = 24, 16
pixels = bytes((x * 10 + y) & 255 for y in range(h) for x in range(w))
palette = bytes(v for i in range(256) for v in ((i >> 2) & 63, 63 - ((i >> 2) & 63), 32))
head = struct.pack('<HHHHHBB3sH', 0x1234, w, h, 0, 0, 8, 0, b'\0\0\0', len(palette))
block = struct.pack('<HHB', len(pixels) + 5, len(pixels), 0xFE) + pixels
open('a_pcpaint.pic', 'wb').write(head + palette + struct.pack('<H', 1) + block)
rgb = bytes(v for y in range(h) for x in range(w) for v in (x * 10, y * 15, 128))
pxr = bytearray(520)
struct.pack_into('<HH', pxr, 416, h, w)
struct.pack_into('<H', pxr, 512, 520)
struct.pack_into('<I', pxr, 516, len(rgb))
open('a_pxr.pxr', 'wb').write(bytes(pxr) + rgb)
EOF

inputs=(a_*)
test "${#inputs[@]}" = 41
cat > "$work/job.qpt" <<EOF
[Quillon]
szOutDir=$work/out/
iOutFormats=1
iFormatId0=1
szSubFormat0=Normal
iColorFormat0=-1
bSaveInSrcDirs=0
bNoOverwritePrompt=1
bDeleteSrcFiles=0
eResize=0
bIndex=0
EOF
# Converts the files named into $work/out, which must end up holding one
# bitmap of the right size for each.
convert_all() {
  rm -rf "$work/out"; mkdir "$work/out"
  local status=0
  timeout 300 "$quillon" -silent "$work/job.qpt" "$@" 2>"$work/err.txt" || status=$?
  if [ "$status" != 0 ]; then
    echo "the batch failed ($status):"; cat "$work/err.txt"; exit 1
  fi
  local missing=0 f name out want got
  for f in "$@"; do
    name=${f##*/}
    out="$work/out/${name%.*}.bmp"
    if [ ! -s "$out" ]; then echo "no output for $f"; missing=1; continue; fi
    case ${name%.*} in
      a_mac) want="576 720" ;;
      a_neo) want="320 200" ;;
      a_ico|a_cur) want="16 16" ;;
      *) want="24 16" ;;
    esac
    got=$(identify -format '%w %h' "$out")
    if [ "$got" != "$want" ]; then echo "$f became $got, not $want"; missing=1; fi
  done
  test "$missing" = 0
}
convert_all "${inputs[@]/#/$work/in/}"
echo "every extension: ok (${#inputs[@]} files)"

# Under another format's extension each file is read by its content; TGA,
# icons and cursors are known by their names alone.
mkdir "$work/renamed"
cp raw.rgb "$work/renamed/"
for f in "${inputs[@]}"; do
  case $f in
    *.tga|*.ico|*.cur) continue ;;
    *.jpg|*.jif|*.jfif|*.jpe|*.jpeg) cp "$f" "$work/renamed/${f%.*}.png" ;;
    *) cp "$f" "$work/renamed/${f%.*}.jpg" ;;
  esac
done
cd "$work/renamed"
renamed=(a_*)
convert_all "${renamed[@]}"
echo "every extension renamed: ok (${#renamed[@]} files)"

# Data that no reader takes is no picture whatever its name: the run fails,
# names the file and writes nothing.
mkdir "$work/junk"
cd "$work/junk"
head -c 786432 /dev/zero > zeros.jpg
{ head -c 4 /dev/zero; head -c 40000 /dev/urandom; } > random.png
convert -size 320x200 gradient:black-white -depth 8 gray:dump.raw
for f in zeros.jpg random.png dump.raw; do
  rm -rf "$work/out"; mkdir "$work/out"
  status=0
  timeout 60 "$quillon" -silent "$work/job.qpt" "$f" 2>"$work/err.txt" || status=$?
  if [ "$status" != 1 ] || ! grep -q "$f: Unknown file format" "$work/err.txt" || [ -n "$(ls -A "$work/out")" ]; then
    echo "junk $f: status $status, wrote: $(ls -A "$work/out")"; cat "$work/err.txt"; exit 1
  fi
done
echo "junk: refused"
