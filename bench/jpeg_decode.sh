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

# In-process decode times (median of 7 decodes after a warm-up one, as a
# long batch sees them), which leave out reading the file, starting the
# process and its worker thread. Each round runs every mode once, in turn;
# the ratios are medians over the rounds of the ratios within a round.
echo "== in-process decode only, median over ${ROUNDS:=7} rounds"
for jpg in "$OUT"/*-baseline.jpg; do
  name=$(basename "$jpg" -baseline.jpg)
  for round in $(seq "$ROUNDS"); do
    echo "$("$DRIVER" --no-bands --repeat 7 --time "$jpg") $("$DRIVER" --bands --repeat 7 --time "$jpg")" \
         "$(env JSIMD_FORCENONE=1 "$DRIVER" --libjpeg --repeat 7 --time "$jpg") $("$DRIVER" --libjpeg --repeat 7 --time "$jpg")" \
         "$("$DRIVER" --eighth --repeat 7 --time "$jpg")"
  done | python3 -c "
import sys, statistics as st
rows = [list(map(float, l.split())) for l in sys.stdin if l.strip()]
m = lambda f: st.median(f(r) for r in rows)
print(f'$name: ours {m(lambda r: r[0]):.3f}s; vs turbo no SIMD {m(lambda r: r[0]/r[2]):.2f}, '
      f'vs turbo SIMD {m(lambda r: r[0]/r[3]):.2f}; bands/ours {m(lambda r: r[1]/r[0]):.2f}; '
      f'eighth/full {m(lambda r: r[4]/r[0]):.2f}')"
done
