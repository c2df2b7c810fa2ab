#!/bin/bash
# Group 4 decoding of an A4 page at 300 dpi (2480 x 3508): ours against
# "tiffcp -c none" on the same file. Two pages: typed text, and text with a
# dithered photograph (far more changes per row).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

page="$OUT/fax-page"
if [ ! -s "$page-text-g4.tif" ] || [ ! -s "$page-photo-g4.tif" ]; then
  para="Quillon converts batches of raster images. This page is typed text at 300 dpi, the usual content of a fax: lines of letters with white margins and white space between the lines."
  pbmtext -builtin fixed "$para" | pamenlarge 3 > "$page-line.pbm"
  pbmmake -white 2480 20 > "$page-gap.pbm"
  pamcat -tb "$page-line.pbm" "$page-gap.pbm" | pamtopnm | pnmtile 2200 3228 > "$page-body.pbm"
  pnmpad -white -left 140 -right 140 -top 140 -bottom 140 "$page-body.pbm" > "$page-text.pbm"
  djpeg -grayscale "$(ls -S /usr/share/backgrounds/*.jpg | head -n 1)" | pamscale -xysize 2200 1200 \
    | pamditherbw -floyd | pamtopnm | pnmpad -white -width 2200 -height 1200 > "$page-photo-part.pbm"
  pamcut -top 0 -height 2028 "$page-body.pbm" > "$page-top.pbm"
  pamcat -tb "$page-top.pbm" "$page-photo-part.pbm" | pamtopnm \
    | pnmpad -white -left 140 -right 140 -top 140 -bottom 140 > "$page-photo.pbm"
  for kind in text photo; do
    pnmtotiff -miniswhite "$page-$kind.pbm" > "$page-$kind.tif" 2>/dev/null
    tiffcp -c g4 -r 100000 "$page-$kind.tif" "$page-$kind-g4.tif"
  done
fi

for kind in text photo; do
  # Both decodings must agree before they are timed.
  "$BUILD/bench/bench_fax" "$page-$kind-g4.tif" "$OUT/fax-ours.pbm"
  tiffcp -c none "$page-$kind-g4.tif" "$OUT/fax-peer.tif"
  if ! tifftopnm "$OUT/fax-peer.tif" 2>/dev/null | cmp -s - "$OUT/fax-ours.pbm"; then
    echo "fax bench: our decoding of the $kind page differs from libtiff's" >&2
    exit 1
  fi
  compare "G4 A4 300 dpi $kind page" \
    "$BUILD/bench/bench_fax $page-$kind-g4.tif $OUT/fax-ours.pbm" \
    "tiffcp -c none $page-$kind-g4.tif $OUT/fax-peer.tif"
done
