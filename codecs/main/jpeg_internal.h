#pragma once
// Back end of the JPEG decoder shared by its source files: block transforms,
// sample writers and colour finishing (jpeg_idct.cpp).
#include <cstddef>
#include <cstdint>

#include "codecs/main/jpeg_decoder.h"

namespace quillon::jpeg_internal {

// Full 8x8 inverse DCT of one block of coefficients (natural order) with its
// quantisation table; 64 samples, rows 8 bytes apart.
void idctBlock(const int16_t* coefficients, const uint16_t* quant, uint8_t* out);
// The same transform in plain C++: the reference for the vector one, and its
// fallback for blocks whose values do not fit its 16-bit lanes.
void idctBlockScalar(const int16_t* coefficients, const uint16_t* quant, uint8_t* out);
#if defined(__SSE2__)
// The vector transform; false (nothing written) for a block it leaves to
// idctBlockScalar. Reads the whole block before writing, so out may alias it.
bool idctBlockSse2(const int16_t* coefficients, const uint16_t* quant, uint8_t* out);
#endif
// The one sample of a DC-only (one-eighth) block.
uint8_t dcOnlySample(const int16_t* coefficients, const uint16_t* quant);
inline uint8_t clampSample(int64_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
// The value of every sample of a full-size block whose only coefficient is
// its DC term: what the transforms give for such a block.
inline uint8_t flatSample(int32_t dc, uint32_t quant)
{
    return clampSample(((int64_t(dc) * quant * 4 + 16) >> 5) + 128);
}

// Transforms the blocks of one MCU (blocks of frame component c at
// firstBlock..) into samples: 64 bytes per block at 64 * block, or one byte per
// block at reduced size. components: the components present (all of the
// frame, or a scan's).
void transformMcu(const JpegDecoder& d, const int16_t* coefficients, uint8_t* samples,
                  JpegComponent* const* components, uint32_t count);

// transformMcu at full size for blocks recorded by the Huffman decoder
// (JpegDecoder::blockRecords, one per block of the MCU): a block without AC
// terms is filled from its record and not read; the others are transformed,
// then cleared for their next use.
void transformRecordedMcu(const JpegDecoder& d, int16_t* coefficients, const int32_t* records, uint8_t* samples,
                          JpegComponent* const* components, uint32_t count);

// Places one MCU's samples at dest (the MCU's top-left pixel).
using JpegSampleWriter = void (*)(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples,
                                  JpegComponent* const* components, uint32_t count);

// What finishing a band of rows does to the decoded samples.
enum class ColourFinish : uint8_t { None, YccToBgra, RgbToBgra };

// The writer for an MCU holding every frame component: a straight-line one
// for the common samplings, the generic one otherwise. converts: the writer
// itself applies `finish` (YCbCr to B, G, R, 255 for the common samplings).
JpegSampleWriter chooseWriter(const JpegDecoder& d, ColourFinish finish, bool& converts);
// The writers that convert YCbCr to B, G, R, 255 for 1 x 1, 2 x 1, 1 x 2 and
// 2 x 2 luma with 1 x 1 chroma (vector code where the target has SSE2), and
// their plain forms, which give the same bytes and stay for comparison.
void write444Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                 uint32_t count);
void write422Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                 uint32_t count);
void write440Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                 uint32_t count);
void write420Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                 uint32_t count);
void write444RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples,
                       JpegComponent* const* components, uint32_t count);
void write422RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples,
                       JpegComponent* const* components, uint32_t count);
void write440RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples,
                       JpegComponent* const* components, uint32_t count);
void write420RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples,
                       JpegComponent* const* components, uint32_t count);
// Nearest-neighbour writer for any set of components.
void writeGeneric(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                  uint32_t count);
// One block of one component (64 samples, or 1 at reduced size) at dest, its
// top-left pixel, replicated by the component's sampling.
void writeComponentBlock(const JpegDecoder& d, const JpegComponent& c, uint8_t* dest, const uint8_t* samples);

ColourFinish colourFinishFor(const JpegDecoder& d);
// Applies it to rows x pixels of 4-byte pixels, rows strideBytes apart.
void finishRows(ColourFinish finish, uint8_t* rows, size_t strideBytes, uint32_t rowCount, uint32_t pixels);

} // namespace quillon::jpeg_internal
