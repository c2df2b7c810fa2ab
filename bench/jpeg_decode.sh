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

# In-process decode times (fastest of several), which leave out reading the
# file and starting the process; less disturbed by a busy machine.
echo "== in-process decode only, fastest of 7"
for jpg in "$OUT"/*-baseline.jpg; do
  name=$(basename "$jpg" -baseline.jpg)
  one=$("$DRIVER" --no-bands --repeat 7 --time "$jpg")
  bands=$("$DRIVER" --bands --repeat 7 --time "$jpg")
  nosimd=$(env JSIMD_FORCENONE=1 "$DRIVER" --libjpeg --repeat 7 --time "$jpg")
  simd=$("$DRIVER" --libjpeg --repeat 7 --time "$jpg")
  eighth=$("$DRIVER" --eighth --repeat 7 --time "$jpg")
  python3 -c "import sys; n,o,b,ns,s,e=sys.argv[1],*map(float,sys.argv[2:]); print(f'{n}: ours {o:.3f}s; vs turbo no SIMD {o/ns:.2f}, vs turbo SIMD {o/s:.2f}; bands/ours {b/o:.2f}; eighth/full {e/o:.2f}')" \
    "$name" "$one" "$bands" "$nosimd" "$simd" "$eighth"
done
