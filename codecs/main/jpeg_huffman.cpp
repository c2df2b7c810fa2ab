// Huffman side of the JPEG decoder: DHT segments, the typical tables of
// T.81 Annex K, derived decoding tables, the bit reader and the MCU decoders
// of sequential and progressive scans.
#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/main/jpeg_decoder.h"

namespace quillon {
namespace {

// T.81 Annex K, Tables K.3 to K.6: counts per code length, then symbols.
const uint8_t kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const uint8_t kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

void setTable(JpegHuffTable& t, const uint8_t* counts, const uint8_t* symbols, uint32_t total)
{
    std::memcpy(t.counts, counts, 16);
    std::memcpy(t.symbols, symbols, total);
    t.defined = 1;
    t.built = 0;
}

// Fields of a fast entry. A step moves from one coefficient's zigzag position
// to the next one's: run + 1, 16 for a run of sixteen zeros, 64 for an end of
// block. The second coefficient is absent when its step is 0; its value then
// repeats the first one's, so that storing it changes nothing.
namespace fast {
inline uint32_t totalBits(uint64_t e) { return uint32_t(e & 0xFF); }
inline uint32_t firstBits(uint64_t e) { return uint32_t(e >> 8) & 0xFF; }
inline uint32_t firstStep(uint64_t e) { return uint32_t(e >> 16) & 0xFF; }
inline uint32_t secondStep(uint64_t e) { return uint32_t(e >> 24) & 0xFF; }
inline int16_t firstValue(uint64_t e) { return int16_t(e >> 32); }
inline int16_t secondValue(uint64_t e) { return int16_t(e >> 48); }
constexpr uint32_t kEndOfBlock = 64;
} // namespace fast

// One symbol at the top of `bits` (kJpegHuffLookupBits wide, of which only
// `known` are stream bits): its code and value bits, step and value; false
// when they do not lie wholly inside the known bits.
bool fastSymbol(const JpegHuffTable& t, uint32_t bits, uint32_t known, uint32_t& used, uint32_t& step,
                int32_t& value)
{
    uint32_t entry = t.lookup[bits];
    if (!entry) return false;
    uint32_t len = entry >> 8, rs = entry & 0xFF, run = rs >> 4, size = rs & 15;
    if (len + size > known) return false;
    used = len + size;
    step = size ? run + 1 : run == 15 ? 16 : fast::kEndOfBlock;
    value = 0;
    if (size) {
        uint32_t v = (bits >> (kJpegHuffLookupBits - len - size)) & ((1u << size) - 1);
        value = v < (1u << (size - 1)) ? int32_t(v) - (1 << size) + 1 : int32_t(v);
    }
    return true;
}

void buildTable(JpegHuffTable& t, bool ac)
{
    int32_t code = 0, index = 0;
    for (int len = 1; len <= 16; ++len) {
        t.valOffset[len] = index - code;
        if (t.counts[len - 1]) {
            index += t.counts[len - 1];
            code += t.counts[len - 1];
            t.maxCode[len] = code - 1;
        } else {
            t.maxCode[len] = -1;
        }
        code <<= 1;
    }
    t.maxCode[17] = 0xFFFFF;
    std::memset(t.lookup, 0, sizeof t.lookup);
    code = 0;
    index = 0;
    for (uint32_t len = 1; len <= kJpegHuffLookupBits; ++len) {
        for (uint32_t i = 0; i < t.counts[len - 1]; ++i, ++index, ++code) {
            uint32_t shift = kJpegHuffLookupBits - len;
            uint32_t first = uint32_t(code) << shift;
            uint16_t entry = uint16_t((len << 8) | t.symbols[index]);
            for (uint32_t k = 0; k < (1u << shift); ++k) t.lookup[first + k] = entry;
        }
        code <<= 1;
    }
    constexpr uint32_t mask = (1u << kJpegHuffLookupBits) - 1;
    for (uint32_t i = 0; i <= mask; ++i) {
        t.fast[i] = 0;
        uint32_t used1, step1, used2 = 0, step2 = 0;
        int32_t value1, value2;
        if (!fastSymbol(t, i, kJpegHuffLookupBits, used1, step1, value1)) continue;
        // Without a second symbol (fastSymbol leaves its outputs alone when
        // it finds none), step 0 and the first value stand in for it.
        value2 = value1;
        // Nothing follows an end of block in the same table: the next
        // block's DC code does.
        if (ac && step1 != fast::kEndOfBlock)
            fastSymbol(t, (i << used1) & mask, kJpegHuffLookupBits - used1, used2, step2, value2);
        t.fast[i] = uint64_t(used1 + used2) | uint64_t(used1) << 8 | uint64_t(step1) << 16 |
                    uint64_t(step2) << 24 | uint64_t(uint16_t(value1)) << 32 | uint64_t(uint16_t(value2)) << 48;
    }
    t.built = 1;
}

// Bit reader state kept in registers for the length of one MCU. Bits sit at
// the top of `buffer`. A marker or the end of data is never read through:
// zero bits are supplied instead and counted as padding.
struct Bits {
    const uint8_t* pos;
    const uint8_t* end;
    uint64_t buffer;
    int32_t count;
    int32_t padding;
    bool marker;

    explicit Bits(const JpegDecoder& d)
        : pos(d.pos), end(d.end), buffer(d.bitBuffer), count(d.bitCount), padding(d.paddingBits),
          marker(d.atMarker)
    {
    }
    void save(JpegDecoder& d) const
    {
        d.pos = pos;
        d.bitBuffer = buffer;
        d.bitCount = count;
        d.paddingBits = padding;
        d.atMarker = marker;
    }

    void fill()
    {
        if (!marker && end - pos >= 8) {
            uint64_t word;
            std::memcpy(&word, pos, 8);
            word = __builtin_bswap64(word);
            uint64_t inverted = ~word;
            if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
                // No 0xFF among the next eight bytes: take as many as fit.
                int32_t bytes = (64 - count) >> 3;
                uint64_t chunk = bytes == 8 ? word : word >> (64 - 8 * bytes);
                buffer |= chunk << (64 - count - 8 * bytes);
                pos += bytes;
                count += 8 * bytes;
                return;
            }
        }
        while (count <= 56) {
            uint32_t byte = 0;
            if (!marker && pos < end) {
                byte = *pos;
                if (byte == 0xFF) {
                    if (end - pos >= 2 && pos[1] == 0x00) {
                        pos += 2;
                    } else {
                        marker = true;
                        byte = 0;
                        padding += 8;
                    }
                } else {
                    ++pos;
                }
            } else {
                padding += 8;
            }
            buffer |= uint64_t(byte) << (56 - count);
            count += 8;
        }
    }
    void ensure(int32_t n)
    {
        if (count < n) fill();
    }
    uint32_t peek(int32_t n) const { return uint32_t(buffer >> (64 - n)); }
    void skip(int32_t n)
    {
        buffer <<= n;
        count -= n;
    }
    // n bits (0..16) as an unsigned value.
    uint32_t take(int32_t n)
    {
        if (n == 0) return 0;
        ensure(n);
        uint32_t v = peek(n);
        skip(n);
        return v;
    }
    uint32_t bit()
    {
        ensure(1);
        uint32_t v = uint32_t(buffer >> 63);
        skip(1);
        return v;
    }
    // No bit of the data is left: only padding remains.
    bool exhausted() const { return padding > 0 && count <= padding; }
};

inline int32_t extend(uint32_t v, uint32_t s) { return v < (1u << (s - 1)) ? int32_t(v) - (1 << s) + 1 : int32_t(v); }

inline uint32_t decodeSymbol(Bits& b, const JpegHuffTable& t)
{
    b.ensure(16);
    uint32_t entry = t.lookup[b.peek(kJpegHuffLookupBits)];
    if (__builtin_expect(entry != 0, 1)) {
        b.skip(int32_t(entry >> 8));
        return entry & 0xFF;
    }
    for (int32_t len = kJpegHuffLookupBits + 1; len <= 16; ++len) {
        int32_t code = int32_t(b.peek(len));
        if (code <= t.maxCode[len]) {
            b.skip(len);
            return t.symbols[(t.valOffset[len] + code) & 0xFF];
        }
    }
    // Not a code of this table.
    b.skip(16);
    return 0;
}

inline int32_t receiveExtend(Bits& b, uint32_t s) { return s ? extend(b.take(int32_t(s)), s) : 0; }

void restart(JpegDecoder& d)
{
    // Zero bits taken past a marker or the end: the interval lacked data.
    if (d.paddingBits > d.bitCount) d.dataMissing = true;
    d.bitBuffer = 0;
    d.bitCount = 0;
    d.paddingBits = 0;
    d.atMarker = false;
    d.intervalEmpty = !jpegRestartResync(d);
    for (int i = 0; i < 4; ++i) d.dcPred[i] = 0;
    d.eobRun = 0;
    d.restartsLeft = d.restartInterval;
}

inline void restartCheck(JpegDecoder& d)
{
    if (d.restartInterval) {
        if (d.restartsLeft == 0) restart(d);
        --d.restartsLeft;
    }
}

// Once an MCU has taken bits past the data (the end, or a marker), the MCUs
// after it up to the next restart are left without coefficients instead of
// being decoded from zeros: uniform level 128, as libjpeg leaves them.
inline bool starved(const JpegDecoder& d)
{
    return __builtin_expect(d.paddingBits > d.bitCount || d.intervalEmpty, 0);
}

inline int16_t addPrediction(JpegDecoder& d, uint32_t component, int32_t diff)
{
    int16_t p = int16_t(d.dcPred[component] + diff);
    d.dcPred[component] = p;
    return p;
}

// The DC difference of one block.
inline int32_t decodeDcDifference(Bits& b, const JpegHuffTable& t)
{
    b.ensure(16);
    const uint64_t e = t.fast[b.peek(kJpegHuffLookupBits)];
    if (__builtin_expect(e != 0 && b.padding == 0, 1)) {
        b.skip(int32_t(fast::totalBits(e)));
        return fast::firstValue(e);
    }
    return receiveExtend(b, decodeSymbol(b, t));
}

// Zigzag position -> natural index for sequential blocks, whose DC term is
// stored after the AC terms: every position from 64 on lands on the DC term.
// So an end of block, or the second of two symbols when the first completes
// the block, writes into the block's first cache line, where a block of low
// frequencies has all its coefficients, and leaves the second one untouched.
struct SequentialOrder {
    uint8_t v[160];
    constexpr SequentialOrder() : v()
    {
        for (int i = 0; i < 160; ++i) v[i] = i < 64 ? jpegZigzag[i] : 0;
    }
};
constexpr SequentialOrder kSequentialOrderTable{};
constexpr const uint8_t (&kSequentialOrder)[160] = kSequentialOrderTable.v;

// The AC coefficients of one sequential block. `pos` is the zigzag position
// of the last coefficient decoded. A fast entry moves it by one or two steps
// without a branch between them; an end of block (step 64) ends the loop, and
// its zero lands on the DC term (see kSequentialOrder), which the caller
// stores afterwards. When the first of two coefficients already completes
// the block, the second belongs to the next block: its bits are given back,
// and its value too went to the DC term. Without `Store` the values are
// decoded and dropped.
template <bool Store>
inline void decodeAcCoefficients(Bits& b, const JpegHuffTable& ac, int16_t* block)
{
    const uint64_t* table = ac.fast;
    uint32_t pos = 0;
    for (;;) {
        // Forty bits cover four fast entries (at most ten bits each), so the
        // buffer is checked once per four.
        if (b.count < 40) b.fill();
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const uint64_t e = table[b.peek(kJpegHuffLookupBits)];
            if (__builtin_expect(e != 0 && b.padding == 0, 1)) {
                const uint64_t before = b.buffer;
                const int32_t countBefore = b.count;
                b.skip(int32_t(fast::totalBits(e)));
                const uint32_t first = pos + fast::firstStep(e);
                if constexpr (Store) block[kSequentialOrder[first]] = fast::firstValue(e);
                pos = first + fast::secondStep(e);
                if constexpr (Store) block[kSequentialOrder[pos]] = fast::secondValue(e);
                if (pos >= 63) {
                    if (first >= 63 && fast::secondStep(e)) {
                        b.buffer = before << fast::firstBits(e);
                        b.count = countBefore - int32_t(fast::firstBits(e));
                    }
                    return;
                }
            } else {
                const uint32_t rs = decodeSymbol(b, ac);
                const uint32_t run = rs >> 4, s = rs & 15;
                if (s) {
                    pos += run + 1;
                    const int32_t v = receiveExtend(b, s);
                    if constexpr (Store) block[kSequentialOrder[pos]] = int16_t(v);
                } else {
                    if (run != 15) return;
                    pos += 16;
                }
                if (pos >= 63) return;
                // The long way may have left fewer bits than a group needs.
                break;
            }
        }
    }
}

// A block of 64 zero coefficients in eight 16-byte stores (a plain memset of
// 128 bytes becomes a string instruction whose start-up costs more).
inline void clearBlock(int16_t* block)
{
    typedef int16_t Lanes __attribute__((vector_size(16)));
    const Lanes zero = {};
    std::memcpy(block, &zero, 16);
    std::memcpy(block + 8, &zero, 16);
    std::memcpy(block + 16, &zero, 16);
    std::memcpy(block + 24, &zero, 16);
    std::memcpy(block + 32, &zero, 16);
    std::memcpy(block + 40, &zero, 16);
    std::memcpy(block + 48, &zero, 16);
    std::memcpy(block + 56, &zero, 16);
}

// True, with its code stepped over, when the next AC symbol is an end of
// block by the fast table; false leaves the bits as they were.
inline bool endOfBlockNext(Bits& b, const JpegHuffTable& ac)
{
    b.ensure(16);
    const uint64_t e = ac.fast[b.peek(kJpegHuffLookupBits)];
    if (e == 0 || b.padding != 0 || fast::firstStep(e) != fast::kEndOfBlock) return false;
    b.skip(int32_t(fast::firstBits(e)));
    return true;
}

// The MCUs of a sequential scan. For one-eighth output (`Full` false) only
// the DC terms are kept; the AC codes are read past.
template <bool Full>
bool decodeSequential(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    restartCheck(d);
    int32_t* const records = Full ? d.blockRecords : nullptr;
    if (starved(d)) {
        for (uint32_t i = 0; i < count; ++i) {
            if constexpr (Full) {
                if (!d.blocksArriveCleared) clearBlock(blocks[i]);
            } else {
                blocks[i][0] = 0;
            }
            if (records) records[i] = 0;
        }
        return true;
    }
    Bits b(d);
    for (uint32_t i = 0; i < count; ++i) {
        int16_t* block = blocks[i];
        if constexpr (Full)
            if (!d.blocksArriveCleared) clearBlock(block);
        const uint32_t ci = d.blockComponent[i];
        const JpegComponent& c = *d.scanComponent[ci];
        const JpegHuffTable& ac = d.acTable[c.acTable];
        const int16_t dc = addPrediction(d, ci, decodeDcDifference(b, d.dcTable[c.dcTable]));
        if (records) {
            if (endOfBlockNext(b, ac)) {
                records[i] = dc;
                ++d.flatBlocksRecorded;
                continue;
            }
            records[i] = kJpegBlockHasAc;
        }
        decodeAcCoefficients<Full>(b, ac, block);
        block[0] = dc;
    }
    b.save(d);
    return true;
}

bool decodeDcFirst(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    restartCheck(d);
    if (starved(d)) return true;
    Bits b(d);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t ci = d.blockComponent[i];
        const JpegComponent& c = *d.scanComponent[ci];
        int16_t p = addPrediction(d, ci, decodeDcDifference(b, d.dcTable[c.dcTable]));
        blocks[i][0] = int16_t(int32_t(p) * (1 << d.al));
    }
    b.save(d);
    return true;
}

bool decodeDcRefine(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    restartCheck(d);
    if (starved(d)) return true;
    Bits b(d);
    if (b.pos >= b.end && (b.count <= b.padding)) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (b.bit()) blocks[i][0] = int16_t(blocks[i][0] | (1 << d.al));
    b.save(d);
    return true;
}

// Progressive AC scans visit one component's blocks of a whole-image buffer
// at a steady stride, too far apart for the hardware to fetch them ahead;
// the blocks a few steps on are asked for now (a wrong guess costs nothing
// but the fetch).
inline void prefetchAhead(JpegDecoder& d, const int16_t* block)
{
    const uintptr_t here = reinterpret_cast<uintptr_t>(block);
    const uintptr_t ahead = here + 4 * (here - d.previousBlock);
    __builtin_prefetch(reinterpret_cast<const void*>(ahead));
    __builtin_prefetch(reinterpret_cast<const void*>(ahead + 64));
    __builtin_prefetch(reinterpret_cast<const void*>(ahead + 127));
    d.previousBlock = here;
}

bool decodeAcFirst(JpegDecoder& d, int16_t* const* blocks, uint32_t)
{
    restartCheck(d);
    prefetchAhead(d, blocks[0]);
    if (d.eobRun > 0) {
        --d.eobRun;
        return true;
    }
    // Blocks of an end-of-band run need no bits; only the others can starve.
    if (starved(d)) return true;
    Bits b(d);
    int16_t* block = blocks[0];
    const JpegHuffTable& ac = d.acTable[d.scanComponent[0]->acTable];
    for (uint32_t k = d.ss; k <= d.se; ++k) {
        // The first coefficient of a fast entry, unless it is an end-of-band
        // run (whose run bits follow).
        b.ensure(16);
        if (const uint64_t e = ac.fast[b.peek(kJpegHuffLookupBits)];
            __builtin_expect(e != 0 && b.padding == 0 && fast::firstStep(e) != fast::kEndOfBlock, 1)) {
            b.skip(int32_t(fast::firstBits(e)));
            k += fast::firstStep(e) - 1;
            if (const int32_t v = fast::firstValue(e)) block[jpegZigzag[k]] = int16_t(v * (1 << d.al));
            continue;
        }
        uint32_t rs = decodeSymbol(b, ac);
        uint32_t run = rs >> 4, s = rs & 15;
        if (s) {
            k += run;
            block[jpegZigzag[k]] = int16_t(receiveExtend(b, s) * (1 << d.al));
        } else if (run == 15) {
            k += 15;
        } else {
            d.eobRun = (1u << run) + b.take(int32_t(run)) - 1;
            break;
        }
    }
    b.save(d);
    return true;
}

// Which coefficients of a block are non-zero, as a mask in zigzag order (bit
// k for zigzag position k). A refinement scan passes over every non-zero
// coefficient of its band in each block, most of them inside end-of-band
// runs; walking the mask visits just those, where testing the coefficients
// one by one costs a load and a branch that mispredicts for each of the 63.
struct ZigzagMasks {
    // Byte i of the natural-order mask (coefficients 8i .. 8i + 7) -> the
    // same coefficients' bits in zigzag order.
    uint64_t byByte[8][256];
    constexpr ZigzagMasks() : byByte()
    {
        uint32_t position[64] = {};
        for (uint32_t k = 0; k < 64; ++k) position[jpegZigzag[k]] = k;
        for (uint32_t i = 0; i < 8; ++i)
            for (uint32_t v = 0; v < 256; ++v) {
                uint64_t m = 0;
                for (uint32_t j = 0; j < 8; ++j)
                    if (v & (1u << j)) m |= uint64_t(1) << position[8 * i + j];
                byByte[i][v] = m;
            }
    }
};
constexpr ZigzagMasks kZigzagMasks{};

// The DC term is left out (bit 0 stays clear) and never read: a DC scan of
// the same component may be changing it on another thread meanwhile.
inline uint64_t nonZeroZigzag(const int16_t* block)
{
    uint64_t natural = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
        // The first group is read from coefficient 1 on: its lanes stand one
        // place further along, and coefficient 8 is read twice.
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + (i ? i : 1)));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i + 8));
        const __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        uint64_t found = ~uint32_t(_mm_movemask_epi8(zeros)) & 0xFFFFu;
        if (i == 0) found = ((found & 0xFF) << 1) | (found & 0xFF00);
        natural |= found << i;
    }
#else
    for (int i = 1; i < 64; ++i) natural |= uint64_t(block[i] != 0) << i;
#endif
    uint64_t m = 0;
    for (int i = 0; i < 8; ++i) m |= kZigzagMasks.byByte[i][(natural >> (8 * i)) & 0xFF];
    return m;
}

// Bits [0, n) of a mask, n up to 64.
inline uint64_t bitsBelow(uint32_t n) { return n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1; }

bool decodeAcRefine(JpegDecoder& d, int16_t* const* blocks, uint32_t)
{
    restartCheck(d);
    // Within an end-of-band run the correction bits read as zeros, which
    // change nothing.
    if (d.eobRun == 0 && starved(d)) return true;
    Bits b(d);
    if (b.pos >= b.end && (b.count <= b.padding)) return false;
    int16_t* block = blocks[0];
    prefetchAhead(d, block);
    const JpegHuffTable& ac = d.acTable[d.scanComponent[0]->acTable];
    const int32_t p1 = 1 << d.al, m1 = -(1 << d.al);
    const uint32_t se = d.se;
    const uint64_t band = bitsBelow(se + 1) & ~bitsBelow(d.ss);
    // The band's non-zero coefficients; the coefficients this block gains
    // lie behind the walk, so the mask needs no update for them.
    const uint64_t nonZero = nonZeroZigzag(block) & band;
    // Each non-zero coefficient in `mask`, in zigzag order, takes one
    // correction bit; up to 32 of them are taken from the reader at once.
    auto correct = [&](uint64_t mask) {
        while (mask) {
            const int32_t n = std::min(__builtin_popcountll(mask), 32);
            uint32_t bits = b.take(n) << (32 - n);
            for (int32_t i = 0; i < n; ++i, bits <<= 1, mask &= mask - 1) {
                int16_t& coef = block[jpegZigzag[__builtin_ctzll(mask)]];
                if ((bits & 0x80000000u) && (coef & p1) == 0) coef = int16_t(coef + (coef >= 0 ? p1 : m1));
            }
        }
    };
    uint32_t k = d.ss;
    if (d.eobRun == 0) {
        for (; k <= se; ++k) {
            uint32_t rs = decodeSymbol(b, ac);
            int32_t run = int32_t(rs >> 4);
            uint32_t s = rs & 15;
            int32_t value = 0;
            if (s) {
                value = b.bit() ? p1 : m1;
            } else if (run != 15) {
                d.eobRun = 1u << run;
                if (run) d.eobRun += b.take(run);
                break;
            }
            // Past `run` zero coefficients to the next zero one, correcting
            // the non-zero ones on the way; without enough zeros, to the
            // band's end.
            uint64_t zeros = ~nonZero & band & ~bitsBelow(k);
            for (; run > 0 && zeros; --run) zeros &= zeros - 1;
            const uint32_t next = zeros ? uint32_t(__builtin_ctzll(zeros)) : se + 1;
            correct(nonZero & bitsBelow(next) & ~bitsBelow(k));
            k = next;
            if (value && k <= se) block[jpegZigzag[k]] = int16_t(value);
        }
    }
    if (d.eobRun > 0) {
        if (k <= se) correct(nonZero & ~bitsBelow(k));
        --d.eobRun;
    }
    b.save(d);
    return true;
}

} // namespace

namespace jpeg_internal {

bool parseDht(JpegDecoder& d, const uint8_t* data, size_t length)
{
    size_t at = 0;
    while (at < length) {
        if (length - at < 17) return false;
        uint8_t classNumber = data[at];
        uint32_t tableClass = (classNumber >> 4) & 1;
        uint32_t number = classNumber & ~0x10u;
        if (number > 3) return false;
        const uint8_t* counts = data + at + 1;
        uint32_t total = 0;
        // Kraft sum in units of 2^-16: more codes than the lengths can hold
        // would make the canonical codes overflow their lengths.
        uint32_t kraft = 0;
        for (int len = 1; len <= 16; ++len) {
            total += counts[len - 1];
            kraft += uint32_t(counts[len - 1]) << (16 - len);
        }
        if (total > 256 || kraft > 65536) return false;
        if (length - at - 17 < total) return false;
        const uint8_t* symbols = data + at + 17;
        if (tableClass == 0)
            for (uint32_t i = 0; i < total; ++i)
                if (symbols[i] > 15) return false;
        JpegHuffTable& t = tableClass ? d.acTable[number] : d.dcTable[number];
        setTable(t, counts, symbols, total);
        at += 17 + total;
    }
    return true;
}

ResultCode huffmanStartScan(JpegDecoder& d)
{
    if (!d.dcTable[0].defined) setTable(d.dcTable[0], kDcLumaCounts, kDcSymbols, 12);
    if (!d.acTable[0].defined) setTable(d.acTable[0], kAcLumaCounts, kAcLumaSymbols, 162);
    if (!d.dcTable[1].defined) setTable(d.dcTable[1], kDcChromaCounts, kDcSymbols, 12);
    if (!d.acTable[1].defined) setTable(d.acTable[1], kAcChromaCounts, kAcChromaSymbols, 162);

    const bool needDc = !d.progressive || (d.ss == 0 && d.ah == 0);
    const bool needAc = !d.progressive || d.ss > 0;
    for (uint32_t i = 0; i < d.scanComponents; ++i) {
        const JpegComponent& c = *d.scanComponent[i];
        if (needDc) {
            if (c.dcTable > 3 || !d.dcTable[c.dcTable].defined) return RC_CORRUPT_FILE;
            if (!d.dcTable[c.dcTable].built) buildTable(d.dcTable[c.dcTable], false);
        }
        if (needAc) {
            if (c.acTable > 3 || !d.acTable[c.acTable].defined) return RC_CORRUPT_FILE;
            if (!d.acTable[c.acTable].built) buildTable(d.acTable[c.acTable], true);
        }
    }

    d.bitBuffer = 0;
    d.bitCount = 0;
    d.paddingBits = 0;
    d.atMarker = false;
    d.eobRun = 0;
    d.intervalEmpty = false;
    for (int i = 0; i < 4; ++i) d.dcPred[i] = 0;
    d.restartsLeft = d.restartInterval;
    if (d.progressive) {
        if (d.ah > 0) d.decodeMcu = d.ss == 0 ? decodeDcRefine : decodeAcRefine;
        else d.decodeMcu = d.ss == 0 ? decodeDcFirst : decodeAcFirst;
    } else {
        d.decodeMcu = d.reduced ? decodeSequential<false> : decodeSequential<true>;
    }
    d.finishScan = huffmanFinishScan;
    return RC_OK;
}

void huffmanFinishScan(JpegDecoder& d)
{
    if (d.paddingBits > d.bitCount) d.dataMissing = true;
    // Whole bytes are loaded; what is left of them is the scan's padding.
    d.bitBuffer = 0;
    d.bitCount = 0;
    d.paddingBits = 0;
    d.atMarker = false;
}

} // namespace jpeg_internal
} // namespace quillon
