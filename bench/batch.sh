#!/bin/bash
# Batches of the set's real photographs as BMP (4096x2304, 4096x4096,
# 6028x3391 and 6000x4000, so halving is not exact everywhere), 16 and 64
# files, resized with Catmull-Rom to 50% and to 1800 pixels wide and written
# as BMP: our headless batch against ImageMagick in one process, one
# ImageMagick process per core (xargs -P), and one vips process per core.
# Every run starts from empty output folders and must leave one output per
# input (bench/pairs.py); the outputs of both sides are compared afterwards.
# Our batch also runs against itself doing one thing at a time (each output
# encoded before the next input loads, one input decoded ahead), whose
# outputs must be the same bytes.
#   COUNTS="16 64" RUNS=3 bench/batch.sh
source "$(dirname "$0")/common.sh"
P=$(nproc)
RUNS=${RUNS:-3}
ours="$OUT/batch-ours" peer="$OUT/batch-peer" serial="$OUT/batch-serial"
mkdir -p "$ours" "$peer" "$serial"

# Mean absolute difference (0..1) between our output and the peer's for the
# first four files (one of each photograph).
agree() {
  local n
  for n in 0 1 2 3; do printf ' %s' "$(mae "$ours/n$n.bmp" "$peer/n$n.bmp")"; done
  echo
}

# One vips process per file: IN OUTDIR.
cat > "$OUT/vips-half.sh" <<'EOS'
exec vips resize "$1" "$2/$(basename "$1")" 0.5 --kernel cubic
EOS
cat > "$OUT/vips-width.sh" <<'EOS'
exec vips thumbnail "$1" "$2/$(basename "$1")" 1800 --height 100000 --size down
EOS

for count in ${COUNTS:-16 64}; do
  files=$(bmp_photos "$count" | tr '\n' ' ')
  for mode in half width; do
    if [ "$mode" = half ]; then
      label="50%" opt="" im="-resize 50%" vipsop="$OUT/vips-half.sh"
    else
      label="1800 px wide" opt="--width 1800" im="-resize 1800x" vipsop="$OUT/vips-width.sh"
    fi
    OURS="$BUILD/bench/bench_batch $ours $opt --no-sharpen $files"
    IM="mogrify -limit thread 1 -path $peer -filter Catrom $im -format bmp"
    echo "== $count photographs, $label, Catmull-Rom, BMP to BMP"
    # Every input must come out on our side (pairs.py checks the folder
    # only for being non-empty).
    rm -rf "$ours" && mkdir -p "$ours"
    $OURS 2>/dev/null
    made=$(ls "$ours" | wc -l)
    [ "$made" = "$count" ] || { echo "ours made $made of $count outputs"; exit 1; }
    compare "ours vs mogrify, one process of one thread" "$OURS" "$IM $files" "$ours" "$peer"
    compare "ours vs xargs -P$P mogrify -limit thread 1" "$OURS" \
      "sh -c 'printf \"%s\\n\" $files | xargs -P$P -n1 $IM'" "$ours" "$peer"
    echo "  outputs against ImageMagick's (MAE, 0..1):$(agree)"
    compare "ours vs xargs -P$P vips" "$OURS" \
      "sh -c 'printf \"%s $peer\\n\" $files | xargs -P$P -L1 sh $vipsop'" "$ours" "$peer"
    echo "  outputs against vips' (MAE, 0..1):$(agree)"
    SERIAL="$BUILD/bench/bench_batch $serial --no-overlap --read-ahead 1 $opt --no-sharpen $files"
    compare "ours vs ours one thing at a time" "$OURS" "$SERIAL" "$ours" "$serial"
    diff -r -q "$ours" "$serial" >/dev/null || { echo "outputs differ from one thing at a time"; exit 1; }
    usage ours "$ours" $OURS
    usage "one thing at a time" "$serial" $SERIAL
  done
done
