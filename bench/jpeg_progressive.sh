#!/bin/bash
# One progressive 4096 x 4096 photograph (the quality-100 wallpaper of
# lomiri-wallpapers, 4:4:4, ten scans) decoded in-process by our decoder on
# every core against the same on one: first the decoder kept to the calling
# thread (bench_jpeg_decode's first column) against it spreading its scans
# and rows over the task pool (its second), round by round in one process;
# then the spreading decode with the whole process held to one core
# (taskset) against it free, two processes. libjpeg-turbo's decode of the
# same file is shown for scale. Prints medians and the median of the
# per-round ratios with their spread (lowest and highest round).
#   ROUNDS=15 bench/jpeg_progressive.sh [FILE]
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
DRIVER="$BUILD/bench/bench_jpeg_decode"
[ -x "$DRIVER" ] || { echo "build first: $DRIVER missing"; exit 1; }
ROUNDS=${ROUNDS:-15}
jpg=${1:-/usr/share/backgrounds/Infinite-Sea_by_Aury88.jpg}
echo "== $(basename "$jpg") ($(identify -format '%wx%h %[interlace]' "$jpg")), $ROUNDS rounds, $(nproc) cores"
echo "  load before: $(uptime | sed 's/.*load/load/')"
free=$("$DRIVER" --rounds "$ROUNDS" "$jpg")
held=$(taskset -c 0 "$DRIVER" --rounds "$ROUNDS" "$jpg")
echo "  load after: $(uptime | sed 's/.*load/load/')"
python3 -c "
import sys, statistics as st
rows = lambda text: [list(map(float, l.split())) for l in text.splitlines() if l.strip()]
free, held = rows(sys.argv[1]), rows(sys.argv[2])
med = lambda rs, i: st.median(r[i] for r in rs)
# Columns: ours on one thread, ours on the pool, ours at 1/8, turbo, turbo 1/8.
r = sorted(x[0] / x[1] for x in free)
print(f'  ours on one thread {med(free, 0):.4f}s, on the pool {med(free, 1):.4f}s: '
      f'{st.median(r):.2f}x faster (spread {r[0]:.2f}-{r[-1]:.2f})')
print(f'  ours on the pool held to one core {med(held, 1):.4f}s (spread {min(x[1] for x in held):.4f}-'
      f'{max(x[1] for x in held):.4f}), free {med(free, 1):.4f}s (spread {min(x[1] for x in free):.4f}-'
      f'{max(x[1] for x in free):.4f}): {med(held, 1) / med(free, 1):.2f}x faster')
print(f'  libjpeg-turbo {med(free, 3):.4f}s')" "$free" "$held"
