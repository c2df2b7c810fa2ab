#!/bin/bash
# Twenty 6-megapixel BMP inputs: resize to 50% with Catmull-Rom, sharpen,
# write BMP. Our headless batch against mogrify, one thread each.
source "$(dirname "$0")/common.sh"
in="$OUT/batch-in"
if [ ! -s "$in/19.bmp" ]; then
  mkdir -p "$in"
  i=0
  for round in 1 2 3 4 5; do
    for jpg in /usr/share/backgrounds/*.jpg; do
      convert "$jpg" -resize '3000x2000!' BMP3:"$in/$i.bmp"
      i=$((i + 1))
    done
  done
fi
mkdir -p "$OUT/batch-ours" "$OUT/batch-ours-plain" "$OUT/batch-peer"
inputs=$(ls "$in"/*.bmp)
RUNS=${RUNS:-3}
compare "batch vs mogrify" "$BUILD/bench/bench_batch $OUT/batch-ours $inputs" \
  "mogrify -limit thread 1 -path $OUT/batch-peer -filter Catrom -resize 50% -unsharp 0x1 -format bmp $inputs"
compare "batch with vs without read-ahead" "$BUILD/bench/bench_batch $OUT/batch-ours $inputs" \
  "$BUILD/bench/bench_batch $OUT/batch-ours-plain --no-read-ahead $inputs"
for cmd in "$BUILD/bench/bench_batch $OUT/batch-ours $inputs" \
           "mogrify -limit thread 1 -path $OUT/batch-peer -filter Catrom -resize 50% -unsharp 0x1 -format bmp $inputs"; do
  /usr/bin/time -f "peak memory %M KB: ${cmd%% *}" $cmd 2>&1 >/dev/null | grep peak
done
