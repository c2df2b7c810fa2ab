// TIFF strip and tile decoding: each segment is decompressed, its rows are
// brought to native byte order, the predictor is undone and the samples are
// placed in the image, clipped to it. Rows a damaged or short segment does
// not reach are zeroed and the decode reports a corrupt file.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/main/fax.h"
#include "codecs/main/jpeg_decoder.h"
#include "codecs/main/tiff.h"
#include "codecs/main/tiff_internal.h"
#include "core/bitpack.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "platform/memory.h"

namespace quillon {

using namespace tiff_internal;

// ---- pure helpers ----

namespace {

// The 256 one-byte strings, with room to read 16 bytes from any of them.
struct LzwLiterals {
    uint8_t v[256 + 16];
    constexpr LzwLiterals() : v()
    {
        for (int i = 0; i < 256; ++i) v[i] = uint8_t(i);
    }
};
constexpr LzwLiterals kLzwLiterals{};

} // namespace

TiffLzwResult tiffLzwDecode(uint8_t* out, const uint8_t* in, size_t outLength, size_t inLength)
{
    // Every string is a copy of earlier output (or one of the literals): an
    // entry is where it lies and how long it is, and a new entry is the
    // previous string and the first byte of the current one, which follow
    // each other in the output.
    struct Entry {
        const uint8_t* src;
        size_t length;
    };
    Entry table[4096];
    for (uint32_t i = 0; i < 256; ++i) table[i] = {kLzwLiterals.v + i, 1};
    TiffLzwResult r;
    uint8_t* const begin = out;
    uint8_t* const end = out + outLength;
    size_t inPos = 0;
    uint64_t bits = 0;  // the low `count` bits are unread input
    int count = 0;
    uint32_t width = 9, grow = 511;
    uint32_t next = 258;
    const uint8_t* prev = nullptr;  // the previous string's output; null after a clear
    size_t prevLength = 0;
    for (;;) {
        if (count < int(width)) {
            if (inPos + 8 <= inLength) {
                // Whole bytes up to 63 bits at once.
                uint64_t v;
                std::memcpy(&v, in + inPos, 8);
                v = __builtin_bswap64(v);
                int n = (63 - count) >> 3;
                bits = (bits << (8 * n)) | (v >> (64 - 8 * n));
                inPos += size_t(n);
                count += 8 * n;
            } else {
                while (count < int(width) && inPos < inLength) bits = (bits << 8) | in[inPos++], count += 8;
                if (count < int(width)) break;
            }
        }
        count -= int(width);
        const uint32_t code = uint32_t(bits >> count) & ((1u << width) - 1);
        if (code == 256) {
            width = 9;
            grow = 511;
            next = 258;
            prev = nullptr;
            continue;
        }
        if (code == 257 || out >= end) break;
        uint8_t* const here = out;
        size_t length;
        if (code < next && (prev || code < 256)) {
            const Entry e = table[code];
            length = e.length;
            if (length <= 4 && end - out >= 4) {
                // Byte copies: a string that ends where the last one was
                // just stored is read back without waiting for the stores.
                out[0] = e.src[0];
                if (length > 1) out[1] = e.src[1];
                if (length > 2) out[2] = e.src[2];
                if (length > 3) out[3] = e.src[3];
                out += length;
            } else if (length <= 16 && end - out >= 16) {
                // Sixteen bytes at once: the string ends at or before `out`,
                // and what is copied past its end lands past ours, where
                // later codes write again.
                uint64_t a, b;
                std::memcpy(&a, e.src, 8);
                std::memcpy(&b, e.src + 8, 8);
                std::memcpy(out, &a, 8);
                std::memcpy(out + 8, &b, 8);
                out += length;
            } else {
                size_t n = std::min<size_t>(length, size_t(end - out));
                std::memmove(out, e.src, n);
                out += n;
            }
        } else if (prev && code == next && next < 4096) {
            // The string being defined: the previous one and its own first byte.
            length = prevLength + 1;
            size_t n = std::min<size_t>(length, size_t(end - out));
            for (size_t i = 0; i < n; ++i) out[i] = prev[i];
            out += n;
        } else {
            r.damaged = true;
            break;
        }
        if (prev && next < 4096) {
            table[next] = {prev, prevLength + 1};
            if (++next == grow && width < 12) {
                ++width;
                grow = grow * 2 + 1;
            }
        }
        prev = here;
        prevLength = length;
    }
    r.consumed = inPos - size_t(count / 8);
    r.produced = size_t(out - begin);
    return r;
}

void tiffUnpredictRow(uint8_t* row, uint32_t pixels, uint32_t samples, uint32_t bytesPerSample)
{
    size_t n = size_t(pixels) * samples;
    if (bytesPerSample == 1) {
        for (size_t i = samples; i < n; ++i) row[i] = uint8_t(row[i] + row[i - samples]);
    } else if (bytesPerSample == 2) {
        uint16_t* p = reinterpret_cast<uint16_t*>(row);
        for (size_t i = samples; i < n; ++i) p[i] = uint16_t(p[i] + p[i - samples]);
    } else if (bytesPerSample == 4) {
        uint32_t* p = reinterpret_cast<uint32_t*>(row);
        for (size_t i = samples; i < n; ++i) p[i] = p[i] + p[i - samples];
    }
}

float logL16Decode(uint16_t v)
{
    uint32_t le = v & 0x7FFF;
    if (le == 0) return 0.0f;
    float y = float(std::exp2((le + 0.5) / 256.0 - 64.0));
    return (v & 0x8000) ? -y : y;
}

size_t tiffLogLuvRlePlane(uint8_t* out, size_t outLength, size_t step, const uint8_t* in, size_t inLength,
                          size_t* filled)
{
    size_t i = 0, o = 0;
    while (o < outLength && i < inLength) {
        uint32_t b = in[i++];
        if (b >= 128) {
            if (i >= inLength) break;
            uint8_t value = in[i++];
            for (uint32_t n = b - 126; n && o < outLength; --n) out[step * o++] = value;
        } else {
            for (uint32_t n = b; n && o < outLength && i < inLength; --n) out[step * o++] = in[i++];
        }
    }
    *filled = o;
    return i;
}

namespace {

float halfToFloat(uint16_t h)
{
    uint32_t sign = uint32_t(h & 0x8000) << 16;
    uint32_t exp = (h >> 10) & 31, man = h & 0x3FF;
    uint32_t bits;
    if (exp == 0) {
        float f = std::ldexp(float(man), -24);
        return sign ? -f : f;
    } else if (exp == 31) {
        bits = man ? 0xFFC00000u : sign | 0x7F800000u;
    } else {
        bits = sign | ((exp + 112) << 23) | (man << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Sign, 7-bit exponent of bias 63, 16-bit mantissa.
float float24ToFloat(uint32_t v)
{
    uint32_t sign = (v & 0x800000) << 8;
    uint32_t exp = (v >> 16) & 127, man = v & 0xFFFF;
    uint32_t bits;
    if (exp == 0) {
        float f = std::ldexp(float(man), -62 - 16);
        return sign ? -f : f;
    } else if (exp == 127) {
        bits = man ? 0xFFC00000u : sign | 0x7F800000u;
    } else {
        bits = sign | ((exp + 64) << 23) | (man << 7);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// The value of a native-order float sample of 2, 3 or 4 bytes.
inline float floatSample(const uint8_t* p, uint32_t bytes)
{
    if (bytes == 2) return halfToFloat(uint16_t(p[0] | (p[1] << 8)));
    if (bytes == 3) return float24ToFloat(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16));
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

// Floating-point prediction: bytes differenced across the row, stored as
// byte planes, most significant first; gives native (little-endian) samples.
void unpredictFloatRow(uint8_t* row, uint8_t* scratch, uint32_t samples, uint32_t bytesPerSample, uint32_t stride)
{
    size_t n = size_t(samples) * bytesPerSample;
    for (size_t i = stride; i < n; ++i) row[i] = uint8_t(row[i] + row[i - stride]);
    std::memcpy(scratch, row, n);
    for (uint32_t s = 0; s < samples; ++s)
        for (uint32_t b = 0; b < bytesPerSample; ++b)
            row[size_t(s) * bytesPerSample + b] = scratch[size_t(bytesPerSample - 1 - b) * samples + s];
}

// A native-order 16-bit sample wherever it lies: rows read in place from
// the file may start at any byte.
inline uint16_t load16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

void swapSamples(uint8_t* row, size_t samples, uint32_t bytes)
{
    for (size_t i = 0; i < samples; ++i, row += bytes) std::reverse(row, row + bytes);
}

// The SGI LogLuv colour of one pixel: Y and the uv pair through XYZ.
void logLuvToRgb(float y, double u, double v, RgbaF& out)
{
    double x = 0, z = 0;
    double d = 6 * u - 16 * v + 12;
    if (y > 0 && d != 0 && v > 0) {
        double cx = 9 * u / d, cy = 4 * v / d;
        if (cy > 0) {
            x = cx / cy * y;
            z = (1 - cx - cy) / cy * y;
        }
    }
    double Y = y > 0 ? y : 0;
    out.r = float(2.690 * x - 1.276 * Y - 0.414 * z);
    out.g = float(-1.022 * x + 1.978 * Y + 0.044 * z);
    out.b = float(0.061 * x - 0.224 * Y + 1.163 * z);
    out.a = 1.0f;
}

// The uv cell table published with the LogLuv encoding (Greg Ward Larson,
// "The LogLuv Encoding for Full Gamut, High Dynamic Range Images", and its
// TIFF description): one row per v step, each the u of its first cell, its
// number of cells and the cells before it. The data carries this notice:
//
//   Copyright (c) 1997 Greg Ward Larson
//   Copyright (c) 1997 Silicon Graphics, Inc.
//
//   Permission to use, copy, modify, distribute, and sell this software and
//   its documentation for any purpose is hereby granted without fee, provided
//   that (i) the above copyright notices and this permission notice appear in
//   all copies of the software and related documentation, and (ii) the names of
//   Sam Leffler, Greg Larson and Silicon Graphics may not be used in any
//   advertising or publicity relating to the software without the specific,
//   prior written permission of Sam Leffler, Greg Larson and Silicon Graphics.
//
//   THE SOFTWARE IS PROVIDED "AS-IS" AND WITHOUT WARRANTY OF ANY KIND,
//   EXPRESS, IMPLIED OR OTHERWISE, INCLUDING WITHOUT LIMITATION, ANY
//   WARRANTY OF MERCHANTABILITY OR FITNESS FOR A PARTICULAR PURPOSE.
//
//   IN NO EVENT SHALL SAM LEFFLER, GREG LARSON OR SILICON GRAPHICS BE LIABLE
//   FOR ANY SPECIAL, INCIDENTAL, INDIRECT OR CONSEQUENTIAL DAMAGES OF ANY KIND,
//   OR ANY DAMAGES WHATSOEVER RESULTING FROM LOSS OF USE, DATA OR PROFITS,
//   WHETHER OR NOT ADVISED OF THE POSSIBILITY OF DAMAGE, AND ON ANY THEORY OF
//   LIABILITY, ARISING OUT OF OR IN CONNECTION WITH THE USE OR PERFORMANCE
//   OF THIS SOFTWARE.
struct UvRow {
    float uStart;
    uint16_t cells, before;
};
constexpr UvRow kUvRows[163] = {
    {0.247663, 4, 0}, {0.243779, 6, 4}, {0.241684, 7, 10}, {0.237874, 9, 17}, {0.235906, 10, 26}, {0.232153, 12, 36},
    {0.228352, 14, 48}, {0.226259, 15, 62}, {0.222371, 17, 77}, {0.220410, 18, 94}, {0.214710, 21, 112},
    {0.212714, 22, 133}, {0.210721, 23, 155}, {0.204976, 26, 178}, {0.202986, 27, 204}, {0.199245, 29, 231},
    {0.195525, 31, 260}, {0.193560, 32, 291}, {0.189878, 34, 323}, {0.186216, 36, 357}, {0.186216, 36, 393},
    {0.182592, 38, 429}, {0.179003, 40, 467}, {0.175466, 42, 507}, {0.172001, 44, 549}, {0.172001, 44, 593},
    {0.168612, 46, 637}, {0.168612, 46, 683}, {0.163575, 49, 729}, {0.158642, 52, 778}, {0.158642, 52, 830},
    {0.158642, 52, 882}, {0.153815, 55, 934}, {0.153815, 55, 989}, {0.149097, 58, 1044}, {0.149097, 58, 1102},
    {0.142746, 62, 1160}, {0.142746, 62, 1222}, {0.142746, 62, 1284}, {0.138270, 65, 1346}, {0.138270, 65, 1411},
    {0.138270, 65, 1476}, {0.132166, 69, 1541}, {0.132166, 69, 1610}, {0.126204, 73, 1679}, {0.126204, 73, 1752},
    {0.126204, 73, 1825}, {0.120381, 77, 1898}, {0.120381, 77, 1975}, {0.120381, 77, 2052}, {0.120381, 77, 2129},
    {0.112962, 82, 2206}, {0.112962, 82, 2288}, {0.112962, 82, 2370}, {0.107450, 86, 2452}, {0.107450, 86, 2538},
    {0.107450, 86, 2624}, {0.107450, 86, 2710}, {0.100343, 91, 2796}, {0.100343, 91, 2887}, {0.100343, 91, 2978},
    {0.095126, 95, 3069}, {0.095126, 95, 3164}, {0.095126, 95, 3259}, {0.095126, 95, 3354}, {0.088276, 100, 3449},
    {0.088276, 100, 3549}, {0.088276, 100, 3649}, {0.088276, 100, 3749}, {0.081523, 105, 3849},
    {0.081523, 105, 3954}, {0.081523, 105, 4059}, {0.081523, 105, 4164}, {0.074861, 110, 4269},
    {0.074861, 110, 4379}, {0.074861, 110, 4489}, {0.074861, 110, 4599}, {0.068290, 115, 4709},
    {0.068290, 115, 4824}, {0.068290, 115, 4939}, {0.068290, 115, 5054}, {0.063573, 119, 5169},
    {0.063573, 119, 5288}, {0.063573, 119, 5407}, {0.063573, 119, 5526}, {0.057219, 124, 5645},
    {0.057219, 124, 5769}, {0.057219, 124, 5893}, {0.057219, 124, 6017}, {0.050985, 129, 6141},
    {0.050985, 129, 6270}, {0.050985, 129, 6399}, {0.050985, 129, 6528}, {0.050985, 129, 6657},
    {0.044859, 134, 6786}, {0.044859, 134, 6920}, {0.044859, 134, 7054}, {0.044859, 134, 7188},
    {0.040571, 138, 7322}, {0.040571, 138, 7460}, {0.040571, 138, 7598}, {0.040571, 138, 7736},
    {0.036339, 142, 7874}, {0.036339, 142, 8016}, {0.036339, 142, 8158}, {0.036339, 142, 8300},
    {0.032139, 146, 8442}, {0.032139, 146, 8588}, {0.032139, 146, 8734}, {0.032139, 146, 8880},
    {0.027947, 150, 9026}, {0.027947, 150, 9176}, {0.027947, 150, 9326}, {0.023739, 154, 9476},
    {0.023739, 154, 9630}, {0.023739, 154, 9784}, {0.023739, 154, 9938}, {0.019504, 158, 10092},
    {0.019504, 158, 10250}, {0.019504, 158, 10408}, {0.016976, 161, 10566}, {0.016976, 161, 10727},
    {0.016976, 161, 10888}, {0.016976, 161, 11049}, {0.012639, 165, 11210}, {0.012639, 165, 11375},
    {0.012639, 165, 11540}, {0.009991, 168, 11705}, {0.009991, 168, 11873}, {0.009991, 168, 12041},
    {0.009016, 170, 12209}, {0.009016, 170, 12379}, {0.009016, 170, 12549}, {0.006217, 173, 12719},
    {0.006217, 173, 12892}, {0.005097, 175, 13065}, {0.005097, 175, 13240}, {0.005097, 175, 13415},
    {0.003909, 177, 13590}, {0.003909, 177, 13767}, {0.002340, 177, 13944}, {0.002389, 170, 14121},
    {0.001068, 164, 14291}, {0.001653, 157, 14455}, {0.000717, 150, 14612}, {0.001614, 143, 14762},
    {0.000270, 136, 14905}, {0.000484, 129, 15041}, {0.001103, 123, 15170}, {0.001242, 115, 15293},
    {0.001188, 109, 15408}, {0.001011, 103, 15517}, {0.000709, 97, 15620}, {0.000301, 89, 15717},
    {0.002416, 82, 15806}, {0.003251, 76, 15888}, {0.003246, 69, 15964}, {0.004141, 62, 16033},
    {0.005963, 55, 16095}, {0.008839, 47, 16150}, {0.010490, 40, 16197}, {0.016994, 31, 16237},
    {0.023659, 21, 16268},
};
constexpr uint32_t kUvCells = 16289;
constexpr double kUvCellSize = 0.0035, kUvVStart = 0.01694;

// The chromaticity at the centre of a 14-bit uv cell; outside the table,
// the neutral point.
void logLuv24Uv(uint32_t index, double* u, double* v)
{
    if (index >= kUvCells) {
        *u = 0.2105263;
        *v = 0.4736842;
        return;
    }
    // The last row whose cells start at or before the index.
    uint32_t lo = 0, hi = 163;
    while (hi - lo > 1) {
        uint32_t mid = (lo + hi) / 2;
        if (kUvRows[mid].before <= index) lo = mid;
        else hi = mid;
    }
    *u = kUvRows[lo].uStart + (index - kUvRows[lo].before + 0.5) * kUvCellSize;
    *v = kUvVStart + (lo + 0.5) * kUvCellSize;
}

// The 10-bit log luminance of the 24-bit form: 64 steps per doubling from 2^-12.
float logL10Decode(uint32_t le)
{
    return le == 0 ? 0.0f : float(std::exp2((le + 0.5) / 64.0 - 12.0));
}

enum class RowKind : uint8_t { Bits, U8, U16, Float, Rgba8, Rgba16, RgbaFloat, Plane, LogL, LogLuv, LogLuv24, Ycc };

class SegmentDecoder {
public:
    SegmentDecoder(TiffReader& r, Image* image, Progress* progress, AbortFlag* abort)
        : r_(r), b_(r.bytes), image_(image), progress_(progress), abort_(abort)
    {
    }
    ~SegmentDecoder()
    {
        if (zlibReady_) inflateEnd(&zs_);
        if (jpeg_) delete jpeg_;
    }
    ResultCode run();

private:
    ResultCode setUp();
    void fillPalette();
    // Decompresses segment s into buf_ (or points at it in place); returns
    // the whole rows available.
    uint32_t decompress(const uint8_t* data, size_t length, uint32_t rowsNeeded, const uint8_t** rows, bool* damaged);
    void placeRows(const uint8_t* rows, uint32_t count, uint32_t x0, uint32_t y0, uint32_t w, uint32_t plane);
    void placeRow(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t plane);
    void placeYccRows(const uint8_t* rows, uint32_t blockRows, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h);
    ResultCode decodeJpeg(const uint8_t* data, size_t length, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h,
                          uint32_t* rowsDone);
    void zeroArea(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h);
    // A copy of a segment's bytes with the bits of each reversed; null when
    // memory is short.
    const uint8_t* bitReversed(const uint8_t* data, size_t length);

    TiffReader& r_;
    const TiffBytes& b_;
    Image* image_;
    Progress* progress_;
    AbortFlag* abort_;

    uint32_t segW_ = 0, segH_ = 0, across_ = 0, down_ = 0, planes_ = 1;
    uint32_t storedSamples_ = 1;   // samples per pixel within a segment
    uint32_t sampleBytes_ = 1;     // bytes per stored sample (1 for packed bits)
    uint64_t rowBytes_ = 0;        // one stored row (or block row)
    uint32_t rowsPerSegment_ = 0;  // stored rows (or block rows)
    uint32_t yccH_ = 1, yccV_ = 1;
    RowKind kind_ = RowKind::U8;
    bool swap_ = false, copyRow_ = false;
    bool reverseBits_ = false;
    uint32_t predictor_ = 1;
    uint32_t channel_[4] = {0, 1, 2, 3};
    AlignedBuffer<uint8_t> buf_, rowBuf_, scratch_, reversed_;
    FaxDecoder fax_;
    z_stream zs_{};
    bool zlibReady_ = false;
    JpegDecoder* jpeg_ = nullptr;
    size_t consumed_ = 0;  // input the last decompression read
};

ResultCode SegmentDecoder::setUp()
{
    const uint32_t spp = r_.samplesPerPixel, bps = r_.bitsPerSample;
    const uint32_t c = r_.compression;
    if (c == 6) {
        segW_ = r_.width;
        segH_ = r_.height;
    } else if (r_.strips) {
        segW_ = r_.width;
        segH_ = std::max<uint32_t>(1, r_.rowsPerStrip);
    } else {
        segW_ = r_.tileWidth;
        segH_ = r_.tileLength;
    }
    across_ = uint32_t((uint64_t(r_.width) + segW_ - 1) / segW_);
    down_ = uint32_t((uint64_t(r_.height) + segH_ - 1) / segH_);
    planes_ = r_.planar == 2 ? spp : 1;
    storedSamples_ = r_.planar == 2 ? 1 : spp;
    rowsPerSegment_ = segH_;
    const bool isFloat = r_.sampleFormat == 3;
    const bool rgb = r_.colourModel == CM_RGB;
    if (rgb) {
        channel_[0] = 2;
        channel_[2] = 0;
    }

    uint64_t bitsPerRow = uint64_t(segW_) * storedSamples_ * bps;
    rowBytes_ = (bitsPerRow + 7) / 8;
    sampleBytes_ = std::max<uint32_t>(1, bps / 8);
    if (c == 34676) {
        kind_ = spp == 1 ? RowKind::LogL : RowKind::LogLuv;
        rowBytes_ = uint64_t(segW_) * (spp == 1 ? 2 : 4);
    } else if (c == 34677) {
        kind_ = RowKind::LogLuv24;
        rowBytes_ = uint64_t(segW_) * 3;
    } else if (r_.planar == 2) {
        kind_ = RowKind::Plane;
    } else if (r_.colourModel == CM_YCBCR && spp == 3 && c != 7 && c != 6 &&
               (r_.subsampling & 15) * (r_.subsampling >> 4) != 1) {
        kind_ = RowKind::Ycc;
        yccH_ = r_.subsampling & 15;
        yccV_ = r_.subsampling >> 4;
        rowBytes_ = (uint64_t(segW_) + yccH_ - 1) / yccH_ * (yccH_ * yccV_ + 2);
        rowsPerSegment_ = (segH_ + yccV_ - 1) / yccV_;
    } else if (spp == 1) {
        kind_ = bps < 8 ? RowKind::Bits : isFloat ? RowKind::Float : bps == 8 ? RowKind::U8 : RowKind::U16;
    } else {
        kind_ = isFloat ? RowKind::RgbaFloat : bps == 8 ? RowKind::Rgba8 : RowKind::Rgba16;
    }

    // Samples wider than a byte arrive in the file's order; the predictor
    // works on native values, so rows are swapped before it runs.
    const bool logLuv = kind_ == RowKind::LogL || kind_ == RowKind::LogLuv || kind_ == RowKind::LogLuv24;
    const bool wide = sampleBytes_ > 1 && bps % 8 == 0 && !logLuv && kind_ != RowKind::Ycc;
    uint32_t pred = r_.predictor;
    if (kind_ == RowKind::Bits || kind_ == RowKind::Ycc || logLuv || c == 6 || c == 7)
        pred = 1;
    if (pred == 3 && !isFloat) pred = 1;
    if (pred == 2 && sampleBytes_ == 3) pred = 1;
    predictor_ = pred;
    swap_ = wide && b_.bigEndian && pred != 3;
    copyRow_ = swap_ || pred == 2 || pred == 3;

    uint64_t segmentBytes;
    if (!checkedMul(rowBytes_, rowsPerSegment_, &segmentBytes)) return RC_OUT_OF_MEMORY;
    const bool inPlace = c == 1 || c == 34677 || c == 6 || c == 7;
    if (!inPlace && !buf_.allocate(segmentBytes + 16)) return RC_OUT_OF_MEMORY;
    if (copyRow_ && (!rowBuf_.allocate(rowBytes_ + 16) || !scratch_.allocate(rowBytes_ + 16)))
        return RC_OUT_OF_MEMORY;

    // Least significant bit first: the fax decoder reads such bytes itself,
    // and writers store JPEG streams as they are whatever the tag says.
    const bool fax = c == 2 || c == 3 || c == 4 || c == 32771;
    reverseBits_ = r_.reversedFill && !fax && c != 6 && c != 7;

    if (fax) {
        ResultCode rc = faxDecoderInit(fax_, c, r_.faxOptions, uint32_t(rowBytes_), segW_,
                                       r_.reversedFill ? FAX_FILL_LSB_FIRST : 0);
        if (failed(rc)) return rc == RC_OUT_OF_MEMORY ? rc : RC_CORRUPT_FILE;
    } else if (c == 8 || c == 32946) {
        if (inflateInit(&zs_) != Z_OK) return RC_GENERAL_FAILURE;
        zlibReady_ = true;
    } else if (c == 6 || c == 7) {
        jpeg_ = jpegDecoderCreate();
        if (!jpeg_) return RC_OUT_OF_MEMORY;
        if (c == 7 && r_.jpegTables.present && r_.jpegTables.count) {
            uint64_t at = r_.jpegTables.count <= 4 ? r_.jpegTables.field : b_.u32(r_.jpegTables.field);
            if (b_.inside(at, r_.jpegTables.count)) {
                jpeg_->setInput(b_.data + at, r_.jpegTables.count);
                ResultCode rc = jpeg_->readHeader();
                if (failed(rc) && rc != RC_UNSUPPORTED_SUBFORMAT) return rc;
            }
        }
    }
    return RC_OK;
}

void SegmentDecoder::fillPalette()
{
    uint32_t* pal = image_->palette();
    if (!pal) return;
    if (!r_.colourMap) {
        fillGreyRamp(pal);
        return;
    }
    uint32_t n = std::min<uint32_t>(r_.paletteCount, 256);
    uint64_t base = r_.colourMap, stride = 2ull * r_.paletteCount;
    for (uint32_t i = 0; i < 256; ++i) {
        if (i >= n) {
            pal[i] = 0xFF000000u;
            continue;
        }
        uint32_t red = b_.u16(base + 2ull * i) >> 8;
        uint32_t green = b_.u16(base + stride + 2ull * i) >> 8;
        uint32_t blue = b_.u16(base + 2 * stride + 2ull * i) >> 8;
        pal[i] = 0xFF000000u | (red << 16) | (green << 8) | blue;
    }
}

const uint8_t* SegmentDecoder::bitReversed(const uint8_t* data, size_t length)
{
    if (reversed_.size() < length + 16 && !reversed_.allocate(length + 16)) return nullptr;
    uint8_t* out = reversed_.get();
    for (size_t i = 0; i < length; ++i) out[i] = kBitReversal[data[i]];
    return out;
}

void SegmentDecoder::zeroArea(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h)
{
    // Whole rows (a strip's) are cleared at once, which on fresh memory costs
    // nothing however many rows the file claims.
    if (x0 == 0 && w >= image_->width) {
        imageClearRows(image_, y0, uint32_t(std::min<uint64_t>(uint64_t(y0) + h, image_->height)));
        return;
    }
    const uint32_t bpp = image_->bytesPerPixel();
    for (uint32_t y = y0; y < y0 + h && y < image_->height; ++y)
        std::memset(image_->rowBytesPtr(y) + size_t(x0) * bpp, 0, size_t(w) * bpp);
}

uint32_t SegmentDecoder::decompress(const uint8_t* data, size_t length, uint32_t rowsNeeded, const uint8_t** rows,
                                    bool* damaged)
{
    // A last strip holds only the rows left in the image.
    const uint64_t wanted = rowBytes_ * rowsNeeded;
    size_t produced = 0;
    consumed_ = length;
    switch (r_.compression) {
    case 1:
    case 34677:
        *rows = data;
        return uint32_t(std::min<uint64_t>(length / rowBytes_, rowsPerSegment_));
    case 2:
    case 3:
    case 4:
    case 32771:
        // The whole segment, however dense its coding (a checkerboard takes
        // several bits a pixel): decoding stops once the rows are filled.
        fax_.setInput(data, length);
        if (!fax_.decodeRows(buf_.get(), wanted)) *damaged = true;
        produced = wanted;
        break;
    case 5: {
        TiffLzwResult lr = tiffLzwDecode(buf_.get(), data, std::min<uint64_t>(wanted, UINT32_MAX), length);
        produced = lr.produced;
        consumed_ = lr.consumed;
        break;
    }
    case 8:
    case 32946: {
        // An empty segment is a sparse one: its rows stay empty.
        if (length == 0) {
            std::memset(buf_.get(), 0, wanted);
            produced = wanted;
            consumed_ = 0;
            break;
        }
        inflateReset(&zs_);
        zs_.next_in = const_cast<uint8_t*>(data);
        zs_.avail_in = uInt(std::min<size_t>(length, UINT32_MAX));
        zs_.next_out = buf_.get();
        zs_.avail_out = uInt(std::min<uint64_t>(wanted, UINT32_MAX));
        int z = inflate(&zs_, Z_FINISH);
        if (z != Z_STREAM_END && z != Z_OK && z != Z_BUF_ERROR) *damaged = true;
        produced = zs_.total_out;
        consumed_ = zs_.total_in;
        break;
    }
    case 32773: {
        PackBitsResult pr = packBitsDecode(buf_.get(), wanted, data, length);
        produced = pr.written;
        consumed_ = pr.consumed;
        break;
    }
    case 34676: {
        const uint32_t planes = r_.samplesPerPixel == 1 ? 2 : 4;
        // Byte positions of the planes in a little-endian pixel.
        static const uint8_t kPlaneByte[4] = {1, 0, 2, 3};
        size_t in = 0;
        uint32_t y = 0;
        for (; y < rowsNeeded; ++y) {
            uint8_t* row = buf_.get() + y * rowBytes_;
            bool full = true;
            for (uint32_t p = 0; p < planes; ++p) {
                size_t filled = 0;
                in += tiffLogLuvRlePlane(row + kPlaneByte[p], segW_, planes, data + in, length - in, &filled);
                if (filled < segW_) full = false;
            }
            if (!full) break;
        }
        consumed_ = in;
        produced = size_t(y) * rowBytes_;
        break;
    }
    default:
        produced = 0;
        break;
    }
    *rows = buf_.get();
    if (produced > wanted) produced = wanted;
    return uint32_t(produced / rowBytes_);
}

void SegmentDecoder::placeRow(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t plane)
{
    const uint32_t bps = r_.bitsPerSample;
    const bool isSigned = r_.sampleFormat == 2;
    const uint32_t spp = r_.samplesPerPixel;
    switch (kind_) {
    case RowKind::Bits:
        unpackSamples(dst, src, w, bps);
        break;
    case RowKind::U8:
        if (isSigned) {
            for (uint32_t x = 0; x < w; ++x) dst[x] = uint8_t(src[x] + 128);
        } else {
            std::memcpy(dst, src, w);
        }
        break;
    case RowKind::U16: {
        uint16_t* d = reinterpret_cast<uint16_t*>(dst);
        std::memcpy(d, src, size_t(w) * 2);
        if (isSigned)
            for (uint32_t x = 0; x < w; ++x) d[x] = uint16_t(d[x] + 32768);
        break;
    }
    case RowKind::Float: {
        float* d = reinterpret_cast<float*>(dst);
        for (uint32_t x = 0; x < w; ++x) d[x] = floatSample(src + size_t(x) * sampleBytes_, sampleBytes_);
        break;
    }
    case RowKind::Rgba8: {
        const uint8_t add = isSigned ? 128 : 0;
        for (uint32_t x = 0; x < w; ++x, src += spp, dst += 4) {
            dst[channel_[0]] = uint8_t(src[0] + add);
            dst[1] = uint8_t(src[1] + add);
            dst[channel_[2]] = uint8_t(src[2] + add);
            dst[3] = spp == 4 ? uint8_t(src[3] + add) : 255;
        }
        break;
    }
    case RowKind::Rgba16: {
        uint16_t* d = reinterpret_cast<uint16_t*>(dst);
        const uint16_t add = isSigned ? 32768 : 0;
        for (uint32_t x = 0; x < w; ++x, src += 2 * spp, d += 4) {
            d[channel_[0]] = uint16_t(load16(src) + add);
            d[1] = uint16_t(load16(src + 2) + add);
            d[channel_[2]] = uint16_t(load16(src + 4) + add);
            d[3] = spp == 4 ? uint16_t(load16(src + 6) + add) : 65535;
        }
        break;
    }
    case RowKind::RgbaFloat: {
        float* d = reinterpret_cast<float*>(dst);
        const uint32_t step = spp * sampleBytes_;
        for (uint32_t x = 0; x < w; ++x, src += step, d += 4) {
            d[channel_[0]] = floatSample(src, sampleBytes_);
            d[1] = floatSample(src + sampleBytes_, sampleBytes_);
            d[channel_[2]] = floatSample(src + 2 * sampleBytes_, sampleBytes_);
            d[3] = spp == 4 ? floatSample(src + 3 * sampleBytes_, sampleBytes_) : 1.0f;
        }
        break;
    }
    case RowKind::Plane: {
        // Every plane in full: channel = plane (red and blue exchanged for
        // RGB); the first plane also makes three-plane pixels opaque.
        const uint32_t ch = channel_[plane & 3];
        const bool setAlpha = plane == 0 && spp < 4;
        const bool isFloat = r_.sampleFormat == 3;
        if (isFloat) {
            float* d = reinterpret_cast<float*>(dst);
            for (uint32_t x = 0; x < w; ++x, d += 4) {
                d[ch] = floatSample(src + size_t(x) * sampleBytes_, sampleBytes_);
                if (setAlpha) d[3] = 1.0f;
            }
        } else if (bps == 16) {
            uint16_t* d = reinterpret_cast<uint16_t*>(dst);
            const uint16_t add = isSigned ? 32768 : 0;
            for (uint32_t x = 0; x < w; ++x, d += 4) {
                d[ch] = uint16_t(load16(src + 2 * x) + add);
                if (setAlpha) d[3] = 65535;
            }
        } else {
            const uint8_t add = isSigned ? 128 : 0;
            for (uint32_t x = 0; x < w; ++x, dst += 4) {
                dst[ch] = uint8_t(src[x] + add);
                if (setAlpha) dst[3] = 255;
            }
        }
        break;
    }
    case RowKind::LogL: {
        float* d = reinterpret_cast<float*>(dst);
        for (uint32_t x = 0; x < w; ++x) d[x] = logL16Decode(uint16_t(src[2 * x] | (src[2 * x + 1] << 8)));
        break;
    }
    case RowKind::LogLuv: {
        RgbaF* d = reinterpret_cast<RgbaF*>(dst);
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = src + 4 * x;
            float y = logL16Decode(uint16_t(p[0] | (p[1] << 8)));
            logLuvToRgb(y, p[2] / 410.0, p[3] / 410.0, d[x]);
        }
        break;
    }
    case RowKind::LogLuv24: {
        // Big-endian: 10 bits of log luminance, then the 14-bit uv cell.
        RgbaF* d = reinterpret_cast<RgbaF*>(dst);
        for (uint32_t x = 0; x < w; ++x, src += 3) {
            const uint32_t v = (uint32_t(src[0]) << 16) | (uint32_t(src[1]) << 8) | src[2];
            double cu, cv;
            logLuv24Uv(v & 0x3FFF, &cu, &cv);
            logLuvToRgb(logL10Decode(v >> 14), cu, cv, d[x]);
        }
        break;
    }
    case RowKind::Ycc:
        break;
    }
}

void SegmentDecoder::placeRows(const uint8_t* rows, uint32_t count, uint32_t x0, uint32_t y0, uint32_t w,
                               uint32_t plane)
{
    const uint32_t bpp = image_->bytesPerPixel();
    const uint32_t storedSampleCount = segW_ * storedSamples_;
    for (uint32_t y = 0; y < count; ++y) {
        if (aborted(abort_)) return;
        const uint8_t* src = rows + y * rowBytes_;
        if (copyRow_) {
            uint8_t* row = rowBuf_.get();
            std::memcpy(row, src, rowBytes_);
            if (swap_) swapSamples(row, storedSampleCount, sampleBytes_);
            if (predictor_ == 2) tiffUnpredictRow(row, segW_, storedSamples_, sampleBytes_);
            else if (predictor_ == 3)
                unpredictFloatRow(row, scratch_.get(), storedSampleCount, sampleBytes_, storedSamples_);
            src = row;
        }
        placeRow(src, image_->rowBytesPtr(y0 + y) + size_t(x0) * bpp, w, plane);
        if (r_.strips) reportProgress(progress_, y0 + y + 1, r_.height);
    }
}

void SegmentDecoder::placeYccRows(const uint8_t* rows, uint32_t blockRows, uint32_t x0, uint32_t y0, uint32_t w,
                                  uint32_t h)
{
    const uint32_t bh = yccH_, bv = yccV_, block = bh * bv + 2;
    const uint32_t blocksAcross = (segW_ + bh - 1) / bh;
    for (uint32_t br = 0; br < blockRows; ++br) {
        const uint8_t* src = rows + br * rowBytes_;
        for (uint32_t bx = 0; bx < blocksAcross; ++bx, src += block) {
            uint8_t cb = src[bh * bv], cr = src[bh * bv + 1];
            for (uint32_t j = 0; j < bv; ++j) {
                uint32_t y = br * bv + j;
                if (y >= h) break;
                uint8_t* out = image_->rowBytesPtr(y0 + y) + size_t(x0) * 4;
                for (uint32_t i = 0; i < bh; ++i) {
                    uint32_t x = bx * bh + i;
                    if (x >= w) break;
                    uint8_t* p = out + 4 * x;
                    p[0] = src[j * bh + i];
                    p[1] = cb;
                    p[2] = cr;
                    p[3] = 255;
                }
            }
        }
    }
}

ResultCode SegmentDecoder::decodeJpeg(const uint8_t* data, size_t length, uint32_t x0, uint32_t y0, uint32_t w,
                                      uint32_t h, uint32_t* rowsDone)
{
    *rowsDone = 0;
    jpeg_->setInput(data, length);
    ResultCode rc = jpeg_->readHeader();
    if (failed(rc)) return RC_CORRUPT_FILE;
    const uint32_t comps = jpeg_->componentCount();
    // A new-style strip holds the colours the directory names, however its
    // components are labelled; old-style streams are whole JPEG files and
    // speak for themselves.
    if (r_.compression == 7 && comps == 3) {
        if (r_.photometric == 6) jpeg_->frameColourSpace = JPEG_CS_YCBCR;
        else if (r_.photometric == 2) jpeg_->frameColourSpace = JPEG_CS_RGB;
    }
    const uint32_t outBpp = comps == 1 ? 1 : 4;
    const uint32_t imgBpp = image_->bytesPerPixel();
    const uint32_t rows = std::min(h, jpeg_->height());
    const uint32_t cols = std::min(w, jpeg_->width());
    const uint64_t aligned = uint64_t(jpeg_->alignedWidth());
    const bool oneSample = r_.samplesPerPixel == 1;
    if (oneSample != (comps == 1) && !(oneSample && comps >= 3)) return RC_CORRUPT_FILE;
    if (!oneSample && comps < 3) return RC_CORRUPT_FILE;

    // Straight into the image when whole MCU rows fit within its stride and
    // nothing needs converting; otherwise through a buffer of whole MCUs,
    // copied clipped to the segment.
    const bool direct = outBpp == imgBpp && (uint64_t(x0) + aligned) * outBpp <= image_->rowBytes() &&
                        !(comps == 3 && imgBpp != 4);
    uint8_t* dest;
    size_t stride;
    AlignedBuffer<uint8_t> temp;
    if (direct) {
        dest = image_->rowBytesPtr(y0) + size_t(x0) * outBpp;
        stride = image_->rowBytes();
    } else {
        stride = size_t(aligned) * outBpp;
        if (!temp.allocate(uint64_t(stride) * rows + 16)) return RC_OUT_OF_MEMORY;
        dest = temp.get();
    }
    // Data that ends early still gives every row (the decoder fills what it
    // could not decode); other failures leave nothing worth keeping.
    rc = jpeg_->decode(dest, outBpp, stride, rows, false, nullptr, abort_);
    if (failed(rc) && rc != RC_CORRUPT_FILE) return rc == RC_OUT_OF_MEMORY ? rc : RC_UNSUPPORTED_SUBFORMAT;
    const ResultCode decoded = rc;
    const bool ycc = jpeg_->colourSpace() == JPEG_CS_YCBCR;
    // Four components come out in stream order, which for a new-style strip
    // is the directory's: red first, where the image keeps blue.
    const bool rgbFirst = r_.compression == 7 && comps == 4 && r_.photometric == 2;
    for (uint32_t y = 0; y < rows; ++y) {
        uint8_t* src = dest + size_t(y) * stride;
        uint8_t* out = image_->rowBytesPtr(y0 + y) + size_t(x0) * imgBpp;
        if (outBpp == 4 && ycc) ycbcrToRgbRow(src, cols);
        if (rgbFirst)
            for (uint8_t* p = src; p < src + size_t(cols) * 4; p += 4) std::swap(p[0], p[2]);
        if (direct) continue;
        if (imgBpp == outBpp) {
            std::memcpy(out, src, size_t(cols) * outBpp);
        } else if (imgBpp == 1 && outBpp == 4) {
            rgba8RowToGray(out, reinterpret_cast<const Rgba8*>(src), cols, false);
        }
        if (cols < w) std::memset(out + size_t(cols) * imgBpp, 0, size_t(w - cols) * imgBpp);
    }
    *rowsDone = rows;
    return rows < h || failed(decoded) ? RC_CORRUPT_FILE : RC_OK;
}

ResultCode SegmentDecoder::run()
{
    ResultCode rc = setUp();
    if (failed(rc)) {
        zeroArea(0, 0, r_.width, r_.height);
        return rc;
    }
    fillPalette();
    const uint32_t c = r_.compression;
    const uint64_t perPlane = uint64_t(across_) * down_;
    const uint64_t count = perPlane * planes_;
    if (planes_ > 1) zeroArea(0, 0, r_.width, r_.height);
    const bool listOk = c == 6 || r_.offsets.values(b_) != UINT64_MAX;
    const bool countsOk = r_.byteCounts.present && r_.byteCounts.values(b_) != UINT64_MAX;

    ResultCode result = RC_OK;
    bool consecutive = false;
    uint64_t nextStart = 8;
    for (uint64_t s = 0; s < count; ++s) {
        if (aborted(abort_)) return RC_OK;
        const uint32_t plane = uint32_t(s / perPlane);
        const uint32_t inPlane = uint32_t(s % perPlane);
        const uint32_t x0 = (inPlane % across_) * segW_, y0 = (inPlane / across_) * segH_;
        const uint32_t w = std::min(segW_, r_.width - x0), h = std::min(segH_, r_.height - y0);

        // Where the segment's data lies, cut at the end of the file.
        uint64_t start = 0, length = 0;
        bool present = true;
        if (c == 6) {
            start = r_.jpegIfOffset;
            length = r_.jpegIfLength;
        } else if (!listOk || s >= r_.offsets.count) {
            present = false;
        } else {
            start = r_.offsets.at(b_, uint32_t(s));
            if (start >= b_.size && r_.offsets.type == kTypeLong) consecutive = true;
            if (consecutive) start = nextStart;
            if (start >= b_.size) present = false;
            length = countsOk && s < r_.byteCounts.count ? r_.byteCounts.at(b_, uint32_t(s)) : b_.size - start;
            if (consecutive && !(countsOk && s < r_.byteCounts.count)) length = b_.size - start;
        }
        if (present) length = std::min<uint64_t>(length, b_.size - start);

        uint32_t done = 0;
        if (!present) {
            result = RC_CORRUPT_FILE;
        } else if (c == 6 || c == 7) {
            ResultCode jr = decodeJpeg(b_.data + start, size_t(length), x0, y0, w, h, &done);
            if (jr == RC_OUT_OF_MEMORY) return jr;
            if (failed(jr)) result = RC_CORRUPT_FILE;
            nextStart = start + length;
        } else {
            const uint8_t* rows = nullptr;
            bool damaged = false;
            uint32_t need = kind_ == RowKind::Ycc ? (h + yccV_ - 1) / yccV_ : h;
            const uint8_t* data = b_.data + start;
            if (reverseBits_ && !(data = bitReversed(data, size_t(length)))) return RC_OUT_OF_MEMORY;
            uint32_t avail = decompress(data, size_t(length), need, &rows, &damaged);
            nextStart = start + consumed_;
            if (avail < need || damaged) result = RC_CORRUPT_FILE;
            avail = std::min(avail, need);
            if (kind_ == RowKind::Ycc) {
                placeYccRows(rows, avail, x0, y0, w, h);
                done = std::min(h, avail * yccV_);
            } else {
                placeRows(rows, avail, x0, y0, w, plane);
                done = avail;
            }
        }
        if (done < h && planes_ == 1) zeroArea(x0, y0 + done, w, h - done);
        if (!r_.strips) reportProgress(progress_, uint32_t(s + 1), uint32_t(std::min<uint64_t>(count, UINT32_MAX)));
    }
    reportProgress(progress_, 100, 100);
    return result;
}

} // namespace

namespace tiff_internal {

ResultCode TiffReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (image->rowBytes() == 0) return RC_UNSUPPORTED_COLOUR_FORMAT;
    std::unique_ptr<SegmentDecoder> decoder(new (std::nothrow) SegmentDecoder(*this, image, progress, abort));
    if (!decoder) return RC_OUT_OF_MEMORY;
    const ResultCode rc = decoder->run();
    return rc == RC_OK && pagesLost ? RC_CORRUPT_FILE : rc;
}

} // namespace tiff_internal

} // namespace quillon
