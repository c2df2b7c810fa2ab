#!/bin/bash
# A folder of 100 photographs as a user has them: the four wallpapers (one
# of them progressive, 4096 x 4096 at quality 100) 25 times each, resized
# with Catmull-Rom to 1800 pixels wide and written as JPEG at quality 85 by
# one silent batch, against one ImageMagick process per core and one
# vipsthumbnail process per core. Every run starts from empty output folders
# and must convert every file. Prints both sides' medians and the median of
# the per-pair ratios with their spread (lowest and highest pair), then the
# time, cores used and peak memory of one run of each, and the machine's
# load before and after (the figures mean little on a busy machine).
#   RUNS=7 bench/jpeg_folder.sh
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-7}
P=$(nproc)
WIDTH=1800
COPIES=${COPIES:-25}

folder="$OUT/jpeg-folder"
mkdir -p "$folder"
inputs=()
for i in $(seq -w 1 "$COPIES"); do
  for p in /usr/share/backgrounds/*.jpg; do
    f="$folder/$(basename "$p" .jpg)-$i.jpg"
    [ -s "$f" ] || cp "$p" "$f"
    inputs+=("$f")
  done
done
# The list goes to the peers through a file: a hundred paths are too many
# for a readable command line.
list="$OUT/jpeg-folder.list"
printf '%s\n' "${inputs[@]}" > "$list"
ours="$OUT/jpeg-folder-ours" peer="$OUT/jpeg-folder-peer"
mkdir -p "$ours" "$peer"

OURS="$BUILD/bench/bench_jpeg_batch $ours --width $WIDTH ${inputs[*]}"
MOGRIFY="sh -c 'xargs -P$P -n1 mogrify -limit thread 1 -path $peer -filter Catrom -resize ${WIDTH}x -quality 85 < $list'"
THUMB="sh -c 'xargs -P$P -n1 vipsthumbnail --size ${WIDTH}x -o \"$peer/%s.jpg[Q=85]\" < $list'"

echo "== ${#inputs[@]} photographs, JPEG to $WIDTH px wide (Catmull-Rom) to JPEG quality 85, $RUNS pairs"
echo "  load before: $(uptime | sed 's/.*load/load/')"
rm -rf "$ours" && mkdir -p "$ours"
$OURS 2>/dev/null || { echo "our batch failed"; exit 1; }
check_outputs "$ours" || exit 1
compare "ours vs xargs -P$P mogrify -limit thread 1" "$OURS" "$MOGRIFY" "$ours" "$peer"
check_outputs "$ours" && check_outputs "$peer" || exit 1
compare "ours vs xargs -P$P vipsthumbnail" "$OURS" "$THUMB" "$ours" "$peer"
check_outputs "$ours" && check_outputs "$peer" || exit 1
usage ours "$ours" $OURS
eval "usage 'xargs mogrify' $peer $MOGRIFY"
eval "usage 'xargs vipsthumbnail' $peer $THUMB"
echo "  load after: $(uptime | sed 's/.*load/load/')"
