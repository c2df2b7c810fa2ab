// Arithmetic side of the JPEG decoder: the binary arithmetic decoder of
// T.81 Annex D with its probability estimation, the statistical model of
// F.2.4 (sequential) and G.1.3 (progressive), and restart handling.
#include <cstring>

#include "codecs/main/jpeg_decoder.h"

namespace quillon {
namespace {

// T.81 Table D.2: Qe, next state after an MPS, next state after an LPS and
// whether an LPS flips the MPS sense. State 113 is the fixed bin used for
// signs and DC refinement bits: it always estimates one half and never moves.
struct QeState {
    uint16_t qe;
    uint8_t nextMps;
    uint8_t nextLps;
    uint8_t switchMps;
};

constexpr QeState kQe[114] = {
    {0x5A1D, 1, 1, 1},     {0x2586, 2, 14, 0},    {0x1114, 3, 16, 0},    {0x080B, 4, 18, 0},
    {0x03D8, 5, 20, 0},    {0x01DA, 6, 23, 0},    {0x00E5, 7, 25, 0},    {0x006F, 8, 28, 0},
    {0x0036, 9, 30, 0},    {0x001A, 10, 33, 0},   {0x000D, 11, 35, 0},   {0x0006, 12, 9, 0},
    {0x0003, 13, 10, 0},   {0x0001, 13, 12, 0},   {0x5A7F, 15, 15, 1},   {0x3F25, 16, 36, 0},
    {0x2CF2, 17, 38, 0},   {0x207C, 18, 39, 0},   {0x17B9, 19, 40, 0},   {0x1182, 20, 42, 0},
    {0x0CEF, 21, 43, 0},   {0x09A1, 22, 45, 0},   {0x072F, 23, 46, 0},   {0x055C, 24, 48, 0},
    {0x0406, 25, 49, 0},   {0x0303, 26, 51, 0},   {0x0240, 27, 52, 0},   {0x01B1, 28, 54, 0},
    {0x0144, 29, 56, 0},   {0x00F5, 30, 57, 0},   {0x00B7, 31, 59, 0},   {0x008A, 32, 60, 0},
    {0x0068, 33, 62, 0},   {0x004E, 34, 63, 0},   {0x003B, 35, 32, 0},   {0x002C, 9, 33, 0},
    {0x5AE1, 37, 37, 1},   {0x484C, 38, 64, 0},   {0x3A0D, 39, 65, 0},   {0x2EF1, 40, 67, 0},
    {0x261F, 41, 68, 0},   {0x1F33, 42, 69, 0},   {0x19A8, 43, 70, 0},   {0x1518, 44, 72, 0},
    {0x1177, 45, 73, 0},   {0x0E74, 46, 74, 0},   {0x0BFB, 47, 75, 0},   {0x09F8, 48, 77, 0},
    {0x0861, 49, 78, 0},   {0x0706, 50, 79, 0},   {0x05CD, 51, 48, 0},   {0x04DE, 52, 50, 0},
    {0x040F, 53, 50, 0},   {0x0363, 54, 51, 0},   {0x02D4, 55, 52, 0},   {0x025C, 56, 53, 0},
    {0x01F8, 57, 54, 0},   {0x01A4, 58, 55, 0},   {0x0160, 59, 56, 0},   {0x0125, 60, 57, 0},
    {0x00F6, 61, 58, 0},   {0x00CB, 62, 59, 0},   {0x00AB, 63, 61, 0},   {0x008F, 32, 61, 0},
    {0x5B12, 65, 65, 1},   {0x4D04, 66, 80, 0},   {0x412C, 67, 81, 0},   {0x37D8, 68, 82, 0},
    {0x2FE8, 69, 83, 0},   {0x293C, 70, 84, 0},   {0x2379, 71, 86, 0},   {0x1EDF, 72, 87, 0},
    {0x1AA9, 73, 87, 0},   {0x174E, 74, 72, 0},   {0x1424, 75, 72, 0},   {0x119C, 76, 74, 0},
    {0x0F6B, 77, 74, 0},   {0x0D51, 78, 75, 0},   {0x0BB6, 79, 77, 0},   {0x0A40, 48, 77, 0},
    {0x5832, 81, 80, 1},   {0x4D1C, 82, 88, 0},   {0x438E, 83, 89, 0},   {0x3BDD, 84, 90, 0},
    {0x34EE, 85, 91, 0},   {0x2EAE, 86, 92, 0},   {0x299A, 87, 93, 0},   {0x2516, 71, 86, 0},
    {0x5570, 89, 88, 1},   {0x4CA9, 90, 95, 0},   {0x44D9, 91, 96, 0},   {0x3E22, 92, 97, 0},
    {0x3824, 93, 99, 0},   {0x32B4, 94, 99, 0},   {0x2E17, 86, 93, 0},   {0x56A8, 96, 95, 1},
    {0x4F46, 97, 101, 0},  {0x47E5, 98, 102, 0},  {0x41CF, 99, 103, 0},  {0x3C3D, 100, 104, 0},
    {0x375E, 93, 99, 0},   {0x5231, 102, 105, 0}, {0x4C0F, 103, 106, 0}, {0x4639, 104, 107, 0},
    {0x415E, 99, 103, 0},  {0x5627, 106, 105, 1}, {0x50E7, 107, 108, 0}, {0x4B85, 103, 109, 0},
    {0x5597, 109, 110, 0}, {0x504F, 107, 111, 0}, {0x5A10, 111, 110, 1}, {0x5522, 109, 112, 0},
    {0x59EB, 111, 112, 1}, {0x5A1D, 113, 113, 0},
};
constexpr uint8_t kFixedState = 113;

// Statistics bins: the state index in the low 7 bits, the MPS sense in bit 7.
constexpr uint32_t kDcCategories = 20;   // DC magnitude categories; their bits 14 further on
constexpr uint32_t kAcLowCategories = 189;  // AC categories for k <= Kx
constexpr uint32_t kAcHighCategories = 217; // and for k > Kx
constexpr uint32_t kMagnitudeBits = 14;

// The same table packed for the decoder: Qe in the high 16 bits, the next
// state after an MPS in bits 8-14, and in the low byte the next state after
// an LPS with the MPS switch in bit 7, so that an LPS update of a bin is
// one exclusive or.
struct PackedTable {
    uint32_t entry[114];
};
constexpr PackedTable packTable()
{
    PackedTable t{};
    for (int i = 0; i < 114; ++i)
        t.entry[i] = (uint32_t(kQe[i].qe) << 16) | (uint32_t(kQe[i].nextMps) << 8) |
                     (uint32_t(kQe[i].switchMps) << 7) | kQe[i].nextLps;
    return t;
}
constexpr PackedTable kPacked = packTable();

#define QUILLON_ALWAYS_INLINE inline __attribute__((always_inline))

// The decoder registers. An Engine lives in locals for the length of one
// MCU; its address is never taken, so the bin updates (byte stores, which
// may alias anything) do not force the registers back to memory.
struct Registers {
    uint32_t c;
    int32_t a;
    int32_t ct;
    const uint8_t* pos;
    uint32_t zeros;  // bytes supplied past the end of the data
};

// The next byte of entropy-coded data. A marker, like the end of the data,
// is never read through: it stays unread and zeros come instead.
inline uint32_t nextByte(const uint8_t*& pos, const uint8_t* end, uint32_t& zeros)
{
    if (pos >= end) {
        ++zeros;
        return 0;
    }
    uint8_t b = *pos;
    if (b != 0xFF) {
        ++pos;
        return b;
    }
    const uint8_t* q = pos + 1;
    while (q < end && *q == 0xFF) ++q;
    if (q < end && *q == 0x00) {
        pos = q + 1;
        return 0xFF;
    }
    return 0;
}

// Doubles A until it reaches 0x8000, taking in a byte whenever the bits of
// C run out.
__attribute__((noinline)) Registers renormaliseSlow(Registers r, const uint8_t* end)
{
    while (r.a < 0x8000) {
        if (--r.ct < 0) {
            r.c = (r.c << 8) | nextByte(r.pos, end, r.zeros);
            r.ct += 8;
            // Still negative only while the first two bytes come in; after
            // the second, A doubles to 0x10000.
            if (r.ct < 0 && ++r.ct == 0) r.a = 0x8000;
        }
        r.a <<= 1;
    }
    return r;
}

struct Engine {
    uint32_t c;
    int32_t a;
    int32_t ct;
    const uint8_t* pos;
    const uint8_t* end;
    uint32_t zeros;

    explicit Engine(const JpegDecoder& d)
        : c(d.arith.c), a(d.arith.a), ct(d.arith.ct), pos(d.pos), end(d.end), zeros(d.arith.zerosPastEnd)
    {
    }
    void store(JpegDecoder& d) const
    {
        d.arith.c = c;
        d.arith.a = a;
        d.arith.ct = ct;
        d.arith.zerosPastEnd = zeros;
        d.pos = pos;
    }

    QUILLON_ALWAYS_INLINE void renormalise()
    {
        if (a >= 0x8000) return;
        if (a > 0) {
            // All the doublings at once when no byte is due meanwhile.
            const int shift = __builtin_clz(uint32_t(a)) - 16;
            if (ct >= shift) {
                a <<= shift;
                ct -= shift;
                return;
            }
        }
        Registers r = renormaliseSlow(Registers{c, a, ct, pos, zeros}, end);
        c = r.c;
        a = r.a;
        ct = r.ct;
        pos = r.pos;
        zeros = r.zeros;
    }

    // One binary decision with the given bin (T.81 D.2.3, with the
    // conditional exchange), updating the bin's estimate.
    QUILLON_ALWAYS_INLINE int decode(uint8_t& bin)
    {
        renormalise();
        const uint32_t sv = bin;
        const uint32_t entry = kPacked.entry[sv & 0x7F];
        const int32_t qe = int32_t(entry >> 16);
        const int mps = int(sv >> 7);
        a -= qe;
        const uint32_t t = uint32_t(a) << ct;
        if (c < t) {
            if (a >= 0x8000) return mps;
            if (a < qe) {
                bin = uint8_t((sv & 0x80) ^ (entry & 0xFF));
                return mps ^ 1;
            }
            bin = uint8_t((sv & 0x80) | ((entry >> 8) & 0x7F));
            return mps;
        }
        c -= t;
        if (a < qe) {
            a = qe;
            bin = uint8_t((sv & 0x80) | ((entry >> 8) & 0x7F));
            return mps;
        }
        a = qe;
        bin = uint8_t((sv & 0x80) ^ (entry & 0xFF));
        return mps ^ 1;
    }
};

// The magnitude bits below the top one (which m holds), high to low.
QUILLON_ALWAYS_INLINE int32_t magnitudeBits(Engine& e, uint8_t* st, int32_t m)
{
    int32_t v = m;
    for (int32_t bit = m >> 1; bit; bit >>= 1)
        if (e.decode(*st)) v |= bit;
    return v;
}

// One DC difference; false when its magnitude is impossible (the rest of
// the scan is then lost).
QUILLON_ALWAYS_INLINE bool decodeDcDiff(Engine& e, uint8_t* stats, uint32_t& context, uint32_t lower, uint32_t upper,
                         int32_t& diff)
{
    uint8_t* st = stats + context;
    if (!e.decode(st[0])) {
        context = 0;
        diff = 0;
        return true;
    }
    const int sign = e.decode(st[1]);
    st += 2 + sign;
    int32_t m = e.decode(*st);
    if (m) {
        st = stats + kDcCategories;
        while (e.decode(*st)) {
            m <<= 1;
            if (m == 0x8000) return false;
            ++st;
        }
    }
    if (m < int32_t((1u << lower) >> 1)) context = 0;
    else if (m > int32_t((1u << upper) >> 1)) context = 12 + 4 * sign;
    else context = 4 + 4 * sign;
    int32_t v = magnitudeBits(e, st + kMagnitudeBits, m) + 1;
    diff = sign ? -v : v;
    return true;
}

// AC coefficients ss..se of one block, values scaled by 2^al; false when
// the data is impossible (a run past the band, a magnitude of 2^15).
QUILLON_ALWAYS_INLINE bool decodeAcBand(Engine& e, uint8_t* stats, uint8_t& fixedBin, uint32_t kx, uint32_t ss, uint32_t se,
                         int16_t* block, uint32_t al)
{
    for (uint32_t k = ss; k <= se; ++k) {
        uint8_t* st = stats + 3 * (k - 1);
        if (e.decode(st[0])) break; // end of block
        while (!e.decode(st[1])) {
            st += 3;
            if (++k > se) return false;
        }
        const int sign = e.decode(fixedBin);
        st += 2;
        int32_t m = e.decode(*st);
        // The second magnitude decision uses the same bin as the first;
        // only the later ones move to the categories chosen by Kx.
        if (m && e.decode(*st)) {
            m = 2;
            st = stats + (k <= kx ? kAcLowCategories : kAcHighCategories);
            while (e.decode(*st)) {
                m <<= 1;
                if (m == 0x8000) return false;
                ++st;
            }
        }
        int32_t v = magnitudeBits(e, st + kMagnitudeBits, m) + 1;
        if (sign) v = -v;
        block[jpegZigzag[k]] = int16_t(v * (int32_t(1) << al));
    }
    return true;
}

void clearForScan(JpegDecoder& d)
{
    JpegArithState& s = d.arith;
    const bool dcScan = !d.progressive || (d.ss == 0 && d.ah == 0);
    const bool acScan = !d.progressive || d.ss > 0;
    for (uint32_t i = 0; i < d.scanComponents; ++i) {
        const JpegComponent& comp = *d.scanComponent[i];
        if (dcScan) {
            std::memset(s.dcStats[comp.dcTable], 0, sizeof s.dcStats[0]);
            s.dcPred[i] = 0;
            s.dcContext[i] = 0;
        }
        if (acScan) std::memset(s.acStats[comp.acTable], 0, sizeof s.acStats[0]);
    }
    s.fixedBin = kFixedState;
    s.c = 0;
    s.a = 0;
    s.ct = -16;
}

// Before every MCU: at the end of a restart interval, steps past the marker
// and starts the statistics and registers afresh. False when the scan's
// data is known to be damaged, so the MCU decodes nothing.
inline bool beginMcu(JpegDecoder& d)
{
    if (d.restartInterval) {
        if (d.restartsLeft == 0) {
            jpegRestartResync(d);
            clearForScan(d);
            d.restartsLeft = d.restartInterval;
        }
        --d.restartsLeft;
    }
    return d.arith.ct != -1;
}

// Adds block i's DC difference to its component's prediction; false when
// the data is damaged.
inline bool advanceDcPrediction(Engine& e, JpegArithState& s, const JpegComponent& comp, uint32_t ci)
{
    int32_t diff;
    if (!decodeDcDiff(e, s.dcStats[comp.dcTable], s.dcContext[ci], s.dcL[comp.dcTable], s.dcU[comp.dcTable], diff))
        return false;
    s.dcPred[ci] = int16_t(s.dcPred[ci] + diff);
    return true;
}

bool decodeSequential(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) std::memset(blocks[i], 0, 64 * sizeof(int16_t));
    if (!beginMcu(d)) return true;
    JpegArithState& s = d.arith;
    Engine e(d);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t ci = d.blockComponent[i];
        const JpegComponent& comp = *d.scanComponent[ci];
        if (!advanceDcPrediction(e, s, comp, ci)) {
            e.ct = -1;
            break;
        }
        blocks[i][0] = s.dcPred[ci];
        if (!decodeAcBand(e, s.acStats[comp.acTable], s.fixedBin, s.acK[comp.acTable], 1, 63, blocks[i], 0)) {
            e.ct = -1;
            break;
        }
    }
    e.store(d);
    return true;
}

bool decodeDcFirst(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    if (!beginMcu(d)) return true;
    JpegArithState& s = d.arith;
    Engine e(d);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t ci = d.blockComponent[i];
        const JpegComponent& comp = *d.scanComponent[ci];
        if (!advanceDcPrediction(e, s, comp, ci)) {
            e.ct = -1;
            break;
        }
        blocks[i][0] = int16_t(int32_t(s.dcPred[ci]) * (int32_t(1) << d.al));
    }
    e.store(d);
    return true;
}

bool decodeDcRefine(JpegDecoder& d, int16_t* const* blocks, uint32_t count)
{
    if (!beginMcu(d)) return true;
    Engine e(d);
    const int16_t bit = int16_t(1 << d.al);
    for (uint32_t i = 0; i < count; ++i)
        if (e.decode(d.arith.fixedBin)) blocks[i][0] = int16_t(blocks[i][0] | bit);
    e.store(d);
    return true;
}

bool decodeAcFirst(JpegDecoder& d, int16_t* const* blocks, uint32_t)
{
    if (!beginMcu(d)) return true;
    JpegArithState& s = d.arith;
    const uint32_t table = d.scanComponent[0]->acTable;
    Engine e(d);
    if (!decodeAcBand(e, s.acStats[table], s.fixedBin, s.acK[table], d.ss, d.se, blocks[0], d.al)) e.ct = -1;
    e.store(d);
    return true;
}

bool decodeAcRefine(JpegDecoder& d, int16_t* const* blocks, uint32_t)
{
    if (!beginMcu(d)) return true;
    JpegArithState& s = d.arith;
    uint8_t* stats = s.acStats[d.scanComponent[0]->acTable];
    int16_t* block = blocks[0];
    const int16_t p1 = int16_t(1 << d.al);
    const int16_t m1 = int16_t(-p1);
    // Past the last coefficient that earlier scans made non-zero, an
    // end-of-block decision comes before each position.
    uint32_t lastNonZero = d.se;
    while (lastNonZero > 0 && block[jpegZigzag[lastNonZero]] == 0) --lastNonZero;
    Engine e(d);
    for (uint32_t k = d.ss; k <= d.se; ++k) {
        uint8_t* st = stats + 3 * (k - 1);
        if (k > lastNonZero && e.decode(st[0])) break;
        for (;;) {
            int16_t& coef = block[jpegZigzag[k]];
            if (coef != 0) {
                if (e.decode(st[2])) coef = int16_t(coef + (coef < 0 ? m1 : p1));
                break;
            }
            if (e.decode(st[1])) {
                coef = e.decode(s.fixedBin) ? m1 : p1;
                break;
            }
            st += 3;
            if (++k > d.se) {
                e.ct = -1;
                e.store(d);
                return true;
            }
        }
    }
    e.store(d);
    return true;
}

} // namespace

ResultCode jpegArithStartScan(JpegDecoder& d)
{
    for (uint32_t i = 0; i < d.scanComponents; ++i)
        if (d.scanComponent[i]->dcTable >= 16 || d.scanComponent[i]->acTable >= 16) return RC_CORRUPT_FILE;
    if (!d.progressive) d.decodeMcu = decodeSequential;
    else if (d.ah == 0) d.decodeMcu = d.ss == 0 ? decodeDcFirst : decodeAcFirst;
    else d.decodeMcu = d.ss == 0 ? decodeDcRefine : decodeAcRefine;
    d.finishScan = nullptr;
    clearForScan(d);
    d.arith.zerosPastEnd = 0;
    d.restartsLeft = d.restartInterval;
    return RC_OK;
}

} // namespace quillon
