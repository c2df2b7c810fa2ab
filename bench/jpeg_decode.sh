#!/bin/bash
# Our JPEG decoder against libjpeg-turbo (in the same driver program), on the
# lomiri wallpapers, as baseline and as progressive streams made by jpegtran
# (one of the wallpapers is itself progressive).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
DRIVER="$BUILD/bench/bench_jpeg_decode"
[ -x "$DRIVER" ] || { echo "build first: $DRIVER missing"; exit 1; }
REPEAT=${REPEAT:-3}

for jpg in /usr/share/backgrounds/*.jpg; do
  name=$(basename "$jpg" .jpg)
  base="$OUT/$name-baseline.jpg"
  prog="$OUT/$name-progressive.jpg"
  [ -s "$base" ] || jpegtran -optimize -outfile "$base" "$jpg"
  [ -s "$prog" ] || jpegtran -progressive -outfile "$prog" "$jpg"
  jpg=$base
  echo "== $name ($(identify -format '%wx%h' "$jpg"))"
  compare "$name baseline 1 thread vs libjpeg-turbo no SIMD" \
    "$DRIVER --no-bands --repeat $REPEAT $jpg" "env JSIMD_FORCENONE=1 $DRIVER --libjpeg --repeat $REPEAT $jpg"
  compare "$name baseline 1 thread vs libjpeg-turbo SIMD" \
    "$DRIVER --no-bands --repeat $REPEAT $jpg" "$DRIVER --libjpeg --repeat $REPEAT $jpg"
  compare "$name bands vs our 1 thread" \
    "$DRIVER --bands --repeat $REPEAT $jpg" "$DRIVER --no-bands --repeat $REPEAT $jpg"
  compare "$name eighth size vs our full size" \
    "$DRIVER --eighth --repeat $REPEAT $jpg" "$DRIVER --no-bands --repeat $REPEAT $jpg"
  compare "$name progressive vs libjpeg-turbo no SIMD" \
    "$DRIVER --repeat $REPEAT $prog" "env JSIMD_FORCENONE=1 $DRIVER --libjpeg --repeat $REPEAT $prog"
  echo -n "$name progressive memory: "
  "$DRIVER" --memory "$prog"
done
