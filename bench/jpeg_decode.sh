#!/bin/bash
# Our JPEG decoder against libjpeg-turbo (in the same driver program), on the
# lomiri wallpapers, as baseline and as progressive streams made by jpegtran
# (one of the wallpapers is itself progressive).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
DRIVER="$BUILD/bench/bench_jpeg_decode"
[ -x "$DRIVER" ] || { echo "build first: $DRIVER missing"; exit 1; }
# Decodes per process: enough that the first one (which starts the worker
# thread and takes fresh memory from the system) does not dominate.
REPEAT=${REPEAT:-10}

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

# In-process decode times, which leave out reading the file, starting the
# process and its worker thread (see --rounds in jpeg_decode.cpp). Two
# processes, libjpeg-turbo's SIMD off in the first; each ratio is the median
# over the rounds of the ratio within a round.
echo "== in-process decode only, ${ROUNDS:=15} rounds"
for jpg in "$OUT"/*-baseline.jpg; do
  name=$(basename "$jpg" -baseline.jpg)
  plain=$(env JSIMD_FORCENONE=1 "$DRIVER" --rounds "$ROUNDS" "$jpg")
  simd=$("$DRIVER" --rounds "$ROUNDS" "$jpg")
  python3 -c "
import sys, statistics as st
rows = lambda text: [list(map(float, l.split())) for l in text.splitlines() if l.strip()]
plain, simd = rows(sys.argv[2]), rows(sys.argv[3])
m = lambda rs, f: st.median(f(r) for r in rs)
print(f'{sys.argv[1]}: ours {m(plain + simd, lambda r: r[0]):.3f}s; vs turbo no SIMD {m(plain, lambda r: r[0] / r[3]):.2f}, '
      f'vs turbo SIMD {m(simd, lambda r: r[0] / r[3]):.2f}; bands/ours {m(plain + simd, lambda r: r[1] / r[0]):.2f}; '
      f'eighth/full {m(plain + simd, lambda r: r[2] / r[0]):.2f}')" "$name" "$plain" "$simd"
done
