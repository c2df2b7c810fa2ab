#!/bin/bash
# Speed of the 16-to-8-bit reductions (plain and dithered, colour and grey)
# and of the decode driver's CMYK-to-RGB conversion, in megapixels per second
# of one pass: the difference between whole runs with REPEATS passes and with
# none, so reading the photograph and preparing it do not count.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PPM=$(photo_ppm)
DRIVER=$BUILD/bench/bench_convert
REPEATS=${REPEATS:-10}
MP=$(head -c 64 "$PPM" | tr -s ' \n' '  ' | awk '{print $2 * $3 / 1e6}')
echo "photo: $MP MP, $REPEATS passes"
for mode in rgba16 rgba16-dither gray16 gray16-dither cmyk; do
  base=$(median_seconds "convert-$mode-0" "$DRIVER $mode $PPM 0")
  full=$(median_seconds "convert-$mode-$REPEATS" "$DRIVER $mode $PPM $REPEATS")
  python3 -c "import sys; b,f,n,mp=map(float,sys.argv[1:5]); print(f'{sys.argv[5]}: {n*mp/max(f-b,1e-9):.0f} MP/s per pass')" \
    "$base" "$full" "$REPEATS" "$MP" "$mode"
done
