#!/bin/bash
# "Each source in its own format" (iFormatId0=-1): a folder of the usual
# sources goes through one such output, with no sub-format, with another
# format's sub-format and with one of WebP's. Every output keeps its
# source's name and extension, is of its source's format (ImageMagick says
# which) and, where that format is lossless, holds its source's pixels. A
# source whose format Quillon only reads is a failed output that says so.
set -uo pipefail
quillon=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/in"

fail() { echo "silent own format: $*" >&2; [ -f "$work/stderr" ] && cat "$work/stderr" >&2; exit 1; }
run() { timeout 120 "$quillon" "$@" 2>"$work/stderr"; status=$?; }
# Pixels that differ between two files, as ImageMagick decodes them.
differing() { compare -quiet -metric AE "$1" "$2" null: 2>&1; }

cd "$work/in"
convert -size 48x32 -seed 7 plasma:fractal -depth 8 "$work/src.ppm"
convert "$work/src.ppm" -quality 90 JPG:a.jpg
convert "$work/src.ppm" -quality 90 JPG:b.jpeg
convert "$work/src.ppm" -quality 90 JPG:c.JPG
convert "$work/src.ppm" TIFF:d.tif
convert "$work/src.ppm" -compress lzw TIFF:e.tiff
convert "$work/src.ppm" PNG24:f.png
convert "$work/src.ppm" GIF:g.gif
convert "$work/src.ppm" -define webp:lossless=true WEBP:h.webp
convert "$work/src.ppm" BMP3:i.bmp
convert "$work/src.ppm" BMP3:j.dib
convert "$work/src.ppm" -colors 60 -compress RLE BMP3:k.rle
convert "$work/src.ppm" TGA:l.tga
convert "$work/src.ppm" PCX:m.pcx
convert "$work/src.ppm" SUN:n.ras
convert "$work/src.ppm" HDR:o.pic
# Formats Quillon only reads: CALS under its own extension and under the
# one it shares with Sun raster.
convert "$work/src.ppm" -monochrome CALS:p.cal
convert "$work/src.ppm" -monochrome CALS:q.ras
cd - >/dev/null

# name (without the folder), ImageMagick's format, lossless (1) or not (0)
expected="a.jpg JPEG 0
b.jpeg JPEG 0
c.JPG JPEG 0
d.tif TIFF 1
e.tiff TIFF 1
f.png PNG 1
g.gif GIF 1
h.webp WEBP 1
i.bmp BMP3 1
j.dib BMP3 1
k.rle BMP3 1
l.tga TGA 1
m.pcx PCX 1
n.ras SUN 1
o.pic HDR 0"
read_only="p.cal q.ras"

check() {
    local label=$1 out=$2 quality=$3
    [ "$status" = 1 ] || fail "$label: status $status"
    while read -r name format lossless; do
        [ -f "$out/$name" ] || fail "$label: $name not written"
        got=$(identify -format '%m' "$out/$name" 2>/dev/null)
        [ "$got" = "$format" ] || fail "$label: $name is $got, not $format"
        if [ "$lossless" = 1 ]; then
            n=$(differing "$work/in/$name" "$out/$name")
            [ "$n" = 0 ] || fail "$label: $name differs from its source in $n pixels"
        fi
    done <<< "$expected"
    # The JPEG outputs take the JPEG number the output names, or the last
    # one used.
    [ "$(identify -format '%Q' "$out/b.jpeg")" = "$quality" ] || fail "$label: b.jpeg not at quality $quality"
    for name in $read_only; do
        [ ! -e "$out/$name" ] || fail "$label: $name was written"
        grep -qxF "Quillon: $work/in/$name: Not written: $out/$name: This format can only be read" "$work/stderr" ||
            fail "$label: $name is not said to be read only"
    done
    [ "$(ls "$out" | wc -l)" = 15 ] || fail "$label: not 15 outputs: $(ls "$out")"
    grep -qx "Quillon: 15 written, 0 skipped, 2 failed.*" "$work/stderr" || fail "$label: counts"
}

job() {
    printf '[Quillon]\nszOutDir=%s/%s/\nbSaveInSrcDirs=0\niOutFormats=1\niFormatId0=-1\n' "$work" "$1"
    shift
    printf '%s\n' "$@"
}

job none iColorFormat0=-1 > "$work/none.qpt"
run -silent "$work/none.qpt" "$work/in"
check "no sub-format" "$work/none" 75

job quality iColorFormat0=-1 "szSubFormat0=Normal, by Quality:" iCompParam0=88 > "$work/quality.qpt"
run -silent "$work/quality.qpt" "$work/in"
check "Normal, by Quality:" "$work/quality" 88

# WebP's own sub-format, and 24-bit colour, which becomes automatic for the
# formats that cannot write it (GIF).
job lossless szSubFormat0=Lossless iColorFormat0=16384 > "$work/lossless.qpt"
run -silent "$work/lossless.qpt" "$work/in"
check "Lossless" "$work/lossless" 75

# Beside the sources, replacing them, the outputs are the sources' own
# files: the lossless ones come back with their pixels, and the CALS file
# is left as it was.
cp -r "$work/in" "$work/again"
cals=$(md5sum < "$work/again/p.cal")
printf '[Quillon]\nbSaveInSrcDirs=1\nbNoOverwritePrompt=1\niFormatId0=-1\niColorFormat0=-1\nszSubFormat0=Default\n' \
    > "$work/beside.qpt"
run -silent "$work/beside.qpt" "$work/again"
[ "$status" = 1 ] || fail "beside the sources: status $status"
[ "$(ls "$work/again" | wc -l)" = 17 ] || fail "beside the sources: $(ls "$work/again")"
for name in d.tif f.png j.dib l.tga; do
    [ "$(differing "$work/in/$name" "$work/again/$name")" = 0 ] || fail "beside the sources: $name changed"
done
[ "$(md5sum < "$work/again/p.cal")" = "$cals" ] || fail "beside the sources: p.cal changed"
# A read-only source rewritten in place is not replaced, even by root (as
# CI runs it): it keeps its inode and bytes, and is named.
mkdir -p "$work/locked"
cp "$work/in/i.bmp" "$work/locked/i.bmp"
chmod 444 "$work/locked/i.bmp"
before="$(stat -c %i "$work/locked/i.bmp") $(md5sum < "$work/locked/i.bmp")"
run -silent "$work/beside.qpt" "$work/locked/i.bmp"
[ "$status" = 1 ] || fail "read-only source: status $status"
[ "$(stat -c %i "$work/locked/i.bmp") $(md5sum < "$work/locked/i.bmp")" = "$before" ] ||
    fail "read-only source: replaced"
[ "$(cat "$work/stderr")" = "Quillon: $work/locked/i.bmp: Not written: $work/locked/i.bmp: Read-only file
Quillon: 0 written, 0 skipped, 1 failed" ] || fail "read-only source: $(cat "$work/stderr")"
# An animation of three frames, and one of two, named .bmp: rewritten in
# place it would be a bitmap of its first frame, so it stays as it was, and
# is named.
mkdir -p "$work/anim"
frames=(xc:red xc:lime xc:blue)
for n in 3 2; do
  convert -size 20x10 "${frames[@]:0:$n}" -loop 0 GIF:"$work/anim/a.bmp"
  before=$(md5sum < "$work/anim/a.bmp")
  run -silent "$work/beside.qpt" "$work/anim/a.bmp"
  [ "$status" = 1 ] || fail "animation of $n in place: status $status"
  [ "$(md5sum < "$work/anim/a.bmp")" = "$before" ] || fail "animation of $n in place: replaced"
  [ "$(identify "$work/anim/a.bmp" | wc -l)" = "$n" ] || fail "animation in place: not $n frames"
  [ "$(cat "$work/stderr")" = "Quillon: $work/anim/a.bmp: Not written: $work/anim/a.bmp: holds 1 of $n pages of its source
Quillon: 0 written, 0 skipped, 1 failed" ] || fail "animation of $n in place: $(cat "$work/stderr")"
done
# PNG data named .ras, an extension that Sun raster shares with CALS, which
# Quillon only reads: the output goes by the name to the format of it that
# writes, a Sun raster with the PNG's pixels, not to the extension's first.
mkdir -p "$work/misnamed"
convert "$work/src.ppm" PNG24:"$work/misnamed/x.ras"
job ras iColorFormat0=-1 > "$work/ras.qpt"
run -silent "$work/ras.qpt" "$work/misnamed/x.ras"
[ "$status" = 0 ] || fail "PNG named x.ras: status $status"
[ "$(head -c 4 "$work/ras/x.ras" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 59a66a95 ] ||
    fail "PNG named x.ras: no Sun raster written"
[ "$(differing "$work/misnamed/x.ras" "$work/ras/x.ras")" = 0 ] || fail "PNG named x.ras: pixels differ"
echo "silent own format: ok"
