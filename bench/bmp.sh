#!/bin/bash
# Whole-process BMP conversions side by side with ImageMagick: a 24-bit
# photograph decoded and written again, and a 256-colour run-length file
# decoded and written with run lengths (our writer tries every minimum run
# per row).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PPM=$(photo_ppm)
DRIVER=$BUILD/bench/bench_bmp
[ -s "$OUT/photo24.bmp" ] || convert "$PPM" -compress None BMP3:"$OUT/photo24.bmp"
[ -s "$OUT/photo8rle.bmp" ] || convert "$PPM" -colors 256 -type palette -compress RLE BMP3:"$OUT/photo8rle.bmp"
compare "bmp 24-bit decode+encode" "$DRIVER $OUT/photo24.bmp $OUT/ours24.bmp" \
  "convert $OUT/photo24.bmp -compress None BMP3:$OUT/peer24.bmp"
compare "bmp RLE8 decode+encode" "$DRIVER $OUT/photo8rle.bmp $OUT/ours8.bmp RLE\\ compressed" \
  "convert $OUT/photo8rle.bmp -compress RLE BMP3:$OUT/peer8.bmp"
