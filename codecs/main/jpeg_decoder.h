#pragma once
// The system's own JPEG decoder: one stream that lies whole in memory, decoded
// into a caller's buffer of one byte per pixel (grey) or four (colour), at full
// size or at one eighth (DC only). Sequential and progressive frames, Huffman
// or arithmetic coding, 8-bit samples, one to four components.
//
// Files: jpeg_decoder.cpp (object, markers, headers, scan loop),
// jpeg_huffman.cpp (Huffman tables, bit reader, MCU decoders),
// jpeg_idct.cpp (transforms, sample writers, colour, band-parallel rows),
// jpeg_arith.cpp (arithmetic scans; see "Arithmetic scans" below).
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/result.h"

namespace quillon {

// Numbered as ColourModel.
enum JpegColourSpace : uint8_t {
    JPEG_CS_RGB = 0,
    JPEG_CS_L = 1,
    JPEG_CS_YCBCR = 3,
    JPEG_CS_CMYK = 4,
    JPEG_CS_CMYL = 5,
    JPEG_CS_YCCK = 6,
    JPEG_CS_UNKNOWN = 9,
};

// Receives (done, total) while a decode runs.
class JpegProgress {
public:
    virtual void report(uint32_t done, uint32_t total) = 0;

protected:
    ~JpegProgress() = default;
};

class JpegDecoderBase {
public:
    virtual void setInput(const uint8_t* data, size_t size) = 0;
    virtual ResultCode readHeader() = 0;
    // dest holds destRows rows of strideBytes; each row must hold
    // alignedWidth() pixels (alignedWidth() / 8 when reduced). Whole MCUs are
    // decoded, but rows at or past destRows are never written.
    virtual ResultCode decode(uint8_t* dest, uint32_t bytesPerPixel, size_t strideBytes, uint32_t destRows,
                              bool reduced, JpegProgress* progress, const std::atomic<uint8_t>* abortByte) = 0;
    virtual int32_t alignedWidth() const = 0;
    virtual int32_t alignedHeight() const = 0;
    virtual uint32_t componentCount() const = 0;
    // Final only after decode.
    virtual uint8_t colourSpace() const = 0;
    virtual ~JpegDecoderBase() = default;
};

class JpegDecoder;

// Decodes one MCU of the current scan. blocks[i] points at 64 coefficients
// in natural (row-major) order; block i belongs to scan component
// blockComponent[i]. Non-interleaved scans pass one block at a time (one
// block is one MCU there, also for restart counting). False stops decoding
// (used when a refinement scan starts at the end of data).
using JpegMcuDecoder = bool (*)(JpegDecoder& d, int16_t* const* blocks, uint32_t count);

constexpr uint32_t kJpegHuffLookupBits = 10;

struct JpegHuffTable {
    uint8_t defined = 0;
    uint8_t built = 0;
    uint8_t counts[16] = {};
    uint8_t symbols[256] = {};
    // Per code length 1..16 (index = length); maxCode[17] stops every search.
    int32_t maxCode[18] = {};
    int32_t valOffset[17] = {};
    // Next kJpegHuffLookupBits bits -> (length << 8) | symbol; 0 = longer code.
    uint16_t lookup[1u << kJpegHuffLookupBits] = {};
    // Next kJpegHuffLookupBits bits -> the code and value bits of one or, in
    // AC tables, two coefficients that lie wholly inside them (see
    // JpegFastEntry in jpeg_huffman.cpp); 0 = take the long way.
    uint64_t fast[1u << kJpegHuffLookupBits] = {};
};

struct JpegComponent {
    uint32_t id = 0;
    uint32_t index = 0;
    uint32_t h = 1, v = 1;
    uint32_t quantTable = 0;
    uint32_t dcTable = 0, acTable = 0;  // from the latest scan header naming it
    uint32_t blocksPerMcu = 1;
    uint32_t firstBlock = 0;             // within the MCU, components in frame order
    // Blocks that hold samples of this component (its size rounded up to
    // blocks, without the MCU padding); non-interleaved scans cover exactly these.
    uint32_t widthInBlocks = 0, heightInBlocks = 0;
};

// State of the arithmetic decoder (T.81 Annex D). Conditioning values are
// filled by the DAC parser in jpeg_decoder.cpp and reset by readHeader.
struct JpegArithState {
    uint8_t dcL[16] = {};
    uint8_t dcU[16] = {};
    uint8_t acK[16] = {};
    uint32_t c = 0;
    int32_t a = 0;
    int32_t ct = 0;
    int16_t dcPred[4] = {};
    uint32_t dcContext[4] = {};
    uint8_t dcStats[16][64] = {};
    uint8_t acStats[16][256] = {};
    uint8_t fixedBin = 0;
    // Zero bytes read past the end of the data since the scan or interval
    // began: once C holds nothing else, what is decoded is made up.
    uint32_t zerosPastEnd = 0;
};

// ---------------------------------------------------------------------------
// Arithmetic scans (jpeg_arith.cpp).
//
// jpegArithStartScan is called once per scan of an arithmetic frame (SOF9,
// SOF10), right after the scan header was read and checked. On entry:
//   d.scanComponents (1..4) and d.scanComponent[i]: the scan's components in
//     scan order; d.scanComponent[i]->dcTable / acTable are Td / Ta (0..15,
//     not checked yet: a number of 16 or more must fail the start);
//   d.ss, d.se, d.ah, d.al; d.progressive; d.reduced (only coefficient 0 is
//     used then, but the sequential decoder may fill all 64);
//   d.blockComponent[]: for each block handed to the MCU decoder, its scan
//     component (0..scanComponents-1);
//   d.restartInterval (0 = none), d.pos / d.end: the entropy-coded data
//     starts at d.pos; every byte read must check d.pos < d.end and read 0
//     at or past d.end (and at a marker, which must stay unread).
//   d.arith.dcL/dcU/acK: conditioning from DAC (defaults L 0, U 1, Kx 5).
// It must set d.decodeMcu (and may leave d.finishScan null), reset the
// statistics, predictions and registers for the scan, set d.restartsLeft,
// and return RC_OK, or a failure code that ends decoding.
//
// d.decodeMcu(d, blocks, count) then runs once per MCU: count blocks of the
// interleaved MCU, or one block in a non-interleaved scan. Coefficients are
// natural order, 64 int16 per block, dequantised later by the caller:
//   sequential: zero the block(s) and store every coefficient;
//   progressive: the blocks live in a whole-image buffer that starts zeroed
//     and keeps earlier scans' values; DC first stores pred << Al in [0],
//     DC refine sets bit Al of [0], AC scans touch positions Ss..Se (zigzag
//     order via jpegZigzag) of their one component's block.
// Restarts are the MCU decoder's job: when d.restartInterval is non-zero,
// before an MCU with d.restartsLeft == 0 call jpegRestartResync(d) (it finds
// the expected restart marker or resynchronises), reset registers and statistics as at
// scan start and set d.restartsLeft = d.restartInterval; then decrement
// d.restartsLeft before every MCU. Return true (damaged data is not an error:
// decode nothing more for the rest of the scan and keep going).
ResultCode jpegArithStartScan(JpegDecoder& d);

// At the end of a restart interval: finds the next marker from d.pos
// (skipping whatever data of the interval is left) and steps past it when it
// is the restart marker due (d.nextRestart). A lost marker must not shift
// every later interval, so one of the next two restart markers is left for
// the restarts to come (the interval between reads as missing data), an
// earlier one is skipped to search on, any other marker is left for the scan
// loop, and a restart marker further off is taken for the one due. False (and
// d.dataMissing set) when no marker was taken: the interval has no data.
bool jpegRestartResync(JpegDecoder& d);

// Zigzag position -> natural index. Every position from 64 on lands on 63:
// a run of zeros may overshoot the last position, and the Huffman decoder
// takes up to two steps (each up to 64, for an end of block) from below 63.
struct JpegZigzagTable {
    uint8_t v[160];
    constexpr JpegZigzagTable() : v()
    {
        constexpr uint8_t order[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                       12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                       35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                       58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
        for (int i = 0; i < 160; ++i) v[i] = i < 64 ? order[i] : 63;
    }
};
inline constexpr JpegZigzagTable kJpegZigzagTable{};
inline constexpr const uint8_t (&jpegZigzag)[160] = kJpegZigzagTable.v;

// The record of a block whose coefficients were stored in it (blockRecords).
constexpr int32_t kJpegBlockHasAc = INT32_MIN;

// ---------------------------------------------------------------------------
class JpegDecoder final : public JpegDecoderBase {
public:
    void setInput(const uint8_t* data, size_t size) override;
    ResultCode readHeader() override;
    ResultCode decode(uint8_t* dest, uint32_t bytesPerPixel, size_t strideBytes, uint32_t destRows, bool reduced,
                      JpegProgress* progress, const std::atomic<uint8_t>* abortByte) override;
    int32_t alignedWidth() const override { return alignedWidth_; }
    int32_t alignedHeight() const override { return alignedHeight_; }
    uint32_t componentCount() const override { return componentCount_; }
    uint8_t colourSpace() const override { return colourSpace_; }
    ~JpegDecoder() override;

    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

    // Test hooks. bandMode: -1 by size, 0 never, 1 whenever allowed.
    // convertColour false leaves YCbCr and RGB samples in component order
    // (component c in byte c) and reports the frame's own colour space.
    int8_t bandMode = -1;
    // Who transforms band rows: -1 shared so that neither thread waits, 0
    // the row task, 1 the decoding thread, 2 half of each row each, 3 the
    // decoding thread, which also places every other row itself.
    int8_t bandSplit = -1;
    bool convertColour = true;
    // Set by decode: whether its rows went through row tasks.
    bool usedBands = false;
    // Set by decode: how many scans of a progressive frame were handed to
    // the task pool (bandMode 0 keeps them, and the output stage's row
    // bands, on the calling thread).
    uint32_t scansDecodedOnTasks = 0;

    // ---- state shared by the decoder's source files ----
    const uint8_t* end = nullptr;
    const uint8_t* begin = nullptr;

    uint32_t width_ = 0, height_ = 0;
    int32_t alignedWidth_ = 0, alignedHeight_ = 0;
    uint32_t maxH = 1, maxV = 1;
    uint32_t componentCount_ = 0;
    uint8_t colourSpace_ = JPEG_CS_UNKNOWN;
    uint8_t frameColourSpace = JPEG_CS_UNKNOWN;  // from the header, before any conversion
    int8_t adobeTransform = -1;
    JpegComponent component[4];
    uint16_t* quant = nullptr;  // 4 x 64, natural order
    bool arithmetic = false, differential = false, progressive = false, reduced = false;

    // Arguments of the running decode.
    uint8_t* dest = nullptr;
    uint32_t bytesPerPixel = 0;
    size_t strideBytes = 0;
    uint32_t destRows = 0;
    JpegProgress* progress = nullptr;
    const std::atomic<uint8_t>* abortByte = nullptr;

    // Read position and Huffman bit reader: bits are taken from the top of
    // bitBuffer. In band mode the row task reads the fields above while the
    // decoding thread writes these per MCU; on a cache line of their own they
    // are not traded between the two cores at every MCU.
    alignas(64) const uint8_t* pos = nullptr;
    uint64_t bitBuffer = 0;
    int32_t bitCount = 0;
    // Zero bits added past the end of data or at a marker.
    int32_t paddingBits = 0;
    bool atMarker = false;

    // Scan state.
    uint32_t scansRead = 0;
    uint32_t scanComponents = 0;
    JpegComponent* scanComponent[4] = {};
    uint32_t ss = 0, se = 63, ah = 0, al = 0;
    uint8_t blockComponent[24] = {};
    uint32_t mcuBlocks = 0;

    JpegHuffTable dcTable[4];
    JpegHuffTable acTable[4];
    int32_t dcPred[4] = {};
    uint32_t eobRun = 0;
    // Address of the previous block of a progressive AC scan.
    uintptr_t previousBlock = 0;
    // The sequential Huffman decoder may leave out clearing blocks: they
    // arrive zeroed (band rows, whose task clears them after use).
    bool blocksArriveCleared = false;
    // When set, the sequential Huffman decoder records each block of the MCU
    // here, in the MCU's block order: its DC term when an end of block
    // follows it at once, the block itself then left as it was (so cleared
    // blocks stay clear), or kJpegBlockHasAc after storing the block whole.
    // Band rows hand these records over instead of the blocks of smooth
    // areas, which saves the other core a cache line per block.
    int32_t* blockRecords = nullptr;
    // Blocks recorded as DC terms alone since the counter was last cleared.
    uint32_t flatBlocksRecorded = 0;

    JpegArithState arith;

    uint32_t restartInterval = 0;
    uint32_t restartsLeft = 0;
    // Number (0..7) of the restart marker due next in the running scan.
    uint32_t nextRestart = 0;
    // The Huffman-coded restart interval under way has no data at all.
    bool intervalEmpty = false;
    // Set while decoding when entropy-coded data the picture needs is
    // missing (cut off, or lost before a marker); decode then reports
    // RC_CORRUPT_FILE after filling every row.
    bool dataMissing = false;

    JpegMcuDecoder decodeMcu = nullptr;
    void (*finishScan)(JpegDecoder& d) = nullptr;

    // Geometry of the running decode (read by the row task; away from
    // restartsLeft for the same reason).
    alignas(64) uint32_t mcusPerRow = 0, mcuRows = 0;
    uint32_t blocksPerMcu = 0;  // B, over all frame components

private:
    friend JpegDecoder* jpegDecoderCreate();
    JpegDecoder() = default;
};

// Null when memory runs out.
JpegDecoder* jpegDecoderCreate();

// ---- internals shared by the decoder's files ----
namespace jpeg_internal {

// Marker search from d.pos; returns the marker code of the next frame, SOI,
// EOI or SOS marker (position just after it), 0xD9 at the end of data, or
// 256 on a malformed segment. Table segments are stored on the way.
uint32_t readMarkers(JpegDecoder& d);

// Huffman side.
bool parseDht(JpegDecoder& d, const uint8_t* data, size_t length);
ResultCode huffmanStartScan(JpegDecoder& d);
void huffmanFinishScan(JpegDecoder& d);

} // namespace jpeg_internal

} // namespace quillon
