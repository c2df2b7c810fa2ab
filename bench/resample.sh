#!/bin/bash
# Resampling side by side with ImageMagick and libvips (one thread each; ours
# on the task pool), whole processes that read and write PPM; then the
# B-splines against Catmull-Rom on the same resizes, in one process, timing
# the resample alone. Input: the 6028 x 3391 photograph of
# lomiri-wallpapers-20.04, decoded once by djpeg.
#   bench/resample.sh            (RUNS=n for more runs per command)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OURS="$BUILD/bench/bench_resample"
[ -x "$OURS" ] || { echo "build first: $OURS missing" >&2; exit 1; }

IN="$OUT/kleiber.ppm"
if [ ! -s "$IN" ]; then
  jpg=""
  for f in /usr/share/backgrounds/*.jpg; do
    if [ "$(identify -format '%wx%h' "$f" 2>/dev/null)" = "6028x3391" ]; then jpg=$f; break; fi
  done
  [ -n "$jpg" ] || { echo "the 6028 x 3391 photograph is missing (lomiri-wallpapers-20.04)" >&2; exit 1; }
  djpeg -pnm "$jpg" > "$IN"
fi

# Debian's ImageMagick policy caps pixel caches at 256 MiB of memory and
# 1 GiB of disk, which an enlargement to 128 megapixels exceeds; give it the
# room it needs so that it runs at all.
POLICY="$OUT/magick-policy"
mkdir -p "$POLICY"
cat > "$POLICY/policy.xml" <<'EOF'
<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="width" value="64KP"/>
  <policy domain="resource" name="height" value="64KP"/>
  <policy domain="resource" name="area" value="4GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>
EOF
IM="env MAGICK_CONFIGURE_PATH=$POLICY convert -limit thread 1"
VIPS="env VIPS_CONCURRENCY=1 vips"

compare "Catmull-Rom to 1800x1013 vs ImageMagick" \
  "$OURS resize $IN $OUT/ours-down.ppm 1800 1013 3" \
  "$IM $IN -filter Catrom -resize 1800x1013! $OUT/im-down.ppm"
compare "Catmull-Rom to 1800x1013 vs libvips" \
  "$OURS resize $IN $OUT/ours-down.ppm 1800 1013 3" \
  "$VIPS resize $IN $OUT/vips-down.ppm 0.2986 --kernel cubic"
# 3391 rows do not halve exactly: the cubic pass and the box averaging.
compare "Catmull-Rom to 50% (3014x1695) vs ImageMagick" \
  "$OURS resize $IN $OUT/ours-down.ppm 3014 1695 3" \
  "$IM $IN -filter Catrom -resize 3014x1695! $OUT/im-down.ppm"
compare "Catmull-Rom x2.5 vs ImageMagick" \
  "$OURS resize $IN $OUT/ours-up.ppm 15070 8478 3" \
  "$IM $IN -filter Catrom -resize 15070x8478! $OUT/im-up.ppm"
# ImageMagick has no interpolating B-spline; its cubic B-spline filter
# (Spline) does the same amount of work per pixel.
compare "cubic B-spline x2.5 vs ImageMagick" \
  "$OURS resize $IN $OUT/ours-up.ppm 15070 8478 6" \
  "$IM $IN -filter Spline -resize 15070x8478! $OUT/im-up.ppm"
compare "box reduction by 4 vs libvips" \
  "$OURS shrink $IN $OUT/ours-shrink.ppm 4" \
  "vips shrink $IN $OUT/vips-shrink.ppm 4 4"
rm -f "$OUT"/ours-up.ppm "$OUT"/im-up.ppm

# The B-splines are to cost at most twice Catmull-Rom on the same resize. Filter
# ids: 3 Catmull-Rom, 5 to 8 B-splines of degree 2 to 5. On every core, then
# on one (BANDS=1), which a machine shared with other work disturbs less.
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
for bands in "" 1; do
  for size in "3014 1695" "1800 1013"; do
    for filter in 6 8; do
      echo -n "B-spline (filter $filter) vs Catmull-Rom to ${size/ /x}${bands:+, one thread}: "
      BANDS=$bands "$OURS" pair "$IN" $size $filter 3 "${RUNS:-15}"
    done
  done
done
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

# Peak memory of one reduction: the source, the destination and a few rows
# per band.
/usr/bin/time -f "peak RSS, Catmull-Rom to 1800x1013: %M KiB" "$OURS" resize "$IN" "$OUT/ours-down.ppm" 1800 1013 3
