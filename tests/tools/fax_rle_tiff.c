/* Test-only: rewrites an uncompressed bilevel TIFF with libtiff's Modified
 * Huffman coders (compression 2 or 32771), which tiffcp cannot select.
 * usage: fax_rle_tiff in.tif out.tif compression fill-order(1|2) */
#include <stdio.h>
#include <stdlib.h>
#include <tiffio.h>

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s in.tif out.tif compression fill-order\n", argv[0]);
        return 2;
    }
    TIFF* in = TIFFOpen(argv[1], "r");
    if (!in) return 1;
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(in, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(in, TIFFTAG_PHOTOMETRIC, &photometric);
    if (bits != 1 || width == 0 || height == 0) return 1;
    TIFF* out = TIFFOpen(argv[2], "w");
    if (!out) return 1;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(out, TIFFTAG_COMPRESSION, atoi(argv[3]));
    TIFFSetField(out, TIFFTAG_FILLORDER, atoi(argv[4]) == 2 ? FILLORDER_LSB2MSB : FILLORDER_MSB2LSB);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, height);
    tsize_t rowBytes = TIFFScanlineSize(in);
    unsigned char* row = (unsigned char*)_TIFFmalloc(rowBytes);
    if (!row) return 1;
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(in, row, y, 0) < 0) return 1;
        if (TIFFWriteScanline(out, row, y, 0) < 0) return 1;
    }
    _TIFFfree(row);
    TIFFClose(in);
    TIFFClose(out);
    return 0;
}
