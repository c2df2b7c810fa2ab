#!/bin/bash
# A batch of 16 JPEG photographs (bench/common.sh's jpeg_photos: the four
# wallpapers and lossless and re-encoded variations of them) resized with
# Catmull-Rom to 1800 pixels wide and written as JPEG at quality 85: our
# headless batch against one ImageMagick process per core (one thread each)
# and one vipsthumbnail process per core (which decodes at reduced size).
# Every run starts from empty output folders and must succeed; after the
# timed runs both sides' outputs are checked: one per input, 1800 pixels
# wide, the input's aspect kept to within a row. Prints the median of the
# per-pair ratios with their spread, then cores used (CPU time over wall
# time) and peak memory of one run of each, the machine's load, and
# where our time goes.
#   RUNS=7 bench/jpeg_batch16.sh
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-7}
P=$(nproc)
WIDTH=1800
mapfile -t inputs < <(jpeg_photos 16)
files="${inputs[*]}"
ours="$OUT/jpeg16-ours" peer="$OUT/jpeg16-peer"
mkdir -p "$ours" "$peer"

# Mean absolute difference (0..1) between our outputs and the peer's, one
# per wallpaper.
agree() {
  local f
  for f in "${inputs[@]:0:4}"; do printf ' %s' "$(mae "$ours/$(basename "$f")" "$peer/$(basename "$f")")"; done
  echo
}

OURS="$BUILD/bench/bench_jpeg_batch $ours --width $WIDTH $files"
IM="mogrify -limit thread 1 -path $peer -filter Catrom -resize ${WIDTH}x -quality 85"
MOGRIFY="sh -c 'printf \"%s\\n\" $files | xargs -P$P -n1 $IM'"
THUMB="sh -c 'printf \"%s\\n\" $files | xargs -P$P -n1 vipsthumbnail --size ${WIDTH}x -o \"$peer/%s.jpg[Q=85]\"'"

echo "== 16 photographs, JPEG to $WIDTH px wide (Catmull-Rom) to JPEG quality 85, $RUNS pairs"
echo "  load before: $(uptime | sed 's/.*load/load/')"
rm -rf "$ours" && mkdir -p "$ours"
$OURS 2>/dev/null || { echo "our batch failed"; exit 1; }
check_outputs "$ours" || exit 1
compare "ours vs xargs -P$P mogrify -limit thread 1" "$OURS" "$MOGRIFY" "$ours" "$peer"
check_outputs "$ours" && check_outputs "$peer" || exit 1
echo "  outputs against ImageMagick's (MAE, 0..1):$(agree)"
compare "ours vs xargs -P$P vipsthumbnail" "$OURS" "$THUMB" "$ours" "$peer"
check_outputs "$ours" && check_outputs "$peer" || exit 1
echo "  outputs against vipsthumbnail's (MAE, 0..1):$(agree)"
echo "  load after: $(uptime | sed 's/.*load/load/')"
usage ours "$ours" $OURS
eval "usage 'xargs mogrify' $peer $MOGRIFY"
eval "usage 'xargs vipsthumbnail' $peer $THUMB"

# Where our time goes. A decode that takes longer than the rest of the
# batch (a large progressive photograph, though its scans and rows spread
# over the cores) bounds it however many inputs are read ahead: the sum of
# the inputs' decode times shows how much decoding there is, each decoded
# in-process on warm memory, the median of a few, spread over the pool (band
# rows, progressive scans) and on one thread. Then the batch without
# read-ahead and without encoding beside the next input, each against the
# full pipeline.
DECODER="$BUILD/bench/bench_jpeg_decode"
floor=$(for f in "${inputs[@]}"; do "$DECODER" --rounds 5 "$f"; echo; done | python3 -c "
import sys, statistics as st
blocks = [b for b in sys.stdin.read().split('\n\n') if b.strip()]
rows = [[list(map(float, l.split())) for l in b.splitlines() if l.strip()] for b in blocks]
med = lambda rs, i: st.median(r[i] for r in rs)
print(f'{sum(med(rs, 1) for rs in rows):.3f}s with bands, {sum(med(rs, 0) for rs in rows):.3f}s on one thread '
      f'(libjpeg-turbo {sum(med(rs, 3) for rs in rows):.3f}s)')")
echo "  sum of the 16 decodes alone: $floor"
compare "ours vs ours without read-ahead" "$OURS" "$BUILD/bench/bench_jpeg_batch $peer --no-read-ahead --width $WIDTH $files" \
  "$ours" "$peer"
compare "ours vs ours encoding before the next input" "$OURS" \
  "$BUILD/bench/bench_jpeg_batch $peer --no-overlap --width $WIDTH $files" "$ours" "$peer"
echo "  load at the end: $(uptime | sed 's/.*load/load/')"
