#include "codecs/main/fax.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/bitpack.h"

namespace quillon {

namespace {

// Table entry states.
enum : uint8_t {
    S_INVALID = 0,
    S_PASS = 1,
    S_HORIZ = 2,
    S_V0 = 3,
    S_VR = 4,
    S_VL = 5,
    S_EXT = 6,
    S_TERM_W = 7,
    S_TERM_B = 8,
    S_MAKEUP_W = 9,
    S_MAKEUP_B = 10,
    S_MAKEUP = 11,
    S_EOL = 12,
};

struct Entry {
    uint8_t state;
    uint8_t length;
    uint16_t param;
};

// A code as it appears in the bit stream, first bit first.
struct Code {
    const char* bits;
    uint16_t value;
};

constexpr Code kWhiteTerm[] = {
    {"00110101", 0},  {"000111", 1},   {"0111", 2},     {"1000", 3},     {"1011", 4},     {"1100", 5},
    {"1110", 6},      {"1111", 7},     {"10011", 8},    {"10100", 9},    {"00111", 10},   {"01000", 11},
    {"001000", 12},   {"000011", 13},  {"110100", 14},  {"110101", 15},  {"101010", 16},  {"101011", 17},
    {"0100111", 18},  {"0001100", 19}, {"0001000", 20}, {"0010111", 21}, {"0000011", 22}, {"0000100", 23},
    {"0101000", 24},  {"0101011", 25}, {"0010011", 26}, {"0100100", 27}, {"0011000", 28}, {"00000010", 29},
    {"00000011", 30}, {"00011010", 31}, {"00011011", 32}, {"00010010", 33}, {"00010011", 34}, {"00010100", 35},
    {"00010101", 36}, {"00010110", 37}, {"00010111", 38}, {"00101000", 39}, {"00101001", 40}, {"00101010", 41},
    {"00101011", 42}, {"00101100", 43}, {"00101101", 44}, {"00000100", 45}, {"00000101", 46}, {"00001010", 47},
    {"00001011", 48}, {"01010010", 49}, {"01010011", 50}, {"01010100", 51}, {"01010101", 52}, {"00100100", 53},
    {"00100101", 54}, {"01011000", 55}, {"01011001", 56}, {"01011010", 57}, {"01011011", 58}, {"01001010", 59},
    {"01001011", 60}, {"00110010", 61}, {"00110011", 62}, {"00110100", 63},
};

constexpr Code kWhiteMakeup[] = {
    {"11011", 64},      {"10010", 128},     {"010111", 192},    {"0110111", 256},   {"00110110", 320},
    {"00110111", 384},  {"01100100", 448},  {"01100101", 512},  {"01101000", 576},  {"01100111", 640},
    {"011001100", 704}, {"011001101", 768}, {"011010010", 832}, {"011010011", 896}, {"011010100", 960},
    {"011010101", 1024}, {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280},
    {"011011010", 1344}, {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536}, {"010011010", 1600},
    {"011000", 1664},   {"010011011", 1728},
};

constexpr Code kBlackTerm[] = {
    {"0000110111", 0},    {"010", 1},           {"11", 2},            {"10", 3},            {"011", 4},
    {"0011", 5},          {"0010", 6},          {"00011", 7},         {"000101", 8},        {"000100", 9},
    {"0000100", 10},      {"0000101", 11},      {"0000111", 12},      {"00000100", 13},     {"00000111", 14},
    {"000011000", 15},    {"0000010111", 16},   {"0000011000", 17},   {"0000001000", 18},   {"00001100111", 19},
    {"00001101000", 20},  {"00001101100", 21},  {"00000110111", 22},  {"00000101000", 23},  {"00000010111", 24},
    {"00000011000", 25},  {"000011001010", 26}, {"000011001011", 27}, {"000011001100", 28}, {"000011001101", 29},
    {"000001101000", 30}, {"000001101001", 31}, {"000001101010", 32}, {"000001101011", 33}, {"000011010010", 34},
    {"000011010011", 35}, {"000011010100", 36}, {"000011010101", 37}, {"000011010110", 38}, {"000011010111", 39},
    {"000001101100", 40}, {"000001101101", 41}, {"000011011010", 42}, {"000011011011", 43}, {"000001010100", 44},
    {"000001010101", 45}, {"000001010110", 46}, {"000001010111", 47}, {"000001100100", 48}, {"000001100101", 49},
    {"000001010010", 50}, {"000001010011", 51}, {"000000100100", 52}, {"000000110111", 53}, {"000000111000", 54},
    {"000000100111", 55}, {"000000101000", 56}, {"000001011000", 57}, {"000001011001", 58}, {"000000101011", 59},
    {"000000101100", 60}, {"000001011010", 61}, {"000001100110", 62}, {"000001100111", 63},
};

constexpr Code kBlackMakeup[] = {
    {"0000001111", 64},     {"000011001000", 128},  {"000011001001", 192},  {"000001011011", 256},
    {"000000110011", 320},  {"000000110100", 384},  {"000000110101", 448},  {"0000001101100", 512},
    {"0000001101101", 576}, {"0000001001010", 640}, {"0000001001011", 704}, {"0000001001100", 768},
    {"0000001001101", 832}, {"0000001110010", 896}, {"0000001110011", 960}, {"0000001110100", 1024},
    {"0000001110101", 1088}, {"0000001110110", 1152}, {"0000001110111", 1216}, {"0000001010010", 1280},
    {"0000001010011", 1344}, {"0000001010100", 1408}, {"0000001010101", 1472}, {"0000001011010", 1536},
    {"0000001011011", 1600}, {"0000001100100", 1664}, {"0000001100101", 1728},
};

// Make-up codes for runs beyond 1728, shared by both colours.
constexpr Code kCommonMakeup[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

// An EOL, and (at every place a code may start) eleven or more zero bits,
// which can only be an EOL after fill bits.
constexpr Code kEol[] = {{"000000000001", 0}};

// Two-dimensional mode codes; the value is the vertical offset.
constexpr Code kPass[] = {{"0001", 0}};
constexpr Code kHoriz[] = {{"001", 0}};
constexpr Code kV0[] = {{"1", 0}};
constexpr Code kVR[] = {{"011", 1}, {"000011", 2}, {"0000011", 3}};
constexpr Code kVL[] = {{"010", 1}, {"000010", 2}, {"0000010", 3}};
constexpr Code kExt[] = {{"0000001", 0}}; // the first seven bits of the extension codes
constexpr Code kModeEol[] = {{"0000000", 0}};

constexpr int codeLength(const char* bits)
{
    int n = 0;
    while (bits[n]) ++n;
    return n;
}

template <size_t N>
struct Table {
    std::array<Entry, N> entries{};
    bool overlap = false;

    template <size_t M>
    constexpr void add(const Code (&codes)[M], uint8_t state)
    {
        for (const Code& c : codes) {
            int len = codeLength(c.bits);
            // The first bit of a code is the lowest bit of the index.
            uint32_t index = 0;
            for (int i = 0; i < len; ++i)
                if (c.bits[i] == '1') index |= 1u << i;
            for (uint32_t high = 0; (high << len) < N; ++high) {
                Entry& e = entries[index | (high << len)];
                if (e.state != S_INVALID) overlap = true;
                e = Entry{state, uint8_t(len), c.value};
            }
        }
    }
    constexpr void addZeroRun(uint8_t state)
    {
        // Nothing but zero bits in the whole window: EOL after fill.
        if (entries[0].state != S_INVALID) overlap = true;
        entries[0] = Entry{state, 0, 0};
    }
};

constexpr Table<128> buildModeTable()
{
    Table<128> t;
    t.add(kPass, S_PASS);
    t.add(kHoriz, S_HORIZ);
    t.add(kV0, S_V0);
    t.add(kVR, S_VR);
    t.add(kVL, S_VL);
    t.add(kExt, S_EXT);
    t.add(kModeEol, S_EOL);
    return t;
}

constexpr Table<4096> buildWhiteTable()
{
    Table<4096> t;
    t.add(kWhiteTerm, S_TERM_W);
    t.add(kWhiteMakeup, S_MAKEUP_W);
    t.add(kCommonMakeup, S_MAKEUP);
    t.add(kEol, S_EOL);
    t.addZeroRun(S_EOL);
    return t;
}

constexpr Table<8192> buildBlackTable()
{
    Table<8192> t;
    t.add(kBlackTerm, S_TERM_B);
    t.add(kBlackMakeup, S_MAKEUP_B);
    t.add(kCommonMakeup, S_MAKEUP);
    t.add(kEol, S_EOL);
    // Thirteen zero bits; twelve zeros followed by a one is the EOL above.
    t.addZeroRun(S_EOL);
    return t;
}

constexpr Table<128> kModeTable = buildModeTable();
constexpr Table<4096> kWhiteTable = buildWhiteTable();
constexpr Table<8192> kBlackTable = buildBlackTable();
// A code that filled another code's entries would mean the lists are not
// prefix-free, i.e. a transcription error.
static_assert(!kModeTable.overlap && !kWhiteTable.overlap && !kBlackTable.overlap);

constexpr std::array<uint8_t, 256> buildIdentity()
{
    std::array<uint8_t, 256> r{};
    for (int i = 0; i < 256; ++i) r[i] = uint8_t(i);
    return r;
}
constexpr std::array<uint8_t, 256> kIdentity = buildIdentity();

// Positions saturate here, far beyond any width, so that a hostile stream of
// make-up codes cannot overflow them.
constexpr int64_t kPositionLimit = int64_t(1) << 40;
constexpr uint32_t kMaxWidth = uint32_t(1) << 28;
// Entries beyond the row's own capacity: two for completing a row and three
// sentinels after it.
constexpr uint32_t kReserve = 8;

// Sets bits [start, end) of a row, most significant bit first.
void setBits(uint8_t* row, uint32_t start, uint32_t end)
{
    if (start >= end) return;
    uint32_t first = start >> 3, last = (end - 1) >> 3;
    uint8_t headMask = uint8_t(0xFF >> (start & 7));
    uint8_t tailMask = uint8_t(0xFF << (7 - ((end - 1) & 7)));
    if (first == last) {
        row[first] |= uint8_t(headMask & tailMask);
        return;
    }
    row[first] |= headMask;
    if (last > first + 1) std::memset(row + first + 1, 0xFF, last - first - 1);
    row[last] |= tailMask;
}

} // namespace

ResultCode faxDecoderInit(FaxDecoder& state, uint32_t mode, uint32_t options, uint32_t bytesPerRow, uint32_t width,
                          uint32_t flags)
{
    if (mode != FAX_MODE_MH && mode != FAX_MODE_T4 && mode != FAX_MODE_T6 && mode != FAX_MODE_MH_WORD)
        return RC_INVALID_PARAMETER;
    if (width == 0 || width > kMaxWidth || bytesPerRow < (width + 7) / 8) return RC_INVALID_PARAMETER;
    // Unusable until everything below succeeded.
    state.current_ = state.reference_ = nullptr;
    state.mode_ = mode;
    state.twoD_ = mode == FAX_MODE_T6 || (mode == FAX_MODE_T4 && (options & FAX_T4_2D));
    state.bytesPerRow_ = bytesPerRow;
    state.width_ = width;
    state.byteMap_ = (flags & FAX_FILL_LSB_FIRST) ? kIdentity.data() : kBitReversal.data();
    // A row has at most width + 1 real changes; the rest of the room only
    // absorbs zero-length runs before the row counts as invalid.
    state.capacity_ = width + 8;
    uint64_t perList = uint64_t(state.capacity_) + kReserve;
    if (!state.storage_.allocate(perList * 2) || !state.scratchRow_.allocate(bytesPerRow))
        return RC_OUT_OF_MEMORY;
    state.current_ = state.storage_.get();
    state.reference_ = state.storage_.get() + perList;
    state.setInput(nullptr, 0);
    return RC_OK;
}

void FaxDecoder::setInput(const uint8_t* data, size_t size)
{
    start_ = in_ = data;
    end_ = data ? data + size : data;
    bits_ = 0;
    count_ = 0;
    made_ = 0;
    eolSeen_ = false;
    if (reference_) {
        // The imaginary white line above the first row.
        for (int i = 0; i < 6; ++i) reference_[i] = width_;
    }
}

// Keeps at most 63 bits, so that no shift of the buffer reaches 64.
void FaxDecoder::refill()
{
    while (count_ <= 55 && in_ < end_) {
        bits_ |= uint64_t(byteMap_[*in_++]) << count_;
        count_ += 8;
    }
}

// Makes sure n bits are buffered. Past the end of the data, bits still
// buffered are topped up with zeros (counted in made_); with nothing
// buffered, it fails.
inline bool FaxDecoder::ensure(int n)
{
    if (count_ >= n) return true;
    refill();
    if (count_ >= n) return true;
    if (count_ == 0) return false;
    made_ += n - count_;
    count_ = n;
    return true;
}

// Skips to just past the next EOL: eleven zero bits, any further zero fill
// bits, then a one.
bool FaxDecoder::eolSearch()
{
    for (;;) {
        if (!ensure(11)) return false;
        if ((bits_ & 0x7FF) == 0) break;
        drop(1);
    }
    drop(11);
    return consumeEol();
}

// Drops zero bits up to and including the next one bit (the end of an EOL
// whose leading zeros are at the front of the buffer). False when the data
// ends first.
bool FaxDecoder::consumeEol()
{
    for (;;) {
        if (!ensure(1)) return false;
        int zeros = bits_ ? __builtin_ctzll(bits_) : 64;
        if (zeros >= count_) {
            // Every buffered bit is zero.
            bits_ = 0;
            count_ = 0;
            continue;
        }
        drop(zeros + 1);
        return true;
    }
}

// Moves the input to the next multiple of bitsAlign bits from the start of
// the data.
void FaxDecoder::alignInput(uint32_t bitsAlign)
{
    if (overran()) {
        // The data ended inside the row: nothing further to align to.
        bits_ = 0;
        count_ = 0;
        return;
    }
    const uint64_t real = uint64_t(count_ - made_);
    const uint64_t taken = uint64_t(in_ - start_) * 8;
    const uint64_t consumed = taken - real;
    const uint64_t target = (consumed + bitsAlign - 1) / bitsAlign * bitsAlign;
    if (target <= taken) {
        drop(int(target - consumed));
        return;
    }
    bits_ = 0;
    count_ = 0;
    made_ = 0;
    uint64_t bytes = std::min<uint64_t>(target / 8, uint64_t(end_ - start_));
    in_ = start_ + bytes;
}

bool FaxDecoder::append(int64_t position)
{
    if (changes_ >= capacity_) return false;
    current_[changes_++] = uint32_t(std::clamp<int64_t>(position, 0, width_));
    return true;
}

// One run of the given colour: make-up codes, then a terminating code. a0
// advances by every code as it is read, so a run cut short by an EOL or bad
// data still ends where its make-up codes took it.
FaxDecoder::RowEnd FaxDecoder::decodeRun(bool black, int64_t& a0)
{
    const Entry* table = black ? kBlackTable.entries.data() : kWhiteTable.entries.data();
    const int bitsNeeded = black ? 13 : 12;
    const uint32_t mask = black ? 0x1FFF : 0xFFF;
    const uint8_t term = black ? S_TERM_B : S_TERM_W;
    const uint8_t makeup = black ? S_MAKEUP_B : S_MAKEUP_W;
    for (;;) {
        if (!ensure(bitsNeeded)) return ROW_NO_INPUT;
        const Entry e = table[bits_ & mask];
        if (e.state == term) {
            drop(e.length);
            a0 = std::min(a0 + e.param, kPositionLimit);
            return ROW_DONE;
        }
        if (e.state == makeup || e.state == S_MAKEUP) {
            drop(e.length);
            a0 = std::min(a0 + e.param, kPositionLimit);
            continue;
        }
        if (e.state == S_EOL) {
            consumeEol();
            return ROW_EOL;
        }
        return ROW_INVALID;
    }
}

FaxDecoder::RowEnd FaxDecoder::decodeRow1D()
{
    changes_ = 0;
    a0_ = 0;
    while (a0_ < int64_t(width_)) {
        int64_t whiteStart = a0_;
        RowEnd r = decodeRun(false, a0_);
        if (r != ROW_DONE) return r;
        if (!append(a0_)) return ROW_INVALID;
        if (a0_ >= int64_t(width_)) break;
        int64_t blackStart = a0_;
        r = decodeRun(true, a0_);
        if (r != ROW_DONE) return r;
        if (a0_ == blackStart && blackStart == whiteStart && changes_ > 0) {
            // White 0 then black 0 says nothing; dropping both keeps the
            // colours alternating.
            --changes_;
            continue;
        }
        if (!append(a0_)) return ROW_INVALID;
    }
    return ROW_DONE;
}

FaxDecoder::RowEnd FaxDecoder::decodeRow2D()
{
    changes_ = 0;
    const uint32_t* ref = reference_;
    const int64_t width = width_;
    int64_t a0 = -1; // before the first pixel: a change may sit at 0
    uint32_t j = 0;  // reference index; its parity always equals changes_'s
    RowEnd result = ROW_DONE;
    while (a0 < width) {
        // b1: the first change on the reference row right of a0 whose
        // colour is opposite to the current one. The sentinels (the width)
        // end this search, as a0 < width.
        while (int64_t(ref[j]) <= a0) j += 2;
        const int64_t b1 = ref[j];
        if (!ensure(7)) {
            result = ROW_NO_INPUT;
            break;
        }
        const Entry e = kModeTable.entries[bits_ & 0x7F];
        switch (e.state) {
        case S_PASS:
            drop(e.length);
            a0 = ref[j + 1];
            j += 2;
            continue;
        case S_HORIZ: {
            drop(e.length);
            int64_t pos = std::max<int64_t>(a0, 0);
            bool black = (changes_ & 1) != 0;
            RowEnd r = decodeRun(black, pos);
            if (r == ROW_DONE && !append(pos)) r = ROW_INVALID;
            if (r == ROW_DONE) r = decodeRun(!black, pos);
            if (r == ROW_DONE && !append(pos)) r = ROW_INVALID;
            a0 = pos;
            if (r != ROW_DONE) {
                result = r;
                break;
            }
            continue;
        }
        case S_V0:
        case S_VR:
        case S_VL: {
            int64_t a1 = e.state == S_VL ? b1 - e.param : b1 + e.param;
            if (a1 < a0 || a1 < 0) {
                // A change left of a0 cannot be drawn: the row is bad.
                result = ROW_INVALID;
                break;
            }
            drop(e.length);
            if (!append(a1)) {
                result = ROW_INVALID;
                break;
            }
            a0 = std::min(a1, width);
            j = j > 0 ? j - 1 : j + 1;
            continue;
        }
        case S_EOL:
            consumeEol();
            result = ROW_EOL;
            break;
        default:
            // Extension codes (uncompressed mode) are not supported.
            result = ROW_INVALID;
            break;
        }
        break;
    }
    a0_ = std::max<int64_t>(a0, 0);
    return result;
}

// Closes the row at the width: a black run under way ends at a0, and
// whatever the data did not cover is white.
void FaxDecoder::completeRow()
{
    uint32_t last = changes_ ? current_[changes_ - 1] : 0;
    if (changes_ > 0 && last >= width_) return;
    // The reserve holds these two entries even when the row filled its room.
    if (changes_ & 1) current_[changes_++] = uint32_t(std::min<int64_t>(std::max<int64_t>(a0_, last), width_));
    if (changes_ == 0 || current_[changes_ - 1] < width_) current_[changes_++] = width_;
}

void FaxDecoder::paintRow(uint8_t* row) const
{
    std::memset(row, 0, bytesPerRow_);
    uint32_t start = 0;
    for (uint32_t i = 0; i < changes_; ++i) {
        uint32_t end = current_[i];
        if (i & 1) setBits(row, start, end);
        start = end;
    }
}

// The finished row becomes the reference of the next one.
void FaxDecoder::finishReference()
{
    current_[changes_] = width_;
    current_[changes_ + 1] = width_;
    current_[changes_ + 2] = width_;
    std::swap(current_, reference_);
}

int FaxDecoder::decodeRows(uint8_t* out, size_t byteCount)
{
    if (!out) return 0;
    if (!current_) {
        std::memset(out, 0, byteCount);
        return 0;
    }
    size_t done = 0;
    int result = 1;
    while (done < byteCount) {
        size_t rowBytes = std::min<size_t>(bytesPerRow_, byteCount - done);
        bool stop = false;
        RowEnd r = ROW_DONE;
        switch (mode_) {
        case FAX_MODE_MH:
        case FAX_MODE_MH_WORD:
            r = decodeRow1D();
            if (r == ROW_INVALID) stop = true;
            else if (r == ROW_NO_INPUT) stop = true, result = 0;
            break;
        case FAX_MODE_T4:
            changes_ = 0;
            a0_ = 0;
            if (!eolSeen_ && !eolSearch()) {
                stop = true;
                result = 0;
                break;
            }
            eolSeen_ = false;
            if (twoD_) {
                if (!ensure(1)) {
                    stop = true;
                    result = 0;
                    break;
                }
                bool oneD = bits_ & 1;
                drop(1);
                if (oneD) {
                    r = decodeRow1D();
                    if (r == ROW_INVALID) stop = true, result = 0;
                } else {
                    // A bad two-dimensional row ends at the next EOL; the
                    // search for it puts decoding back in step.
                    r = decodeRow2D();
                }
            } else {
                r = decodeRow1D();
                if (r == ROW_INVALID) stop = true, result = 0;
            }
            // Data that ends inside a row ends the rows.
            if (r == ROW_NO_INPUT) stop = true, result = 0;
            if (r == ROW_EOL) eolSeen_ = true;
            break;
        case FAX_MODE_T6:
            r = decodeRow2D();
            // With no EOLs to find again, anything but a whole row ends the
            // data: an EOFB, bad codes, or the end of the input.
            if (r != ROW_DONE) stop = true, result = 0;
            break;
        default:
            return 0;
        }
        // A row that needed bits past the end of the data is cut short,
        // whatever the made-up zeros decoded as.
        if (overran()) stop = true, result = 0;
        completeRow();
        uint8_t* row = rowBytes == bytesPerRow_ ? out + done : scratchRow_.get();
        paintRow(row);
        if (row != out + done) std::memcpy(out + done, row, rowBytes);
        done += rowBytes;
        if (twoD_) finishReference();
        if (stop) break;
        if (mode_ == FAX_MODE_MH) alignInput(8);
        else if (mode_ == FAX_MODE_MH_WORD) alignInput(16);
    }
    if (done < byteCount) std::memset(out + done, 0, byteCount - done);
    return result;
}

} // namespace quillon
