#!/bin/bash
# The batch's memory as users meet it. 16 photographs as BMP (bench/batch.sh's
# set), resized to 1800 pixels wide with Catmull-Rom and written as BMP by one
# silent batch, in rounds: one ImageMagick process per core over the same
# files (the peer, and a program that has just used and freed much of the
# machine's memory), then our batch, then our batch straight again (memory
# our own previous run freed a moment ago, the kindest case), then, after
# two idle seconds, our batch once more (a batch started by hand). Prints each
# run's median time with its range, its system time and what the kernel
# counted meanwhile on the whole machine (huge pages faulted, compaction
# stalls), and the per-round ratios against the peer run just before.
# With BASE set to another build's bench_batch (for instance one of an
# earlier commit) each round runs that one the same way too, and the rounds
# compare the two builds in each of the three places.
#   RUNS=9 bench/memory.sh
#   BASE=/path/to/other/build/bench/bench_batch RUNS=9 bench/memory.sh
source "$(dirname "$0")/common.sh"
RUNS=${RUNS:-9}
P=$(nproc)
files=$(bmp_photos 16 | tr '\n' ' ')
ours="$OUT/memory-ours" peer="$OUT/memory-peer" base="$OUT/memory-base"
mkdir -p "$ours" "$peer" "$base"
job="--width 1800 --no-sharpen $files"
PEER="sh -c 'printf \"%s\\n\" $files | xargs -P$P -n1 mogrify -limit thread 1 -path $peer -filter Catrom -resize 1800x -format bmp'"
OURS="$BUILD/bench/bench_batch $ours $job"
steps=(peer "$peer" "$PEER" ours "$ours" "$OURS" ours-again "$ours" "$OURS" pause "" "sleep 2" ours-after-pause "$ours" "$OURS")
ratios=(--ratio ours/peer)
if [ -n "${BASE:-}" ]; then
  steps+=(peer-before-base "$peer" "$PEER" base "$base" "$BASE $base $job" base-again "$base" "$BASE $base $job"
          pause-before-base "" "sleep 2" base-after-pause "$base" "$BASE $base $job")
  ratios+=(--ratio base/peer-before-base --ratio ours/base --ratio ours-again/base-again
           --ratio ours-after-pause/base-after-pause)
fi

thp=/sys/kernel/mm/transparent_hugepage
echo "== 16 photographs, BMP to 1800 px wide BMP, Catmull-Rom, $RUNS rounds (peer: xargs -P$P mogrify -limit thread 1)"
echo "  transparent huge pages: enabled $(cat $thp/enabled 2>/dev/null), defrag $(cat $thp/defrag 2>/dev/null)"
echo "  load before: $(uptime | sed 's/.*load/load/')"
python3 "$BENCH_DIR/rounds.py" "$RUNS" "${ratios[@]}" "${steps[@]}"
echo "  load after: $(uptime | sed 's/.*load/load/')"
