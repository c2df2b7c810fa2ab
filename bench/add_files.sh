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

# The silent run ends with an error by design (no output folder), so its
# status is not checked.
SPREAD_CHECK=0 PEER_NAME="ls -l" spread "add $FILES files" "$BUILD/quillon -silent $OUT/add_files.qpt $DIR" "ls -l $DIR"
