/* Test-only: writes and reads TIFF sample layouts tiffcp cannot make or
 * report, through libtiff's own codecs.
 *   tiff_sample_tool write OUT.tif ORDER(l|b) COMPRESSION SPP BITS FORMAT PLANAR PREDICTOR W H
 *     reads W x H x SPP native samples of BITS bits (FORMAT 1 unsigned,
 *     3 float) from standard input, chunky, and writes them with one strip
 *     per 8 rows; compressions 34676 and 34677 store SGI LogLuv (RLE or
 *     24-bit) from 32-bit floats (one sample: Y, three samples: X, Y, Z).
 *   tiff_sample_tool read IN.tif
 *     writes the first page's samples to standard output as 32-bit floats
 *     (SGI LogLuv decoded to Y or to X, Y, Z). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tiffio.h>

static int writeFile(char** argv)
{
    const char* mode = argv[3][0] == 'b' ? "wb" : "wl";
    uint32_t comp = atoi(argv[4]), spp = atoi(argv[5]), bits = atoi(argv[6]), fmt = atoi(argv[7]);
    uint32_t planar = atoi(argv[8]), pred = atoi(argv[9]), w = atoi(argv[10]), h = atoi(argv[11]);
    int logluv = comp == COMPRESSION_SGILOG || comp == COMPRESSION_SGILOG24;
    uint32_t inBits = logluv ? 32 : bits;
    size_t pixelBytes = (size_t)spp * inBits / 8, n = (size_t)w * h * pixelBytes;
    unsigned char* data = malloc(n);
    if (!data || fread(data, 1, n, stdin) != n) return 1;
    TIFF* out = TIFFOpen(argv[2], mode);
    if (!out) return 1;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(out, TIFFTAG_COMPRESSION, comp);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, 8);
    if (logluv) {
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, spp == 1 ? PHOTOMETRIC_LOGL : PHOTOMETRIC_LOGLUV);
        TIFFSetField(out, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
        TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    } else {
        TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(out, TIFFTAG_SAMPLEFORMAT, fmt);
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, spp == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(out, TIFFTAG_PLANARCONFIG, planar);
        if (pred > 1) TIFFSetField(out, TIFFTAG_PREDICTOR, pred);
        if (spp == 4) {
            uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(out, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
    }
    size_t sampleBytes = inBits / 8;
    unsigned char* row = malloc((size_t)w * pixelBytes);
    for (uint32_t s = 0; s < (planar == 2 ? spp : 1); ++s)
        for (uint32_t y = 0; y < h; ++y) {
            const unsigned char* src = data + (size_t)y * w * pixelBytes;
            if (planar == 2) {
                for (uint32_t x = 0; x < w; ++x)
                    memcpy(row + x * sampleBytes, src + x * pixelBytes + s * sampleBytes, sampleBytes);
            } else {
                memcpy(row, src, (size_t)w * pixelBytes);
            }
            if (TIFFWriteScanline(out, row, y, (uint16_t)s) < 0) return 1;
        }
    TIFFClose(out);
    free(row);
    free(data);
    return 0;
}

static int readFile(char** argv)
{
    TIFF* in = TIFFOpen(argv[2], "r");
    if (!in) return 1;
    uint16_t photometric = 0, spp = 1;
    uint32_t w = 0, h = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric);
    if (photometric == PHOTOMETRIC_LOGL || photometric == PHOTOMETRIC_LOGLUV)
        TIFFSetField(in, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
    tmsize_t size = TIFFScanlineSize(in);
    unsigned char* row = malloc((size_t)size);
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(in, row, y, 0) < 0) return 1;
        fwrite(row, 1, (size_t)size, stdout);
    }
    TIFFClose(in);
    free(row);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 12 && strcmp(argv[1], "write") == 0) return writeFile(argv);
    if (argc == 3 && strcmp(argv[1], "read") == 0) return readFile(argv);
    fprintf(stderr, "usage: see the comment at the top\n");
    return 2;
}
