#!/bin/bash
# Arithmetic-coded JPEG decoding: the lomiri-wallpapers-20.04 photographs
# re-encoded losslessly with "jpegtran -arithmetic", decoded by us (to
# BGRA in memory; single-threaded and with band-parallel rows) and by djpeg
# without SIMD (to PPM on /dev/null), one file per process.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

for photo in /usr/share/backgrounds/*.jpg; do
  name=$(basename "$photo" .jpg)
  arith="$OUT/arith-$name.jpg"
  [ -s "$arith" ] || jpegtran -arithmetic -copy none -outfile "$arith" "$photo"
  size=$(identify -format '%wx%h' "$arith" 2>/dev/null || echo "?")
  compare "$name ($size) one thread" "$BUILD/bench/bench_jpeg_arith --single $arith" \
    "env JSIMD_FORCENONE=1 djpeg -outfile /dev/null $arith"
  compare "$name ($size) band rows" "$BUILD/bench/bench_jpeg_arith $arith" \
    "env JSIMD_FORCENONE=1 djpeg -outfile /dev/null $arith"
done
