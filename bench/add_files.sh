#!/bin/bash
# Adding a folder of many small images to the input list, whole process,
# side by side with `ls -l` listing the same folder. The run is silent with
# a preset that names no output folder, so it ends as soon as the list is
# filled (the output check stops it). FILES sets the count (100000).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
FILES=${FILES:-100000}
DIR="$OUT/add_files_$FILES"
if [ ! -f "$DIR/.complete" ]; then
  rm -rf "$DIR"
  mkdir -p "$DIR"
  convert -size 2x2 xc:teal -type TrueColor BMP3:"$OUT/add_files_one.bmp"
  python3 - "$OUT/add_files_one.bmp" "$DIR" "$FILES" <<'PY'
import os, sys
data = open(sys.argv[1], 'rb').read()
for i in range(int(sys.argv[3])):
    with open(os.path.join(sys.argv[2], f"img{i:06d}.bmp"), 'wb') as f:
        f.write(data)
PY
  touch "$DIR/.complete"
fi
CFG="$OUT/add_files_cfg"
mkdir -p "$CFG"
printf '[Quillon]\nszOutDir=\nbSaveInSrcDirs=0\n' > "$OUT/add_files.qpt"
export XDG_CONFIG_HOME="$CFG" QT_QPA_PLATFORM=offscreen

python3 - "${RUNS:-7}" "$BUILD/quillon -silent $OUT/add_files.qpt $DIR" "ls -l $DIR" "$FILES" <<'PY'
import shlex, statistics, subprocess, sys, time
runs, ours, peer, files = int(sys.argv[1]), shlex.split(sys.argv[2]), shlex.split(sys.argv[3]), sys.argv[4]
def run(cmd):
    t = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - t
run(ours); run(peer)
a, b = [], []
for _ in range(runs):
    a.append(run(ours)); b.append(run(peer))
r = sorted(x / y for x, y in zip(a, b))
print(f"add {files} files: ours {statistics.median(a):.3f}s, ls -l {statistics.median(b):.3f}s, "
      f"ratio median {statistics.median(r):.2f} (min {r[0]:.2f}, max {r[-1]:.2f}, {runs} pairs)")
PY
