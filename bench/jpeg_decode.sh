#!/bin/bash
# Our JPEG decoder against libjpeg-turbo (in the same driver program), on the
# lomiri wallpapers, as baseline and as progressive streams made by jpegtran
# (one of the wallpapers is itself progressive). Both decoders write into
# memory from our allocator, not cleared first; one-eighth size is our DC
# decode against libjpeg-turbo's scale 1/8 (djpeg -scale 1/8).
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
  compare "$name eighth size vs libjpeg-turbo scale 1/8 no SIMD" \
    "$DRIVER --eighth --repeat $REPEAT $jpg" "env JSIMD_FORCENONE=1 $DRIVER --libjpeg --eighth --repeat $REPEAT $jpg"
  compare "$name eighth size vs libjpeg-turbo scale 1/8 SIMD" \
    "$DRIVER --eighth --repeat $REPEAT $jpg" "$DRIVER --libjpeg --eighth --repeat $REPEAT $jpg"
  compare "$name progressive vs libjpeg-turbo no SIMD" \
    "$DRIVER --repeat $REPEAT $prog" "env JSIMD_FORCENONE=1 $DRIVER --libjpeg --repeat $REPEAT $prog"
  echo -n "$name progressive memory: "
  "$DRIVER" --memory "$prog"
done

# In-process decode times, which leave out reading the file, starting the
# process and its worker thread (see --rounds in jpeg_decode.cpp). Two
# processes, libjpeg-turbo's SIMD off in the first; each ratio is the median
# over the rounds of the ratio within a round, with its spread (lowest and
# highest round).
echo "== in-process decode only, ${ROUNDS:=15} rounds"
for jpg in "$OUT"/*-baseline.jpg; do
  name=$(basename "$jpg" -baseline.jpg)
  plain=$(env JSIMD_FORCENONE=1 "$DRIVER" --rounds "$ROUNDS" "$jpg")
  simd=$("$DRIVER" --rounds "$ROUNDS" "$jpg")
  python3 -c "
import sys, statistics as st
rows = lambda text: [list(map(float, l.split())) for l in text.splitlines() if l.strip()]
plain, simd = rows(sys.argv[2]), rows(sys.argv[3])
def ratio(rs, a, b):
    r = sorted(x[a] / x[b] for x in rs)
    return f'{st.median(r):.2f} ({r[0]:.2f}-{r[-1]:.2f})'
# Columns: ours 1 thread, ours bands, ours eighth, turbo full, turbo eighth.
print(f'{sys.argv[1]}: ours {st.median(r[0] for r in plain + simd):.4f}s full, '
      f'{st.median(r[2] for r in plain + simd):.4f}s eighth')
print(f'  full, 1 thread: vs turbo no SIMD {ratio(plain, 0, 3)}, vs turbo SIMD {ratio(simd, 0, 3)}')
print(f'  full, bands:    vs turbo no SIMD {ratio(plain, 1, 3)}, vs turbo SIMD {ratio(simd, 1, 3)}')
print(f'  eighth:         vs turbo 1/8 no SIMD {ratio(plain, 2, 4)}, vs turbo 1/8 SIMD {ratio(simd, 2, 4)}')
print(f'  ours bands/1 thread {ratio(plain + simd, 1, 0)}, ours eighth/full {ratio(plain + simd, 2, 0)}')" "$name" "$plain" "$simd"
done
