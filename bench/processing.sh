#!/bin/bash
# Processing operations on the largest lomiri photograph, single-threaded
# whole processes side by side with ImageMagick and libvips.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The 6028 x 3391 photograph of the set.
IN=$OUT/kleiber.ppm
[ -s "$IN" ] || djpeg -pnm /usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg > "$IN"
DRIVER=$BUILD/bench/bench_processing
IM="convert -limit thread 1"

compare "unsharp mask vs convert -unsharp" \
  "$DRIVER sharpen $IN $OUT/ours-sharpen.ppm" \
  "$IM $IN -unsharp 0x1.5+1+0 $OUT/im-sharpen.ppm"
compare "unsharp mask vs vips sharpen" \
  "$DRIVER sharpen $IN $OUT/ours-sharpen.ppm" \
  "env VIPS_CONCURRENCY=1 vips sharpen $IN $OUT/vips-sharpen.ppm"
compare "quarter turn vs convert -rotate 90" \
  "$DRIVER rotate90 $IN $OUT/ours-rotate.ppm" \
  "$IM $IN -rotate 90 $OUT/im-rotate.ppm"
compare "hue and saturation vs convert -modulate" \
  "$DRIVER adjust $IN $OUT/ours-adjust.ppm" \
  "$IM $IN -modulate 110,130,145 $OUT/im-adjust.ppm"
