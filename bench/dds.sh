#!/bin/bash
# DDS writing side by side with ImageMagick, whole processes: DXT5 with its
# mip-map chain of a 1024 x 1024 photograph (the largest wallpaper scaled),
# then of the wallpaper itself at 4096 x 4096 (RUNS_LARGE pairs, 3 by
# default; 0 skips it). ImageMagick writes DXT1 for a picture without alpha
# even when asked for DXT5, so its input gets an opaque alpha channel. Both
# read the same PPM and write the full chain (11 and 13 levels).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
DRIVER=$BUILD/bench/bench_dds
JPG=$(ls -S /usr/share/backgrounds/*.jpg | head -n 1)
SMALL="$OUT/dds-photo1024.ppm"
LARGE="$OUT/dds-photo4096.ppm"
[ -s "$SMALL" ] || convert "$JPG" -resize '1024x1024!' "$SMALL"
[ -s "$LARGE" ] || convert "$JPG" -resize '4096x4096!' "$LARGE"
# Our encoder searches rows of blocks on every core; the load says how many
# of them it really had.
echo "dds bench: $(nproc) cores, load before:$(uptime | sed 's/.*load average://')"
compare "dds DXT5 mip-mapped 1024x1024" "$DRIVER $SMALL $OUT/ours1024.dds" \
  "convert $SMALL -alpha set -define dds:compression=dxt5 $OUT/peer1024.dds" "$OUT/ours1024.dds" "$OUT/peer1024.dds"
if [ "${RUNS_LARGE:-3}" -gt 0 ]; then
  RUNS=${RUNS_LARGE:-3} compare "dds DXT5 mip-mapped 4096x4096" "$DRIVER $LARGE $OUT/ours4096.dds" \
    "convert $LARGE -alpha set -define dds:compression=dxt5 $OUT/peer4096.dds" "$OUT/ours4096.dds" "$OUT/peer4096.dds"
fi
