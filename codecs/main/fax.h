#pragma once
// Decoder for CCITT bi-level data: Modified Huffman rows, T.4 one- and
// two-dimensional coding with EOL codes, and T.6 (Group 4). Output rows are
// packed 1-bit, most significant bit first, 1 = black.
//
// Usage: faxDecoderInit once per image, then per strip (each strip starts
// afresh against an imaginary white line) setInput and decodeRows.
#include <cstddef>
#include <cstdint>

#include "core/result.h"
#include "platform/memory.h"

namespace quillon {

// The `mode` argument: the TIFF compression numbers.
constexpr uint32_t FAX_MODE_MH = 2;          // Modified Huffman rows, byte-aligned, no EOL
constexpr uint32_t FAX_MODE_T4 = 3;          // T.4 rows with EOL
constexpr uint32_t FAX_MODE_T6 = 4;          // T.6 (Group 4)
constexpr uint32_t FAX_MODE_MH_WORD = 32771; // Modified Huffman rows, 16-bit aligned

// `options` bit 0 (TIFF T4Options): T.4 rows may be two-dimensionally coded.
constexpr uint32_t FAX_T4_2D = 1;
// `flags` bit 0: the coded bytes are least significant bit first (fill order 2).
constexpr uint32_t FAX_FILL_LSB_FIRST = 1;

class FaxDecoder {
public:
    FaxDecoder() = default;
    FaxDecoder(const FaxDecoder&) = delete;
    FaxDecoder& operator=(const FaxDecoder&) = delete;

    // Starts a new block of coded data (a strip): empties the bit buffer and
    // makes the reference row an all-white line. The data is borrowed.
    void setInput(const uint8_t* data, size_t size);

    // Decodes rows of bytesPerRow bytes into out until byteCount bytes are
    // filled (a last partial row gets its first bytes). Returns 1 when every
    // row was decoded, 0 when decoding stopped early: at a bad code, or
    // because the data ended before the rows did (the last row included).
    // Modified Huffman data stops quietly with 1 at a bad code, as its rows
    // carry no way to tell, but not when its data runs out. Rows that were
    // not reached are white (zero), never left as they were.
    int decodeRows(uint8_t* out, size_t byteCount);

    uint32_t width() const { return width_; }
    uint32_t bytesPerRow() const { return bytesPerRow_; }

private:
    friend ResultCode faxDecoderInit(FaxDecoder& state, uint32_t mode, uint32_t options, uint32_t bytesPerRow,
                                     uint32_t width, uint32_t flags);
    enum RowEnd : int { ROW_DONE, ROW_EOL, ROW_INVALID, ROW_NO_INPUT };

    // Bit input, least significant bit = next bit.
    bool ensure(int n);
    void refill();
    void drop(int n)
    {
        bits_ >>= n;
        count_ -= n;
    }
    // True once a code took some of the zeros made up past the data's end:
    // the data ended inside it.
    bool overran() const { return count_ < made_; }
    bool eolSearch();
    bool consumeEol();
    void alignInput(uint32_t bitsAlign);

    // Row decoding into the current change list.
    bool append(int64_t position);
    RowEnd decodeRun(bool black, int64_t& a0);
    RowEnd decodeRow1D();
    RowEnd decodeRow2D();
    void completeRow();
    void paintRow(uint8_t* row) const;
    void finishReference();

    uint32_t mode_ = 0;
    bool twoD_ = false;
    uint32_t bytesPerRow_ = 0;
    uint32_t width_ = 0;
    const uint8_t* byteMap_ = nullptr;

    // Each row is held as its change positions: entry i ends run i (white
    // for even i, black for odd i), so the parity of an index is the colour
    // of the run it closes. A complete row ends with the width, and a
    // reference row carries sentinel entries of the width after that.
    AlignedBuffer<uint32_t> storage_;
    AlignedBuffer<uint8_t> scratchRow_;
    uint32_t* current_ = nullptr;
    uint32_t* reference_ = nullptr;
    uint32_t capacity_ = 0; // changes a row may hold before it is invalid
    uint32_t changes_ = 0;  // changes in the current row
    int64_t a0_ = 0;        // end of the decoded part of the current row

    uint64_t bits_ = 0;
    int count_ = 0;
    // Zero bits added above the data's last bit, so that a short last code
    // can be looked up in a whole window; never part of a real code.
    int made_ = 0;
    const uint8_t* start_ = nullptr;
    const uint8_t* in_ = nullptr;
    const uint8_t* end_ = nullptr;
    bool eolSeen_ = false;
};

// Prepares a decoder for one image. RC_INVALID_PARAMETER for an unknown
// mode, a width of 0 or above 2^28, or rows too short for the width;
// RC_OUT_OF_MEMORY when the row lists cannot be allocated.
ResultCode faxDecoderInit(FaxDecoder& state, uint32_t mode, uint32_t options, uint32_t bytesPerRow, uint32_t width,
                          uint32_t flags);

} // namespace quillon
