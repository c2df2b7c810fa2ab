#!/bin/bash
# Palette reduction of a large photograph to 256 colours with Floyd-Steinberg
# style dithering, ours against ImageMagick on one thread, plus the PSNR of
# each result against the photograph; then the speed of the 16-to-8-bit
# reductions, derived from runs with 0 and REPEATS passes.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
PPM=$(photo_ppm)
DRIVER=$BUILD/bench/bench_quantize
read -r W H < <(head -c 64 "$PPM" | tr -s ' \n' '  ' | awk '{print $2, $3}')
echo "photo: $W x $H ($(python3 -c "print(f'{$W*$H/1e6:.1f}')") MP)"

compare "quantize 256 dither" "$DRIVER quantize $PPM $OUT/ours-dither.ppm 256" \
  "convert -limit thread 1 $PPM -dither FloydSteinberg -colors 256 $OUT/peer-dither.ppm"
compare "quantize 256 plain" "$DRIVER quantize $PPM $OUT/ours-plain.ppm 256 plain" \
  "convert -limit thread 1 $PPM +dither -colors 256 $OUT/peer-plain.ppm"

psnr() { command compare -metric PSNR "$PPM" "$1" null: 2>&1 || true; }
echo "PSNR dither: ours $(psnr "$OUT/ours-dither.ppm") dB, peer $(psnr "$OUT/peer-dither.ppm") dB"
echo "PSNR plain:  ours $(psnr "$OUT/ours-plain.ppm") dB, peer $(psnr "$OUT/peer-plain.ppm") dB"

REPEATS=${REPEATS:-10}
for mode in "convert16" "convert16 dither" "gray16" "gray16 dither"; do
  set -- $mode; opt=${2:-}
  base=$(median_seconds "${1}0$opt" "$DRIVER $1 $PPM 0 $opt")
  full=$(median_seconds "${1}${REPEATS}$opt" "$DRIVER $1 $PPM $REPEATS $opt")
  python3 -c "import sys; b,f,n,mp=float(sys.argv[1]),float(sys.argv[2]),int(sys.argv[3]),float(sys.argv[4]); print(f'{sys.argv[5]}: {n*mp/max(f-b,1e-9):.0f} MP/s per pass')" \
    "$base" "$full" "$REPEATS" "$(python3 -c "print($W*$H/1e6)")" "$mode"
done
