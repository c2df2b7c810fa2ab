#!/bin/bash
# PNG side by side on the 20-megapixel photograph (as PPM): "Normal" encoding
# against single-threaded libvips, file sizes against ImageMagick's default
# PNG, "Super optimized" against "Normal", and decoding against netpbm's
# pngtopam on the same file. Prints median ratios (ours over the peer's)
# with the lowest and highest pairwise ratio as the spread.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PPM="$OUT/kleiber.ppm"
[ -s "$PPM" ] || djpeg -pnm /usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg > "$PPM"
DRIVER=$BUILD/bench/bench_png
# Our encoder deflates large frames on every core; the machine's load says
# how many of them it really had.
echo "png bench: $(nproc) cores, load before:$(uptime | sed 's/.*load average://')"

# pairs LABEL 'OURS' 'PEER': alternate runs after a warm-up of each
# (WARMUP=0 skips it).
pairs() {
  python3 - "${RUNS:-5}" "${WARMUP:-1}" "$@" <<'PY'
import statistics, subprocess, sys, time
runs, warmup, label, ours, peer = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
def run(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t
if warmup:
    run(ours); run(peer)
a, b = [], []
for _ in range(runs):
    a.append(run(ours)); b.append(run(peer))
r = [x / y for x, y in zip(a, b)]
print(f"{label}: ours {statistics.median(a):.3f}s, peer {statistics.median(b):.3f}s, "
      f"ratio {statistics.median(r):.2f} (spread {min(r):.2f}-{max(r):.2f}, {runs} pairs)")
PY
}

pairs "png Normal encode vs vips copy" \
  "$DRIVER encode $PPM $OUT/ours-normal.png Normal" \
  "VIPS_CONCURRENCY=1 vips copy $PPM $OUT/vips.png"
[ -s "$OUT/im-default.png" ] || convert "$PPM" "$OUT/im-default.png"
RUNS=${SUPER_RUNS:-1} WARMUP=0 pairs "png Super optimized encode vs Normal" \
  "$DRIVER encode $PPM $OUT/ours-super.png Super\\ optimized" \
  "$DRIVER encode $PPM $OUT/ours-normal.png Normal"
normal=$(stat -c %s "$OUT/ours-normal.png")
super=$(stat -c %s "$OUT/ours-super.png")
im=$(stat -c %s "$OUT/im-default.png")
vips=$(stat -c %s "$OUT/vips.png")
python3 -c "import sys; n,s,i,v=map(int,sys.argv[1:]); print(f'png sizes: Normal {n}, Super optimized {s} ({(1-s/n)*100:.1f}% smaller), ImageMagick default {i} (Normal/IM {n/i:.3f}), vips {v}')" \
  "$normal" "$super" "$im" "$vips"
pairs "png decode vs pngtopam (our Normal file)" \
  "$DRIVER decode $OUT/ours-normal.png" \
  "pngtopam $OUT/ours-normal.png > /dev/null"
pairs "png decode vs pngtopam (ImageMagick's file)" \
  "$DRIVER decode $OUT/im-default.png" \
  "pngtopam $OUT/im-default.png > /dev/null"
echo "png bench: load after:$(uptime | sed 's/.*load average://')"
