#!/bin/bash
# Palette reduction of a large photograph to 256 colours with Floyd-Steinberg
# style dithering, ours against ImageMagick on one thread, plus the PSNR of
# each result against the photograph.
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
