#!/bin/bash
# Processing operations on the 6028 x 3391 photograph of the set, whole
# processes side by side with ImageMagick and libvips. Our operations use the
# task pool; the peers run once with one thread and once with all of them.
#
# Our unsharp mask (bench_processing sharpen) is a 5 x 5 Gaussian of sigma
# 1.25, amount 1 and a threshold of 8 levels in 255. ImageMagick gets the same
# radius (2 pixels each side), sigma, amount and threshold (8 / 255 of the
# range). vips sharpen works on the L channel of LAB, with sigma 1.25, no
# change below a threshold of 8 / 255 of L's 100 (x1 3.1, m1 0) and slope 1
# above it (m2 1, y2 and y3 unbounded): the same parameters where its
# operation has them.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
IN=$OUT/kleiber.ppm
[ -s "$IN" ] || djpeg -pnm /usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg > "$IN"
DRIVER=$BUILD/bench/bench_processing
IM1="convert -limit thread 1"
IMN="convert"
UNSHARP="-unsharp 2x1.25+1+0.031373"
VIPS_SHARPEN="--sigma 1.25 --x1 3.1 --m1 0 --m2 1 --y2 100 --y3 100"

compare "unsharp mask vs convert -unsharp, one thread" \
  "$DRIVER sharpen $IN $OUT/ours-sharpen.ppm" \
  "$IM1 $IN $UNSHARP $OUT/im-sharpen.ppm" "$OUT/ours-sharpen.ppm" "$OUT/im-sharpen.ppm"
compare "unsharp mask vs convert -unsharp, all threads" \
  "$DRIVER sharpen $IN $OUT/ours-sharpen.ppm" \
  "$IMN $IN $UNSHARP $OUT/im-sharpen.ppm" "$OUT/ours-sharpen.ppm" "$OUT/im-sharpen.ppm"
echo "  sharpened pixels against ImageMagick's (RMSE, 0..1): $(command compare -metric RMSE "$OUT/ours-sharpen.ppm" "$OUT/im-sharpen.ppm" null: 2>&1 | sed 's/.*(\(.*\))/\1/')"
compare "unsharp mask vs vips sharpen, all threads" \
  "$DRIVER sharpen $IN $OUT/ours-sharpen.ppm" \
  "vips sharpen $IN $OUT/vips-sharpen.ppm $VIPS_SHARPEN" "$OUT/ours-sharpen.ppm" "$OUT/vips-sharpen.ppm"
# The undithering blur keeps edges; its nearest vips peer is a plain Gaussian
# blur of the same sigma (a lighter operation).
compare "undithering blur vs vips gaussblur 0.7, all threads" \
  "$DRIVER blur $IN $OUT/ours-blur.ppm" \
  "vips gaussblur $IN $OUT/vips-blur.ppm 0.7" "$OUT/ours-blur.ppm" "$OUT/vips-blur.ppm"
compare "quarter turn vs convert -rotate 90, one thread" \
  "$DRIVER rotate90 $IN $OUT/ours-rotate.ppm" \
  "$IM1 $IN -rotate 90 $OUT/im-rotate.ppm" "$OUT/ours-rotate.ppm" "$OUT/im-rotate.ppm"
compare "quarter turn vs vips rot d90, all threads" \
  "$DRIVER rotate90 $IN $OUT/ours-rotate.ppm" \
  "vips rot $IN $OUT/vips-rotate.ppm d90" "$OUT/ours-rotate.ppm" "$OUT/vips-rotate.ppm"
echo "  turned pixels against ImageMagick's (RMSE, 0..1): $(command compare -metric RMSE "$OUT/ours-rotate.ppm" "$OUT/im-rotate.ppm" null: 2>&1 | sed 's/.*(\(.*\))/\1/')"
compare "hue and saturation vs convert -modulate, one thread" \
  "$DRIVER adjust $IN $OUT/ours-adjust.ppm" \
  "$IM1 $IN -modulate 110,130,145 $OUT/im-adjust.ppm" "$OUT/ours-adjust.ppm" "$OUT/im-adjust.ppm"
