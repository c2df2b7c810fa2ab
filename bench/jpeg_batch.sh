#!/bin/bash
# JPEG -> Catmull-Rom resize 50% -> JPEG quality 85, whole processes, one
# thread for the peers: a silent batch of one 20-megapixel photograph
# against ImageMagick's convert and libvips, then a batch of the four
# photographs with and without read-ahead. Prints the median of the
# per-pair ratios with their spread (lowest and highest) and peak memory.
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-7}
# A run that fails is timed like the others rather than stopping the benchmark.
SPREAD_CHECK=${SPREAD_CHECK:-0}
photo=/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg
[ -s "$photo" ] || photo=$(ls -S /usr/share/backgrounds/*.jpg | head -n 1)
mkdir -p "$OUT/jpeg-ours" "$OUT/jpeg-ours-plain" "$OUT/jpeg-peer"

ours="$BUILD/bench/bench_jpeg_batch $OUT/jpeg-ours $photo"
magick="convert -limit thread 1 $photo -filter Catrom -resize 50% -quality 85 $OUT/jpeg-peer/im.jpg"
vips="env VIPS_CONCURRENCY=1 vips resize $photo $OUT/jpeg-peer/vips.jpg[Q=85] 0.5 --kernel cubic"
spread "20 MP vs convert" "$ours" "$magick"
spread "20 MP vs vips" "$ours" "$vips"
for cmd in "$ours" "$magick" "$vips"; do
  /usr/bin/time -f "peak memory %M KB: ${cmd%% *}" $cmd 2>&1 >/dev/null | grep peak
done

all=$(ls /usr/share/backgrounds/*.jpg)
spread "four photographs, read-ahead vs none" "$BUILD/bench/bench_jpeg_batch $OUT/jpeg-ours $all" \
  "$BUILD/bench/bench_jpeg_batch $OUT/jpeg-ours-plain --no-read-ahead $all"
# Band-parallel decoding needs a second core: one photograph with every core
# against the same held to one.
spread "20 MP on all cores vs one (band-parallel decoding)" "$ours" "taskset -c 0 $ours"
