#!/bin/bash
# Shared helpers for the side-by-side benchmarks. Whole processes are timed
# after a warm-up; ratios are ours over the peer's.
set -euo pipefail
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$BENCH_DIR/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
OUT=${OUT:-$ROOT/bench/out}
mkdir -p "$OUT"

# The largest photograph of Debian's lomiri-wallpapers-20.04, as PPM.
photo_ppm() {
  local ppm="$OUT/photo.ppm"
  if [ ! -s "$ppm" ]; then
    local jpg
    jpg=$(ls -S /usr/share/backgrounds/*.jpg | head -n 1)
    djpeg -pnm "$jpg" > "$ppm"
  fi
  echo "$ppm"
}

# median_seconds NAME COMMAND...: median wall time of whole-process runs.
median_seconds() {
  local name=$1; shift
  hyperfine -N --warmup 1 --runs "${RUNS:-5}" --export-json "$OUT/$name.json" "$*" >/dev/null 2>&1
  python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][0]['median'])" "$OUT/$name.json"
}

# compare LABEL OURS PEER [OURS_OUTPUT PEER_OUTPUT]: runs the two alternately
# (bench/pairs.py), failing when either fails or leaves no output, and prints
# both medians, the median of the per-pair ratios and their range.
compare() {
  local label=$1 ours=$2 peer=$3
  shift 3
  local line
  line=$(python3 "$BENCH_DIR/pairs.py" "${RUNS:-7}" "$ours" "$peer" "$@") || exit 1
  read -r a b r lo hi <<<"$line"
  python3 -c "import sys; a,b,r,lo,hi=map(float,sys.argv[2:]); print(f'{sys.argv[1]}: ours {a:.3f}s, peer {b:.3f}s, ratio {r:.2f} (range {lo:.2f}-{hi:.2f})')" "$label" "$a" "$b" "$r" "$lo" "$hi"
}

# mae A B: the mean absolute difference (0..1) of two pictures, by
# ImageMagick's compare.
mae() {
  command compare -metric MAE "$1" "$2" null: 2>&1 | sed 's/.*(\(.*\))/\1/'
}

# usage NAME DIR COMMAND...: empties DIR, runs COMMAND once and prints its
# wall time, cores used (CPU time of every process over wall time) and peak
# resident memory (of the largest process).
usage() {
  local name=$1 dir=$2
  shift 2
  rm -rf "$dir" && mkdir -p "$dir"
  /usr/bin/time -f "%M %e %U %S" "$@" 2>&1 >/dev/null | tail -n 1 |
    awk -v n="$name" '{ printf "  %s: %.2fs, %.1f cores on average, peak RSS %.0f MiB\n", n, $2, ($3 + $4) / ($2 > 0 ? $2 : 1), $1 / 1024 }'
}

# spread LABEL OURS PEER: runs the two whole commands alternately RUNS times
# after a warm-up of each and prints both medians and the median of the
# per-pair ratios with their spread (lowest and highest pair). A failing run
# stops the benchmark unless SPREAD_CHECK=0; PEER_NAME names the peer.
spread() {
  python3 - "${RUNS:-7}" "${SPREAD_CHECK:-1}" "${PEER_NAME:-peer}" "$@" <<'PY'
import shlex, statistics, subprocess, sys, time
runs, check, peer_name = int(sys.argv[1]), sys.argv[2] == "1", sys.argv[3]
label, ours, peer = sys.argv[4], shlex.split(sys.argv[5]), shlex.split(sys.argv[6])
def run(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=check)
    return time.perf_counter() - t
run(ours); run(peer)
a, b = [], []
for _ in range(runs):
    a.append(run(ours)); b.append(run(peer))
r = sorted(x / y for x, y in zip(a, b))
print(f"{label}: ours {statistics.median(a):.3f}s, {peer_name} {statistics.median(b):.3f}s, "
      f"ratio median {statistics.median(r):.2f} (spread {r[0]:.2f}-{r[-1]:.2f}, {runs} pairs)")
PY
}

# bmp_photos N: prints N BMP files (any number), the four wallpapers as
# BMP in turn (4096x2304, 4096x4096, 6028x3391 and 6000x4000). Real copies,
# not links: the batch drops a file it already holds (same device and
# inode), so linked names would let it convert four files where the peers
# convert them all.
bmp_photos() {
  local n=$1 in="$OUT/batch-photos" i=0 p f
  mkdir -p "$in"
  local photos=(/usr/share/backgrounds/*.jpg)
  for p in "${photos[@]}"; do
    f="$in/$(basename "$p" .jpg).bmp"
    [ -s "$f" ] || convert "$p" BMP3:"$f"
  done
  while [ "$i" -lt "$n" ]; do
    for p in "${photos[@]}"; do
      [ "$i" -lt "$n" ] || break
      f="$in/n$i.bmp"
      if [ ! -s "$f" ] || [ "$(stat -c %h "$f")" != 1 ]; then
        rm -f "$f"
        cp "$in/$(basename "$p" .jpg).bmp" "$f"
      fi
      echo "$f"
      i=$((i + 1))
    done
  done
}

# jpeg_photos N: prints N distinct JPEG photographs (N at most 16), made once
# from the four wallpapers: each as it is, turned a quarter (jpegtran,
# lossless), cropped to 90% (jpegtran, lossless), and cropped to 80%, turned
# half a turn and re-encoded by ImageMagick at quality 88 (2x2 subsampled
# colour), so the set mixes baseline and progressive, 4:4:4, 4:2:2 and 4:2:0.
jpeg_photos() {
  local n=$1 dir="$OUT/jpeg-photos" made=0 p name w h v f
  mkdir -p "$dir"
  for v in 0 1 2 3; do
    for p in /usr/share/backgrounds/*.jpg; do
      [ "$made" -lt "$n" ] || return 0
      name=$(basename "$p" .jpg)
      f="$dir/$name-v$v.jpg"
      if [ ! -s "$f" ]; then
        read -r w h < <(identify -format '%w %h\n' "$p")
        case $v in
          0) cp "$p" "$f.tmp" ;;
          1) jpegtran -copy none -rotate 90 -trim -outfile "$f.tmp" "$p" ;;
          2) jpegtran -copy none -crop "$((w * 9 / 10))x$((h * 9 / 10))+$((w / 20))+$((h / 20))" -outfile "$f.tmp" "$p" ;;
          3) convert "$p" -crop "$((w * 8 / 10))x$((h * 8 / 10))+$((w / 10))+$((h / 10))" +repage -rotate 180 \
               -quality 88 -sampling-factor 2x2 "$f.tmp" ;;
        esac
        mv "$f.tmp" "$f"
      fi
      echo "$f"
      made=$((made + 1))
    done
  done
}

# check_outputs DIR: every one of the caller's "inputs" has DIR/NAME.jpg,
# WIDTH wide and as high as the input's aspect gives, give or take one row
# for rounding.
check_outputs() {
  local dir=$1 f out w h ow oh bad=0
  for f in "${inputs[@]}"; do
    out="$dir/$(basename "$f")"
    if [ ! -s "$out" ]; then
      echo "missing output $out" >&2
      bad=1
      continue
    fi
    read -r w h < <(identify -format '%w %h\n' "$f")
    read -r ow oh < <(identify -format '%w %h\n' "$out")
    if [ "$ow" != "$WIDTH" ] || [ $(((oh * w - h * WIDTH) ** 2)) -gt $((w * w)) ]; then
      echo "$out is ${ow}x${oh}, not $WIDTH wide with the aspect of ${w}x${h}" >&2
      bad=1
    fi
  done
  return $bad
}
