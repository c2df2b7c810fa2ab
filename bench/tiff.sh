#!/bin/bash
# TIFF side by side on the 20-megapixel photograph:
# - LZW decode against tiffcp rewriting the same file uncompressed;
# - JPEG-in-TIFF decode against our own decode of the same JPEG data as a
#   file of its own;
# - LZW with predictor: decode of the uncompressed file and LZW encode
#   against tiffcp -c lzw:2 on it, and the two sizes.
# Each line gives both medians, the median of the per-pair ratios and their
# spread (lowest and highest pair).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The 20-megapixel photograph (6028 x 3391) of the wallpapers.
JPEG_SRC=${JPEG_SRC:-/usr/share/backgrounds/Kleiber_by_Lukas_Baubkus.jpg}
PPM="$OUT/photo20.ppm"
[ -s "$PPM" ] || djpeg -pnm "$JPEG_SRC" > "$PPM"
DRIVER=$BUILD/bench/bench_tiff
[ -x "$DRIVER" ] || { echo "build first: $DRIVER missing"; exit 1; }
RUNS=${RUNS:-9}

NONE="$OUT/photo20-none.tif"
LZW="$OUT/photo20-lzw.tif"
[ -s "$NONE" ] || convert "$PPM" -compress None "$NONE"
[ -s "$LZW" ] || tiffcp -c lzw "$NONE" "$LZW"
spread "LZW decode vs tiffcp -c none" "$DRIVER decode $LZW" "tiffcp -c none $LZW $OUT/peer-none.tif"

JTIF="$OUT/photo20-jpeg.tiff"
JPG="$OUT/photo20-strip.jpg"
"$DRIVER" convert "$NONE" "$JTIF" "JPEG, by Quality:"
"$DRIVER" strip "$JTIF" "$JPG"
spread "JPEG-in-TIFF decode vs our JPEG decode" "$DRIVER decode $JTIF" "$DRIVER decode $JPG"

spread "LZW:2 encode vs tiffcp -c lzw:2" "$DRIVER convert $NONE $OUT/ours-lzw2.tiff LZW\\ compressed" \
  "tiffcp -c lzw:2 $NONE $OUT/peer-lzw2.tif"
tiffcp -c lzw:2 -r 100000 "$NONE" "$OUT/peer-lzw2-onestrip.tif"
python3 -c "import os,sys; a,b,c=(os.path.getsize(p) for p in sys.argv[1:]); print(f'LZW:2 size: ours {a}, tiffcp {b} ({a/b-1:+.2%}), tiffcp in one strip {c} ({a/c-1:+.2%})')" \
  "$OUT/ours-lzw2.tiff" "$OUT/peer-lzw2.tif" "$OUT/peer-lzw2-onestrip.tif"
