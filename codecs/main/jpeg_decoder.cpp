// JPEG decoder object: marker parser, frame header, colour-space decision and
// the scan loop that drives the entropy decoders and the output stage.
#include "codecs/main/jpeg_decoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "codecs/main/jpeg_internal.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

using namespace jpeg_internal;

namespace {

constexpr uint32_t kMarkerError = 256;
constexpr uint32_t kEoi = 0xD9;
constexpr uint32_t kSos = 0xDA;

// The bytes of the segment that starts at d.pos (after its marker code),
// without the length field; false when the length is impossible or runs past
// the data. d.pos moves past the segment.
bool takeSegment(JpegDecoder& d, const uint8_t*& data, size_t& length)
{
    if (d.end - d.pos < 2) return false;
    size_t declared = loadU16be(d.pos);
    if (declared < 2 || declared > size_t(d.end - d.pos)) return false;
    data = d.pos + 2;
    length = declared - 2;
    d.pos += declared;
    return true;
}

bool parseDqt(JpegDecoder& d, const uint8_t* data, size_t length)
{
    ByteCursor in(data, length);
    while (!in.atEnd()) {
        uint8_t pqTq = in.u8();
        uint32_t table = pqTq & 15;
        if (table > 3) return false;
        bool wide = (pqTq >> 4) != 0;
        if (!in.has(wide ? 128 : 64)) return false;
        uint16_t* q = d.quant + table * 64;
        for (int k = 0; k < 64; ++k) q[jpegZigzag[k]] = wide ? in.u16be() : in.u8();
    }
    return true;
}

bool parseDac(JpegDecoder& d, const uint8_t* data, size_t length)
{
    if (length % 2) return false;
    for (size_t i = 0; i < length; i += 2) {
        uint8_t tcTb = data[i], value = data[i + 1];
        if (tcTb < 16) {
            uint8_t lower = value & 15, upper = value >> 4;
            if (lower > upper) return false;
            d.arith.dcL[tcTb] = lower;
            d.arith.dcU[tcTb] = upper;
        } else if (tcTb < 32) {
            d.arith.acK[tcTb - 16] = value;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

namespace jpeg_internal {

uint32_t readMarkers(JpegDecoder& d)
{
    for (;;) {
        while (d.pos < d.end && *d.pos != 0xFF) ++d.pos;
        while (d.pos < d.end && *d.pos == 0xFF) ++d.pos;
        if (d.pos >= d.end) return kEoi;
        uint32_t code = *d.pos++;
        if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
        if ((code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xCC) || code == 0xD8 || code == kEoi ||
            code == kSos)
            return code;

        const uint8_t* data;
        size_t length;
        switch (code) {
        case 0xC4:
            if (!takeSegment(d, data, length) || !parseDht(d, data, length)) return kMarkerError;
            break;
        case 0xCC:
            if (!takeSegment(d, data, length) || !parseDac(d, data, length)) return kMarkerError;
            break;
        case 0xDB:
            if (!takeSegment(d, data, length) || !parseDqt(d, data, length)) return kMarkerError;
            break;
        case 0xDD:
            if (!takeSegment(d, data, length) || length != 2) return kMarkerError;
            d.restartInterval = loadU16be(data);
            break;
        case 0xEE:
            if (!takeSegment(d, data, length)) return kMarkerError;
            if (length >= 12 && std::memcmp(data, "Adobe", 5) == 0) d.adobeTransform = int8_t(data[11]);
            break;
        default:
            if (code == 0xDC || (code >= 0xE0 && code <= 0xEF) || code == 0xFE) {
                if (!takeSegment(d, data, length)) return kMarkerError;
                break;
            }
            return kMarkerError;
        }
    }
}

} // namespace jpeg_internal

bool jpegRestartResync(JpegDecoder& d)
{
    const uint32_t due = 0xD0 + (d.nextRestart & 7);
    d.nextRestart = (d.nextRestart + 1) & 7;
    for (;;) {
        // The next marker: a 0xFF not followed by a stuffed zero.
        const uint8_t* code = nullptr;
        while (d.pos < d.end) {
            if (*d.pos != 0xFF) {
                ++d.pos;
                continue;
            }
            const uint8_t* q = d.pos + 1;
            while (q < d.end && *q == 0xFF) ++q;
            if (q >= d.end) {
                d.pos = d.end;
                break;
            }
            if (*q == 0x00) {
                d.pos = q + 1;
                continue;
            }
            code = q;
            break;
        }
        if (!code) break;
        const uint32_t marker = *code;
        if (marker == due) {
            d.pos = code + 1;
            return true;
        }
        if (marker < 0xC0) {  // not a marker at all: search on
            d.pos = code + 1;
            continue;
        }
        if (marker < 0xD0 || marker > 0xD7) break;  // the scan loop's
        const uint32_t ahead = (marker - due) & 7;
        if (ahead == 1 || ahead == 2) break;  // the due one was lost
        d.pos = code + 1;
        if (ahead >= 6) continue;  // an earlier one: search on
        return true;               // far off: taken for the due one
    }
    d.dataMissing = true;
    return false;
}

JpegDecoder* jpegDecoderCreate()
{
    JpegDecoder* d = new (std::nothrow) JpegDecoder();
    if (!d) return nullptr;
    d->quant = static_cast<uint16_t*>(alignedAllocZero(4 * 64 * sizeof(uint16_t)));
    if (!d->quant) {
        delete d;
        return nullptr;
    }
    for (int i = 0; i < 4; ++i) d->dcTable[i].defined = d->acTable[i].defined = 0;
    return d;
}

JpegDecoder::~JpegDecoder() { alignedFree(quant); }

void JpegDecoder::setInput(const uint8_t* data, size_t size)
{
    begin = pos = data;
    end = data ? data + size : data;
}

ResultCode JpegDecoder::readHeader()
{
    if (!begin || end - begin < 2 || begin[0] != 0xFF || begin[1] != 0xD8) return RC_CORRUPT_FILE;
    pos = begin + 2;
    for (int i = 0; i < 16; ++i) {
        arith.dcL[i] = 0;
        arith.dcU[i] = 1;
        arith.acK[i] = 5;
    }
    colourSpace_ = JPEG_CS_UNKNOWN;
    adobeTransform = -1;
    restartInterval = 0;
    componentCount_ = 0;
    scansRead = 0;

    uint32_t code = readMarkers(*this);
    if (code == kMarkerError) return RC_CORRUPT_FILE;
    arithmetic = differential = progressive = false;
    switch (code) {
    case 0xC0: case 0xC1: break;
    case 0xC2: progressive = true; break;
    case 0xC5: differential = true; break;
    case 0xC6: differential = progressive = true; break;
    case 0xC9: arithmetic = true; break;
    case 0xCA: arithmetic = progressive = true; break;
    case 0xCD: arithmetic = differential = true; break;
    case 0xCE: arithmetic = differential = progressive = true; break;
    default: return RC_UNSUPPORTED_SUBFORMAT;
    }

    const uint8_t* data;
    size_t length;
    if (!takeSegment(*this, data, length)) return RC_CORRUPT_FILE;
    ByteCursor in(data, length);
    uint32_t precision = in.u8();
    uint32_t h = in.u16be(), w = in.u16be();
    uint32_t count = in.u8();
    if (in.overrun() || h == 0 || w == 0 || count == 0 || length != 6 + 3 * count) return RC_CORRUPT_FILE;
    // 12-bit samples are valid JPEG that this decoder does not read.
    if (precision == 12) return RC_UNSUPPORTED_SUBFORMAT;
    if (precision != 8) return RC_CORRUPT_FILE;
    // Legal in T.81, but there is nowhere to put a fifth component.
    if (count > 4) return RC_UNSUPPORTED_SUBFORMAT;
    height_ = h;
    width_ = w;
    maxH = maxV = 1;
    for (uint32_t i = 0; i < count; ++i) {
        JpegComponent& c = component[i];
        c = JpegComponent();
        c.id = in.u8();
        uint8_t sampling = in.u8();
        c.quantTable = in.u8();
        c.index = i;
        c.h = count == 1 ? 1 : sampling >> 4;
        c.v = count == 1 ? 1 : sampling & 15;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.quantTable > 3) return RC_CORRUPT_FILE;
        maxH = std::max(maxH, c.h);
        maxV = std::max(maxV, c.v);
    }
    componentCount_ = count;

    const uint32_t id0 = component[0].id, id1 = component[1].id, id2 = component[2].id, id3 = component[3].id;
    switch (count) {
    case 1: colourSpace_ = JPEG_CS_L; break;
    case 3:
        if (adobeTransform == 0) colourSpace_ = JPEG_CS_RGB;
        else if (adobeTransform == 1) colourSpace_ = JPEG_CS_YCBCR;
        else if (id0 == 1) colourSpace_ = JPEG_CS_YCBCR;
        else if (id0 == 'R' && id1 == 'G' && id2 == 'B') colourSpace_ = JPEG_CS_RGB;
        else colourSpace_ = JPEG_CS_YCBCR;
        break;
    case 4:
        if (adobeTransform == 0) colourSpace_ = JPEG_CS_CMYL;
        else if (adobeTransform == 2) colourSpace_ = JPEG_CS_YCCK;
        else if (id0 == 'C' && id1 == 'M' && id2 == 'Y' && id3 == 'K') colourSpace_ = JPEG_CS_CMYL;
        else colourSpace_ = JPEG_CS_CMYK;
        break;
    default: colourSpace_ = JPEG_CS_UNKNOWN; break;
    }

    frameColourSpace = colourSpace_;
    alignedWidth_ = int32_t((w + 8 * maxH - 1) / (8 * maxH) * 8 * maxH);
    alignedHeight_ = int32_t((h + 8 * maxV - 1) / (8 * maxV) * 8 * maxV);
    return RC_OK;
}

// ---------------------------------------------------------------------------
// decode

namespace {

constexpr uint32_t kBandMinComponentMcus = 256;
constexpr uint32_t kBandMinMcuRows = 32;

// Per-decode output state: where each MCU row's pixels go, with a scratch
// band for the one MCU row that the destination can hold only in part.
struct Output {
    JpegDecoder& d;
    uint32_t rowsPerMcuRow = 0;
    uint32_t outRows = 0;
    uint32_t rowPixels = 0;
    size_t bytesPerMcu = 0;
    AlignedBuffer<uint8_t> scratch;

    explicit Output(JpegDecoder& decoder) : d(decoder) {}

    struct Band {
        uint8_t* base = nullptr;  // null: nothing of this MCU row is kept
        uint8_t* target = nullptr;
        uint32_t validRows = 0;
    };

    bool prepare()
    {
        rowsPerMcuRow = d.reduced ? d.maxV : 8 * d.maxV;
        uint64_t decodedRows = uint64_t(d.mcuRows) * rowsPerMcuRow;
        outRows = uint32_t(std::min<uint64_t>(decodedRows, d.destRows));
        rowPixels = d.reduced ? uint32_t(d.alignedWidth_) / 8 : uint32_t(d.alignedWidth_);
        bytesPerMcu = size_t(d.reduced ? d.maxH : 8 * d.maxH) * d.bytesPerPixel;
        if (outRows % rowsPerMcuRow) {
            uint64_t bytes;
            if (!checkedMul(d.strideBytes, rowsPerMcuRow, &bytes) || !scratch.allocate(bytes)) return false;
        }
        return true;
    }

    Band begin(uint32_t mcuRow, bool copyIn)
    {
        Band b;
        uint64_t row0 = uint64_t(mcuRow) * rowsPerMcuRow;
        if (row0 >= outRows) return b;
        b.target = d.dest + row0 * d.strideBytes;
        b.validRows = uint32_t(std::min<uint64_t>(rowsPerMcuRow, outRows - row0));
        if (b.validRows == rowsPerMcuRow) {
            b.base = b.target;
        } else {
            b.base = scratch.get();
            if (copyIn)
                for (uint32_t y = 0; y < b.validRows; ++y)
                    std::memcpy(b.base + y * d.strideBytes, b.target + y * d.strideBytes, rowBytes());
        }
        return b;
    }

    void end(const Band& b)
    {
        if (b.base && b.base != b.target)
            for (uint32_t y = 0; y < b.validRows; ++y)
                std::memcpy(b.target + y * d.strideBytes, b.base + y * d.strideBytes, rowBytes());
    }

    size_t rowBytes() const { return size_t(rowPixels) * d.bytesPerPixel; }

    void clear(uint8_t value = 0)
    {
        for (uint32_t y = 0; y < outRows; ++y) std::memset(d.dest + y * d.strideBytes, value, rowBytes());
    }
};

// MCU rows in flight between the decoding thread and the row task. More than
// two let either side run ahead through short hiccups (fresh pages of
// output to clear, a descheduled thread) instead of stalling the other.
constexpr uint32_t kRowSlots = 8;

// One MCU row handed to the row task. Its first `transformed` MCUs are
// samples the decoding thread already transformed; the rest are still
// coefficients, which the task transforms before placing the samples. The
// decoding thread moves that split from row to row so that neither thread
// waits for the other: entropy decoding is the larger share of the work for
// detailed photographs, the smaller for smooth ones. Samples of MCU m lie
// below the coefficients of every MCU after it, so both fit one slot.
struct RowJob {
    const JpegDecoder* d;
    Output* out;
    int16_t* coefficients;
    const uint8_t* samples;
    // The Huffman decoder's block records of the MCUs not yet transformed
    // (indexed like the blocks), or null when the blocks hold everything.
    const int32_t* records;
    uint32_t transformed;
    Output::Band band;
    JpegSampleWriter writer;
    JpegComponent* const* components;
    uint32_t componentCount;
    ColourFinish finish;
};

// Places one row's pixels. Whatever of the slot it has finished with, it
// zeroes while that is still in its cache: the slot goes back to the
// decoding thread cleared, so that for the sparse blocks of smooth pictures
// that thread writes only the lines that hold coefficients instead of
// clearing whole blocks in memory the other core last held.
void runRowJob(const RowJob& job)
{
    const JpegDecoder& d = *job.d;
    const size_t sampleStride = size_t(d.blocksPerMcu) * (d.reduced ? 1 : 64);
    const size_t blockStride = size_t(d.blocksPerMcu) * 64;
    if (!job.band.base) {
        std::memset(job.coefficients, 0, blockStride * d.mcusPerRow * sizeof(int16_t));
        return;
    }
    alignas(16) uint8_t local[64 * 64];
    uint8_t* dst = job.band.base;
    // What is read for every MCU is copied here first: the originals lie
    // among what the decoding thread writes as it goes (its stack), and
    // reading them there would pull those cache lines back and forth between
    // the two cores at every MCU.
    JpegComponent* components[4];
    const uint32_t mcusPerRow = d.mcusPerRow;
    const size_t bytesPerMcu = job.out->bytesPerMcu;
    std::memcpy(components, job.components, sizeof(JpegComponent*) * job.componentCount);
    for (uint32_t m = 0; m < mcusPerRow; ++m) {
        const uint8_t* samples = job.samples + m * sampleStride;
        if (m >= job.transformed) {
            int16_t* blocks = job.coefficients + m * blockStride;
            if (job.records) {
                transformRecordedMcu(d, blocks, job.records + m * d.blocksPerMcu, local, components,
                                     job.componentCount);
            } else {
                transformMcu(d, blocks, local, components, job.componentCount);
                std::memset(blocks, 0, blockStride * sizeof(int16_t));
            }
            samples = local;
        }
        job.writer(d, dst, samples, components, job.componentCount);
        dst += bytesPerMcu;
    }
    std::memset(job.coefficients, 0, job.transformed * sampleStride);
    finishRows(job.finish, job.band.base, d.strideBytes, job.band.validRows, job.out->rowPixels);
    job.out->end(job.band);
}

// Polls `ready` for a short while before the caller blocks: a row takes a
// fraction of a millisecond, and waking a sleeping thread can take about as
// long, which would otherwise be paid on nearly every row. After a short
// busy poll the thread yields between polls, in case the other side waits
// for this very core.
template <class Ready>
bool spinBriefly(Ready ready)
{
    for (int i = 0; i < 256; ++i) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    for (int i = 0; i < 64; ++i) {
        if (ready()) return true;
        std::this_thread::yield();
    }
    return ready();
}

// Hands MCU rows from the decoding thread to one consumer task; at most
// kRowSlots rows are in flight. One long-lived consumer avoids waking a
// worker for every row. Rows are claimed in order, by the task, or by the
// decoding thread whenever it would otherwise wait for a free slot: a task
// that runs late, runs slowly (its processor shared or taken away for a
// while) or never starts (the pool busy, or this decode itself on a pool
// worker) then costs little more than decoding on one thread.
class RowPipeline {
public:
    void start(TaskGroup& tasks) { tasks.run([this] { consume(); }); }

    // Before the row to be handed over `handed`-th (from 0) is decoded: the
    // slot it will use must be free. Until it is, this thread does waiting
    // rows itself, or else lets `idle` do a small piece of other work at a
    // time while it has any (it returns false when it has none).
    template <class Idle>
    void waitForSlot(uint32_t handed, Idle idle)
    {
        auto free = [&](uint32_t completed) { return completed + kRowSlots - 1 >= handed; };
        for (;;) {
            if (free(completedSeen_.load(std::memory_order_acquire))) return;
            if (claimedSeen_.load(std::memory_order_acquire) != pushedSeen_.load(std::memory_order_acquire)) {
                std::unique_lock<std::mutex> hold(mutex_);
                runClaimed(hold);
                continue;
            }
            if (!idle()) break;
        }
        // Every row handed over is taken; the one holding the slot is with
        // the task.
        if (spinBriefly([&] { return free(completedSeen_.load(std::memory_order_acquire)); })) return;
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold, [&] { return free(completed_); });
    }

    // Rows handed over and not yet finished.
    uint32_t inFlight() const
    {
        return pushedSeen_.load(std::memory_order_acquire) - completedSeen_.load(std::memory_order_acquire);
    }

    void push(const RowJob& job)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        jobs_[pushed_ % kRowSlots] = job;
        ++pushed_;
        pushedSeen_.store(pushed_, std::memory_order_release);
        changed_.notify_all();
    }

    // No more rows: does the rows the task has not claimed, waits for the
    // ones it has, then for the task.
    void finish(TaskGroup& tasks)
    {
        {
            std::unique_lock<std::mutex> hold(mutex_);
            closed_ = true;
            closedSeen_.store(true, std::memory_order_release);
            changed_.notify_all();
            while (claimed_ < pushed_) runClaimed(hold);
            changed_.wait(hold, [&] { return completed_ == pushed_; });
        }
        tasks.wait();
    }

private:
    // Claims the oldest waiting row and does it, without the lock.
    void runClaimed(std::unique_lock<std::mutex>& hold)
    {
        if (claimed_ == pushed_) return;
        const uint32_t index = claimed_++;
        claimedSeen_.store(claimed_, std::memory_order_release);
        const RowJob job = jobs_[index % kRowSlots];
        hold.unlock();
        runRowJob(job);
        hold.lock();
        // Rows finish out of order when both sides work; a slot is free
        // again once every row before it has finished too.
        done_[index % kRowSlots] = true;
        while (completed_ < claimed_ && done_[completed_ % kRowSlots]) {
            done_[completed_ % kRowSlots] = false;
            ++completed_;
        }
        completedSeen_.store(completed_, std::memory_order_release);
        changed_.notify_all();
    }

    void consume()
    {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            if (claimed_ == pushed_ && !closed_) {
                const uint32_t seen = pushed_;
                hold.unlock();
                spinBriefly([&] {
                    return pushedSeen_.load(std::memory_order_acquire) != seen ||
                           closedSeen_.load(std::memory_order_acquire);
                });
                hold.lock();
            }
            changed_.wait(hold, [&] { return claimed_ < pushed_ || closed_; });
            if (claimed_ == pushed_) return;
            runClaimed(hold);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    RowJob jobs_[kRowSlots] = {};
    bool done_[kRowSlots] = {};
    // Rows handed over, taken by either side, and finished with all before.
    uint32_t pushed_ = 0, claimed_ = 0, completed_ = 0;
    bool closed_ = false;
    // Copies of the counters for polling without the lock.
    std::atomic<uint32_t> pushedSeen_{0}, claimedSeen_{0}, completedSeen_{0};
    std::atomic<bool> closedSeen_{false};
};

// ---------------------------------------------------------------------------
// Progressive frames on the task pool.
//
// Each scan of a progressive frame fills some coefficients of the whole-image
// buffer: the blocks of its components, coefficient 0 in a DC scan and the
// others in an AC scan. Scans that share no such coefficients (other
// components, or one DC and one AC scan) decode side by side, each by a copy
// of the decoder as its header left it, while a scan that shares some with an
// earlier one (a refinement and the scans it refines) waits for it. The
// scans are found from the markers alone, which the entropy-coded data
// cannot hold, so every scan decodes from the very bytes and tables it would
// one after another, and the coefficients come out the same.

// Where the scans of a frame report: rows done by every scan, passed on to
// the sink from the decoding thread only (sinks need not be thread-safe).
struct ScanProgress {
    JpegProgress* sink = nullptr;
    const std::atomic<uint8_t>* abortByte = nullptr;
    uint64_t total = 0;
    std::atomic<uint64_t> done{0};
    std::thread::id caller = std::this_thread::get_id();

    bool aborted() const { return abortByte && abortByte->load(std::memory_order_relaxed) != 0; }
    void add(uint64_t n) { done.fetch_add(n, std::memory_order_relaxed); }
    void report() const
    {
        if (sink && std::this_thread::get_id() == caller)
            sink->report(uint32_t(std::min(done.load(std::memory_order_relaxed), total)), uint32_t(total));
    }
};

// Before an MCU row: whether the Huffman-coded data of the scan is used up
// (nothing left before the end of the file or a marker other than a
// restart), so the rest of the scan is not decoded. That is missing data
// unless an end-of-band run of a progressive AC scan covers every block left.
bool scanDataEnds(JpegDecoder& d, uint64_t blocksLeft)
{
    // The arithmetic coder leaves out the zero bytes that end its data,
    // which the decoder reads back as zeros at a marker or the end: the
    // decisions they hold can be those of any number of flat blocks.
    if (d.arithmetic) return false;
    if (d.bitCount > d.paddingBits) return false;
    if (d.pos < d.end) {
        if (!d.atMarker) return false;
        if (d.restartInterval) {
            const uint8_t* q = d.pos;
            while (q < d.end && *q == 0xFF) ++q;
            if (q < d.end && *q >= 0xD0 && *q <= 0xD7) return false;
        }
    }
    if (d.progressive && d.ss > 0 && d.eobRun >= blocksLeft) return true;
    d.dataMissing = true;
    return true;
}

struct ScanEnd {
    bool stopped = false;  // abort byte
    bool failed = false;   // a refinement scan at the end of the data
};

// How many MCU rows a scan (or the output stage) has finished with; a
// scan that ends, whatever ended it, finishes with every row at once.
struct RowsDone {
    static constexpr uint32_t kAll = UINT32_MAX;
    std::atomic<uint32_t> rows{0};

    void publish(uint32_t done)
    {
        rows.store(done, std::memory_order_release);
        rows.notify_all();
    }
    // Until row `row` is done with. A scan is usually well ahead of the one
    // chasing it, and otherwise a row's wait is short: a brief spin first.
    void waitPast(uint32_t row) const
    {
        uint32_t seen = rows.load(std::memory_order_acquire);
        for (int i = 0; seen <= row && i < 256; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            seen = rows.load(std::memory_order_acquire);
        }
        while (seen <= row) {
            rows.wait(seen, std::memory_order_acquire);
            seen = rows.load(std::memory_order_acquire);
        }
    }
};

// What a scan decoding beside others waits for before each of its rows (the
// earlier scans it shares coefficients with), where it tells those after
// it, and whom it tells besides; empty for a scan decoded alone.
struct RowGate {
    const std::vector<std::shared_ptr<RowsDone>>* after = nullptr;
    RowsDone* mine = nullptr;
    std::function<void()> published;

    void enter(uint32_t row) const
    {
        if (after)
            for (const auto& earlier : *after) earlier->waitPast(row);
    }
    void leave(uint32_t done) const
    {
        if (!mine) return;
        mine->publish(done);
        if (published) published();
    }
};

// Decodes the progressive scan whose header `d` holds, its entropy decoder
// started, into the whole-image coefficients, and finishes it. A scan only
// ever touches the blocks of the MCU row it is in, so one that waits for
// its predecessors row by row reads what they would have left had they
// finished first.
ScanEnd decodeProgressiveScan(JpegDecoder& d, int16_t* coefficients, ScanProgress& progress,
                              const RowGate& gate = RowGate())
{
    ScanEnd r;
    const uint32_t ns = d.scanComponents;
    const uint64_t unit = uint64_t(d.se - d.ss + 1) * ((d.ah > 0 ? d.ah : 8) - d.al);
    const uint64_t mcuCoefficients = uint64_t(d.blocksPerMcu) * 64;
    const JpegComponent& c = *d.scanComponent[0];
    int16_t* blocks[24];
    for (uint32_t row = 0; row < d.mcuRows && !r.failed; ++row) {
        if (progress.aborted()) { r.stopped = true; break; }
        gate.enter(row);
        if (ns > 1) {
            // Interleaved DC scan: each block at its own place.
            if (scanDataEnds(d, 0)) break;
            progress.report();
            progress.add(ns * unit);
            for (uint32_t m = 0; m < d.mcusPerRow; ++m) {
                int16_t* mcu = coefficients + (uint64_t(row) * d.mcusPerRow + m) * mcuCoefficients;
                uint32_t b = 0;
                for (uint32_t i = 0; i < ns; ++i)
                    for (uint32_t k = 0; k < d.scanComponent[i]->blocksPerMcu; ++k)
                        blocks[b++] = mcu + (d.scanComponent[i]->firstBlock + k) * 64;
                if (!d.decodeMcu(d, blocks, d.mcuBlocks)) { r.failed = true; break; }
            }
        } else {
            // The component's own blocks in raster order.
            const uint64_t rowsLeft = c.heightInBlocks - std::min<uint64_t>(uint64_t(row) * c.v, c.heightInBlocks);
            if (scanDataEnds(d, rowsLeft * c.widthInBlocks)) break;
            progress.report();
            progress.add(unit);
            for (uint32_t r0 = 0; r0 < c.v && !r.failed; ++r0) {
                const uint32_t by = row * c.v + r0;
                if (by >= c.heightInBlocks) break;
                for (uint32_t bx = 0; bx < c.widthInBlocks; ++bx) {
                    const uint64_t mcuIndex = uint64_t(row) * d.mcusPerRow + bx / c.h;
                    int16_t* block =
                        coefficients + mcuIndex * mcuCoefficients + (c.firstBlock + r0 * c.h + bx % c.h) * 64;
                    if (!d.decodeMcu(d, &block, 1)) { r.failed = true; break; }
                }
            }
        }
        gate.leave(row + 1);
    }
    gate.leave(RowsDone::kAll);
    if (d.finishScan) d.finishScan(d);
    // The file ends in arithmetic-coded data: whether the zero bytes read
    // past it are the ones the coder left out or stand for data cut off
    // cannot be told, and only the latter can do harm.
    if (d.arithmetic && d.pos >= d.end && d.arith.zerosPastEnd > 0) d.dataMissing = true;
    return r;
}

// Where the entropy-coded data that starts at `p` ends: at the 0xFF of the
// first marker other than a restart or TEM, or at the end of the data.
// `known` is cleared when that marker's code is one no segment has
// (0x02..0xBF): a decoder resynchronising at a restart steps over such
// bytes, so only the decode itself can tell where its scan ends.
const uint8_t* scanDataEnd(const uint8_t* p, const uint8_t* end, bool& known)
{
    known = true;
    while (p < end) {
        p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, size_t(end - p)));
        if (!p) return end;
        const uint8_t* q = p + 1;
        while (q < end && *q == 0xFF) ++q;
        if (q >= end) return end;
        const uint8_t code = *q;
        if (code == 0x00 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
            p = q + 1;
            continue;
        }
        known = code >= 0xC0;
        return p;
    }
    return end;
}

// The scans and the output stage of one progressive frame on the task pool.
// A scan is handed over with the decoder copy that decodes it. It starts
// once every earlier scan it shares coefficients with has started, and
// decodes each MCU row once they have finished with it; the rows every scan
// has finished with are handed to the output stage a few at a time as they
// come. So all of it runs at once, each scan a little behind those it
// needs, the output behind the last, and work only ever waits for work
// already running. Whoever waits for the whole does work not yet started
// itself meanwhile, so it all ends even when no worker of the pool is free
// (every worker decoding an image of its own).
class ProgressiveTasks {
public:
    ProgressiveTasks(int16_t* coefficients, ScanProgress& progress, uint32_t limit)
        : coefficients_(coefficients), progress_(progress), limit_(std::max<uint32_t>(limit, 1))
    {
    }
    ~ProgressiveTasks() { finish(); }
    ProgressiveTasks(const ProgressiveTasks&) = delete;
    ProgressiveTasks& operator=(const ProgressiveTasks&) = delete;

    // Takes over `scan` (a decoder copy ready to decode its scan), whose
    // scan covers the frame components in `components` (a bit each) and is
    // a DC scan or not. Returns the scan's number for waitForScan().
    size_t addScan(std::unique_ptr<JpegDecoder> scan, uint32_t components, bool dc)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        // Copies of the decoder are large: only so many wait at once.
        helpUntil(hold, [&] { return jobs_.size() - finished_ < limit_; });
        // Records of finished work are let go, all but the last added,
        // which its adder may still ask about.
        while (jobs_.size() > 1 && jobs_.front().finished) {
            jobs_.pop_front();
            ++first_;
            --finished_;
        }
        Job& job = push();
        job.decoder = std::move(scan);
        job.components = components;
        job.dc = dc;
        job.rows = std::make_shared<RowsDone>();
        const size_t number = next_ - 1;
        for (size_t i = first_; i < number; ++i) {
            Job& earlier = at(i);
            if (earlier.finished || !(earlier.components & components) || earlier.dc != dc) continue;
            job.after.push_back(earlier.rows);
            if (!earlier.started) {
                earlier.starters.push_back(number);
                ++job.toStart;
            }
        }
        if (job.toStart == 0) makeReady(hold, number);
        return number;
    }

    // Waits until scan `number` has ended; its end and read position.
    ScanEnd waitForScan(size_t number, const uint8_t** pos)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        helpUntil(hold, [&] { return at(number).finished; });
        *pos = at(number).endPos;
        return at(number).end;
    }

    // The output stage, after the last scan: writeRow(row) for every MCU
    // row below `rows`, by as many workers as `bands` rows at a time keep
    // busy; false from it (the abort byte) ends the stage.
    void addOutput(unsigned bands, uint32_t rows, std::function<bool(uint32_t)> writeRow)
    {
        std::unique_lock<std::mutex> hold(mutex_);
        writeRow_ = std::move(writeRow);
        outputRows_ = rows;
        // Several pieces a band, so that rows that come late are shared out
        // all the same.
        outputPiece_ = std::max<uint32_t>(1, rows / (4 * std::max(bands, 1u)));
        output_.store(true, std::memory_order_release);
        handOutRows(hold);
    }

    // Waits for everything. Afterwards: whether the abort byte stopped a
    // scan or the output, and whether a scan found data missing.
    void finish()
    {
        {
            std::unique_lock<std::mutex> hold(mutex_);
            helpUntil(hold, [&] { return finished_ == jobs_.size(); });
        }
        tasks_.wait();
    }
    bool stopped() const { return stopped_; }
    bool dataMissing() const { return dataMissing_; }

private:
    struct Job {
        std::unique_ptr<JpegDecoder> decoder;  // a scan's
        uint32_t components = 0;
        bool dc = false;
        // Earlier scans not started yet, and the later ones to tell when this
        // one starts; the rows of earlier scans this one waits for.
        uint32_t toStart = 0;
        std::vector<size_t> starters;
        std::vector<std::shared_ptr<RowsDone>> after;
        std::shared_ptr<RowsDone> rows;  // null: a piece of the output stage
        uint32_t fromRow = 0, toRow = 0;  // the output's piece
        bool started = false, finished = false;
        ScanEnd end;
        const uint8_t* endPos = nullptr;
    };

    Job& at(size_t number) { return jobs_[number - first_]; }

    Job& push()
    {
        jobs_.emplace_back();
        ++next_;
        return jobs_.back();
    }

    void makeReady(std::unique_lock<std::mutex>& hold, size_t number)
    {
        ready_.push_back(number);
        hold.unlock();
        // One task per piece of ready work; a task that finds none left
        // (taken by a waiting thread) ends at once.
        tasks_.run([this] {
            std::unique_lock<std::mutex> taskHold(mutex_);
            runOne(taskHold);
        });
        hold.lock();
    }

    // Under the lock, once the output stage is added: the rows every scan
    // has finished with, a piece at a time, as work of their own. Output
    // work thus never waits, and holds no worker of the pool idle.
    void handOutRows(std::unique_lock<std::mutex>& hold)
    {
        uint32_t ready = outputRows_;
        for (size_t i = first_; i < next_; ++i) {
            const Job& job = at(i);
            if (job.rows && !job.finished) ready = std::min(ready, job.rows->rows.load(std::memory_order_acquire));
        }
        while (rowsHandedOut_ < ready && (ready - rowsHandedOut_ >= outputPiece_ || ready == outputRows_)) {
            Job& piece = push();
            piece.fromRow = rowsHandedOut_;
            piece.toRow = std::min(ready, rowsHandedOut_ + outputPiece_);
            rowsHandedOut_ = piece.toRow;
            makeReady(hold, next_ - 1);
        }
    }

    // Runs the oldest ready work, if any, without the lock.
    void runOne(std::unique_lock<std::mutex>& hold)
    {
        if (ready_.empty()) return;
        const size_t number = ready_.front();
        ready_.pop_front();
        Job& job = at(number);
        job.started = true;
        std::unique_ptr<JpegDecoder> decoder = std::move(job.decoder);
        const std::vector<std::shared_ptr<RowsDone>> after = std::move(job.after);
        const std::shared_ptr<RowsDone> rows = job.rows;
        const uint32_t fromRow = job.fromRow, toRow = job.toRow;
        const std::vector<size_t> starters = std::move(job.starters);
        for (size_t later : starters)
            if (--at(later).toStart == 0) makeReady(hold, later);
        hold.unlock();
        ScanEnd end;
        const uint8_t* endPos = nullptr;
        bool missing = false;
        if (rows) {
            // Each row it finishes may complete rows for the output.
            auto rowDone = [this] {
                if (!output_.load(std::memory_order_acquire)) return;
                std::unique_lock<std::mutex> rowHold(mutex_);
                handOutRows(rowHold);
            };
            end = decodeProgressiveScan(*decoder, coefficients_, progress_, RowGate{&after, rows.get(), rowDone});
            endPos = decoder->pos;
            missing = decoder->dataMissing;
            decoder.reset();
        } else {
            for (uint32_t row = fromRow; row < toRow; ++row)
                if (!writeRow_(row)) {
                    end.stopped = true;
                    break;
                }
        }
        hold.lock();
        Job& done = at(number);
        done.finished = true;
        done.end = end;
        done.endPos = endPos;
        ++finished_;
        stopped_ = stopped_ || end.stopped;
        dataMissing_ = dataMissing_ || missing;
        if (rows && output_.load(std::memory_order_relaxed)) handOutRows(hold);
        changed_.notify_all();
    }

    template <class Done>
    void helpUntil(std::unique_lock<std::mutex>& hold, Done done)
    {
        while (!done()) {
            if (!ready_.empty()) {
                runOne(hold);
                continue;
            }
            // The work runs elsewhere; its rows are reported from here.
            changed_.wait_for(hold, std::chrono::milliseconds(20));
            hold.unlock();
            progress_.report();
            hold.lock();
        }
    }

    int16_t* const coefficients_;
    ScanProgress& progress_;
    const uint32_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;  // work first_ .. next_ - 1
    size_t first_ = 0, next_ = 0, finished_ = 0;
    std::deque<size_t> ready_;
    bool stopped_ = false, dataMissing_ = false;
    // The output stage, once added.
    std::atomic<bool> output_{false};
    std::function<bool(uint32_t)> writeRow_;
    uint32_t outputRows_ = 0, outputPiece_ = 1, rowsHandedOut_ = 0;
    TaskGroup tasks_;
};

} // namespace

ResultCode JpegDecoder::decode(uint8_t* destination, uint32_t bpp, size_t stride, uint32_t rows, bool reducedSize,
                               JpegProgress* progressSink, const std::atomic<uint8_t>* abort)
{
    if (componentCount_ == 0 || !destination || rows == 0) return RC_INVALID_PARAMETER;
    if (bpp != (componentCount_ == 1 ? 1u : 4u)) return RC_INVALID_PARAMETER;
    reduced = reducedSize;
    const uint64_t rowPixels = reduced ? uint64_t(alignedWidth_) / 8 : uint64_t(alignedWidth_);
    if (stride < rowPixels * bpp) return RC_INVALID_PARAMETER;
    dest = destination;
    bytesPerPixel = bpp;
    strideBytes = stride;
    destRows = rows;
    progress = progressSink;
    abortByte = abort;
    usedBands = false;
    blocksArriveCleared = false;
    blockRecords = nullptr;

    mcusPerRow = uint32_t(alignedWidth_) / (8 * maxH);
    mcuRows = uint32_t(alignedHeight_) / (8 * maxV);
    blocksPerMcu = 0;
    for (uint32_t i = 0; i < componentCount_; ++i) {
        JpegComponent& c = component[i];
        if (maxH % c.h || maxV % c.v) return RC_UNSUPPORTED_SUBFORMAT;
        c.blocksPerMcu = c.h * c.v;
        c.firstBlock = blocksPerMcu;
        blocksPerMcu += c.blocksPerMcu;
        uint32_t cw = (width_ * c.h + maxH - 1) / maxH, ch = (height_ * c.v + maxV - 1) / maxV;
        c.widthInBlocks = (cw + 7) / 8;
        c.heightInBlocks = (ch + 7) / 8;
    }
    if (differential) return RC_UNSUPPORTED_SUBFORMAT;

    colourSpace_ = frameColourSpace;
    ColourFinish finish = convertColour ? colourFinishFor(*this) : ColourFinish::None;
    if (finish != ColourFinish::None) colourSpace_ = JPEG_CS_RGB;

    Output out(*this);
    if (!out.prepare()) return RC_OUT_OF_MEMORY;

    JpegComponent* frameComponents[4] = {&component[0], &component[1], &component[2], &component[3]};
    bool writerConverts = false;
    const JpegSampleWriter allWriter = chooseWriter(*this, finish, writerConverts);
    // What is left to do to whole rows after a writer that places every component.
    const ColourFinish rowFinish = writerConverts ? ColourFinish::None : finish;
    const uint64_t blockCount = uint64_t(blocksPerMcu) * mcusPerRow * mcuRows;

    // A progressive frame's work runs on the task pool, its scans and its
    // output stage, when that stage would split into row bands there, as
    // image operations split theirs (bandMode 0 keeps it all on this
    // thread, 1 takes the pool whatever the size).
    const uint64_t mcuRowCoefficients = uint64_t(blocksPerMcu) * mcusPerRow * 64;
    const uint64_t outBytesPerMcuRow = uint64_t(out.rowsPerMcuRow) * out.rowBytes();
    auto progressiveBands = [&](uint64_t bytesPerMcuRow) -> unsigned {
        if (bandMode == 0) return 1;
        if (bandMode == 1) return std::max(2u, std::min(taskPoolWorkers(), mcuRows));
        return rowBandCount(mcuRows, bytesPerMcuRow);
    };
    const unsigned outputBands = progressiveBands(mcuRowCoefficients * sizeof(int16_t) + outBytesPerMcuRow);
    const bool scansOnTasks = progressive && outputBands > 1;

    // Coefficients: the whole image for progressive frames, otherwise one MCU
    // (a few MCU rows in band mode, allocated when that mode is chosen).
    AlignedBuffer<int16_t> coefficients;
    uint64_t coefficientCount;
    if (!checkedMul(progressive ? blockCount : blocksPerMcu, 64, &coefficientCount)) return RC_OUT_OF_MEMORY;
    const unsigned clearBands = progressive ? progressiveBands(mcuRowCoefficients * sizeof(int16_t)) : 1;
    if (!coefficients.allocate(coefficientCount, clearBands == 1)) return RC_OUT_OF_MEMORY;
    if (clearBands > 1) {
        // A whole image of coefficients is cleared by as many threads as
        // can help: most of the cost is the kernel's clearing of fresh
        // pages, which each thread does for the pages it touches first.
        runRowBands(clearBands, mcuRows, [&](unsigned, uint32_t from, uint32_t to) {
            std::memset(coefficients.get() + from * mcuRowCoefficients, 0,
                        size_t((to - from) * mcuRowCoefficients * sizeof(int16_t)));
        });
    }
    if (componentCount_ == 2) out.clear();

    const bool abortable = abortByte != nullptr;
    auto aborted = [&]() { return abortable && abortByte->load(std::memory_order_relaxed) != 0; };

    uint64_t total = uint64_t(componentCount_) * mcuRows * 512 * (progressive ? 2 : 1);
    uint64_t done = 0;
    auto report = [&]() {
        if (progress) progress->report(uint32_t(std::min(done, total)), uint32_t(total));
    };
    ScanProgress scanProgress;
    scanProgress.sink = progress;
    scanProgress.abortByte = abortByte;
    scanProgress.total = total;
    std::unique_ptr<ProgressiveTasks> scans;
    if (scansOnTasks) {
        // Each waiting scan holds a copy of the decoder.
        scans.reset(new (std::nothrow) ProgressiveTasks(coefficients.get(), scanProgress, 2 * taskPoolWorkers() + 2));
        if (!scans) return RC_OUT_OF_MEMORY;
    }
    scansDecodedOnTasks = 0;

    ResultCode rc = RC_OK;
    bool stopped = false;      // abort byte
    bool mcuFailed = false;    // refinement scan at the end of data
    bool multiScan = false;    // sequential frame in several scans
    bool firstScan = true;
    uint32_t scannedComponents = 0;  // bit per frame component
    dataMissing = false;
    alignas(16) uint8_t samples[64 * 64];

    auto dataEnds = [&](uint64_t blocksLeft) { return scanDataEnds(*this, blocksLeft); };
    // Rows no scan reached read as blocks without coefficients (level 128).
    auto fillRowsFrom = [&](uint32_t mcuRow, ColourFinish rowsFinish) {
        const uint64_t y0 = uint64_t(mcuRow) * out.rowsPerMcuRow;
        if (y0 >= out.outRows) return;
        for (uint64_t y = y0; y < out.outRows; ++y) std::memset(dest + y * strideBytes, 128, out.rowBytes());
        finishRows(rowsFinish, dest + y0 * strideBytes, strideBytes, uint32_t(out.outRows - y0), out.rowPixels);
    };

    for (;;) {
        uint32_t code = readMarkers(*this);
        if (code == kMarkerError) { rc = RC_CORRUPT_FILE; break; }
        if (code == kEoi) break;
        if (code != kSos) { rc = RC_CORRUPT_FILE; break; }

        const uint8_t* data;
        size_t length;
        if (!takeSegment(*this, data, length)) { rc = RC_CORRUPT_FILE; break; }
        ByteCursor in(data, length);
        uint32_t ns = in.u8();
        if (ns < 1 || ns > 4 || length != 4 + 2 * ns) { rc = RC_CORRUPT_FILE; break; }
        bool bad = false;
        for (uint32_t i = 0; i < ns && !bad; ++i) {
            uint32_t selector = in.u8();
            uint8_t tables = in.u8();
            JpegComponent* found = nullptr;
            for (uint32_t c = 0; c < componentCount_; ++c)
                if (component[c].id == selector) { found = &component[c]; break; }
            // A component named twice would be decoded twice into one place.
            for (uint32_t j = 0; j < i && found; ++j)
                if (scanComponent[j] == found) found = nullptr;
            if (!found) { bad = true; break; }
            found->dcTable = tables >> 4;
            found->acTable = tables & 15;
            scanComponent[i] = found;
        }
        ss = in.u8();
        se = in.u8();
        uint8_t ahAl = in.u8();
        ah = ahAl >> 4;
        al = ahAl & 15;
        if (bad) { rc = RC_CORRUPT_FILE; break; }
        scanComponents = ns;
        ++scansRead;
        nextRestart = 0;
        for (uint32_t i = 0; i < ns; ++i) scannedComponents |= 1u << scanComponent[i]->index;
        if (progressive) {
            bool ok = ss == 0 ? se == 0 : (ss <= se && se < 64 && ns == 1);
            if (ah > 0 && al != ah - 1) ok = false;
            if (al >= 14) ok = false;
            if (!ok) { rc = RC_CORRUPT_FILE; break; }
        }

        // Block list: one block per MCU in a non-interleaved scan.
        mcuBlocks = 0;
        if (ns == 1) {
            blockComponent[mcuBlocks++] = 0;
        } else {
            for (uint32_t i = 0; i < ns; ++i) {
                if (mcuBlocks + scanComponent[i]->blocksPerMcu > 24) { bad = true; break; }
                for (uint32_t k = 0; k < scanComponent[i]->blocksPerMcu; ++k) blockComponent[mcuBlocks++] = uint8_t(i);
            }
        }
        if (bad) { rc = RC_CORRUPT_FILE; break; }

        decodeMcu = nullptr;
        finishScan = nullptr;
        rc = arithmetic ? jpegArithStartScan(*this) : huffmanStartScan(*this);
        if (failed(rc)) break;
        if (!decodeMcu) { rc = RC_UNSUPPORTED_SUBFORMAT; break; }
        if (aborted()) { stopped = true; break; }

        const bool allComponents = ns == componentCount_;
        if (!progressive && firstScan && !allComponents) {
            // Channels whose scans never arrive must not keep old memory;
            // they read as blocks without coefficients (level 128, so a
            // missing chroma scan leaves grey, not a colour cast).
            multiScan = true;
            out.clear(128);
        }
        firstScan = false;

        const uint32_t unit =
            progressive ? (se - ss + 1) * ((ah > 0 ? ah : 8) - al) : 512;

        if (progressive && reduced && ss > 0) {
            // One-eighth output reads the DC coefficients only: the AC
            // scan's data is stepped over up to the next marker.
            while (pos < end) {
                const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(pos, 0xFF, size_t(end - pos)));
                if (!ff || end - ff < 2) {
                    pos = end;
                    break;
                }
                uint8_t next = ff[1];
                if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) {
                    pos = ff;
                    break;
                }
                pos = ff + 1;
            }
            scanProgress.add(uint64_t(mcuRows) * unit);
            if (finishScan) finishScan(*this);
            if (pos >= end) break;
            continue;
        }

        if (progressive) {
            const uint8_t* scanEnd = nullptr;
            bool endKnown = false;
            std::unique_ptr<JpegDecoder> copy;
            if (scans) {
                scanEnd = scanDataEnd(pos, end, endKnown);
                copy.reset(new (std::nothrow) JpegDecoder(*this));
            }
            if (!copy) {
                // One after another on this thread; with scans on tasks
                // (short of memory for a copy), after every earlier one.
                if (scans) scans->finish();
                const ScanEnd e = decodeProgressiveScan(*this, coefficients.get(), scanProgress);
                if (e.stopped) { stopped = true; break; }
                if (e.failed) { mcuFailed = true; break; }
                if (pos >= end) break;
                continue;
            }
            // The copy decodes no output: the tables it needs it has, and
            // its components are its own, so later scan headers leave it be.
            copy->quant = nullptr;
            uint32_t covered = 0;
            for (uint32_t i = 0; i < ns; ++i) {
                copy->scanComponent[i] = &copy->component[scanComponent[i]->index];
                covered |= 1u << scanComponent[i]->index;
            }
            const size_t number = scans->addScan(std::move(copy), covered, ss == 0);
            ++scansDecodedOnTasks;
            if (endKnown) {
                // The decode stops at that marker, or earlier, with nothing
                // but entropy-coded data between.
                pos = scanEnd;
            } else {
                const ScanEnd e = scans->waitForScan(number, &pos);
                if (e.stopped) { stopped = true; break; }
                if (e.failed) { mcuFailed = true; break; }
            }
            if (pos >= end) break;
            continue;
        }

        if (!progressive && allComponents) {
            // The common case: one scan, every component interleaved.
            bool bands = bandMode == 1 ||
                         (bandMode < 0 && uint64_t(componentCount_) * mcusPerRow >= kBandMinComponentMcus &&
                          mcuRows >= kBandMinMcuRows);
            if (bandMode == 0 || mcuRows < 2) bands = false;
            // After a scan of some components the colours are finished once
            // at the end, over the whole frame, so this scan leaves them raw.
            JpegSampleWriter writer = allWriter;
            ColourFinish scanFinish = rowFinish;
            if (multiScan) {
                bool unused;
                writer = chooseWriter(*this, ColourFinish::None, unused);
                scanFinish = ColourFinish::None;
                bands = false;
            }
            AlignedBuffer<int16_t> slots;
            const uint64_t slotBlocks = uint64_t(blocksPerMcu) * mcusPerRow;
            if (bands && !slots.allocate(slotBlocks * kRowSlots * 64, true)) bands = false;
            // Block records index the blocks in frame order, which a scan
            // listing its components in another order would not keep.
            bool recordBlocks = bands && !reduced && !arithmetic;
            for (uint32_t i = 0; i < ns && recordBlocks; ++i)
                if (scanComponent[i] != &component[i]) recordBlocks = false;
            AlignedBuffer<int32_t> records;
            if (recordBlocks && !records.allocate(slotBlocks * kRowSlots, false)) bands = false;
            usedBands = bands;
            // Each MCU is decoded into the one-MCU coefficient buffer.
            int16_t* blocks[24];
            uint32_t blockIndex = 0;
            for (uint32_t i = 0; i < ns; ++i)
                for (uint32_t k = 0; k < scanComponent[i]->blocksPerMcu; ++k)
                    blocks[blockIndex++] = coefficients.get() + (scanComponent[i]->firstBlock + k) * 64;

            // One MCU row decoded through to pixels on this thread.
            auto decodeRowHere = [&](uint32_t row) {
                Output::Band band = out.begin(row, false);
                uint8_t* dst = band.base;
                for (uint32_t m = 0; m < mcusPerRow; ++m) {
                    if (!decodeMcu(*this, blocks, mcuBlocks)) { mcuFailed = true; return; }
                    if (dst) {
                        transformMcu(*this, coefficients.get(), samples, frameComponents, componentCount_);
                        writer(*this, dst, samples, frameComponents, componentCount_);
                        dst += out.bytesPerMcu;
                    }
                }
                if (band.base) {
                    finishRows(scanFinish, band.base, strideBytes, band.validRows, out.rowPixels);
                    out.end(band);
                }
            };

            uint32_t rowsDecoded = mcuRows;
            if (!bands) {
                for (uint32_t row = 0; row < mcuRows && !mcuFailed; ++row) {
                    if (aborted()) { stopped = true; break; }
                    if (dataEnds(0)) { rowsDecoded = row; break; }
                    report();
                    done += uint64_t(ns) * unit;
                    decodeRowHere(row);
                }
            } else {
                TaskGroup tasks;
                RowPipeline pipeline;
                pipeline.start(tasks);
                // When this thread must wait for the task and has no row to
                // do itself, it faults in the output pages of the rows still
                // to come, which would otherwise wait on the kernel to clear.
                PageToucher toucher(dest, strideBytes, out.rowBytes(), out.outRows);
                // This thread's share of the work after entropy decoding, in
                // 32 steps: raised while the task falls behind, lowered while
                // it waits for rows. Up to 16 it transforms that many 16ths
                // of each row handed over (samples are half the bytes of
                // coefficients to pass to the other core); beyond, it also
                // keeps that many of every 16 rows and places their pixels
                // itself, which passes nothing at all.
                uint32_t share = 0, credit = 0, handed = 0;
                // Records pay where at least half the blocks are DC terms
                // alone; elsewhere looking for them only slows this thread,
                // so rows go without while a sample row every so often
                // finds too few.
                bool recordingPays = true;
                for (uint32_t row = 0; row < mcuRows; ++row) {
                    if (aborted()) { stopped = true; break; }
                    if (dataEnds(0)) { rowsDecoded = row; break; }
                    report();
                    done += uint64_t(ns) * unit;
                    // The row last handed over counts as in flight until the
                    // task has finished it: one means the task keeps up.
                    const uint32_t queued = pipeline.inFlight();
                    if (queued >= 3) share = std::min(32u, share + 1);
                    else if (queued <= 1) share = share > 0 ? share - 1 : 0;
                    if (bandSplit >= 0) share = bandSplit == 0 ? 0 : bandSplit == 1 ? 16 : bandSplit == 2 ? 8 : 24;
                    credit += share > 16 ? share - 16 : 0;
                    if (credit >= 16) {
                        credit -= 16;
                        decodeRowHere(row);
                        if (mcuFailed) break;
                        continue;
                    }
                    const uint32_t here = uint32_t(uint64_t(mcusPerRow) * std::min(share, 16u) / 16);
                    pipeline.waitForSlot(handed, [&] { return toucher.touchNext(uint64_t(row) * out.rowsPerMcuRow); });
                    int16_t* slotCoefficients = slots.get() + (handed % kRowSlots) * slotBlocks * 64;
                    uint8_t* slotSamples = reinterpret_cast<uint8_t*>(slotCoefficients);
                    const bool recordRow = recordBlocks && (recordingPays || row % 16 == 0) && here < mcusPerRow;
                    int32_t* slotRecords = recordRow ? records.get() + (handed % kRowSlots) * slotBlocks : nullptr;
                    flatBlocksRecorded = 0;
                    const size_t sampleStride = size_t(blocksPerMcu) * (reduced ? 1 : 64);
                    const size_t blockStride = size_t(blocksPerMcu) * 64;
                    for (uint32_t m = 0; m < mcusPerRow && !mcuFailed; ++m) {
                        // The one-MCU buffer needs clearing; the slot is clear.
                        blocksArriveCleared = m >= here;
                        if (m < here) {
                            if (!decodeMcu(*this, blocks, mcuBlocks)) mcuFailed = true;
                            else transformMcu(*this, coefficients.get(), slotSamples + m * sampleStride,
                                              frameComponents, componentCount_);
                            continue;
                        }
                        int16_t* mcu = slotCoefficients + m * blockStride;
                        int16_t* into[24];
                        uint32_t b = 0;
                        for (uint32_t i = 0; i < ns; ++i)
                            for (uint32_t k = 0; k < scanComponent[i]->blocksPerMcu; ++k)
                                into[b++] = mcu + (scanComponent[i]->firstBlock + k) * 64;
                        if (slotRecords) blockRecords = slotRecords + m * blocksPerMcu;
                        if (!decodeMcu(*this, into, mcuBlocks)) mcuFailed = true;
                        blockRecords = nullptr;
                    }
                    blocksArriveCleared = false;
                    if (mcuFailed) break;
                    if (recordRow)
                        recordingPays = uint64_t(flatBlocksRecorded) * 2 >= uint64_t(mcusPerRow - here) * blocksPerMcu;
                    pipeline.push(RowJob{this, &out, slotCoefficients, slotSamples, slotRecords, here,
                                         out.begin(row, false), allWriter, frameComponents, componentCount_,
                                         rowFinish});
                    ++handed;
                }
                pipeline.finish(tasks);
            }
            // A frame in several scans was cleared before its first one.
            if (!multiScan && !stopped) fillRowsFrom(rowsDecoded, finish);
        } else if (!progressive && ns > 1) {
            // An interleaved scan of some of the components.
            int16_t* blocks[24];
            for (uint32_t row = 0; row < mcuRows && !mcuFailed; ++row) {
                if (aborted()) { stopped = true; break; }
                if (dataEnds(0)) break;
                report();
                done += uint64_t(ns) * unit;
                Output::Band band = out.begin(row, true);
                uint8_t* dst = band.base;
                for (uint32_t m = 0; m < mcusPerRow; ++m) {
                    uint32_t b = 0;
                    for (uint32_t i = 0; i < ns; ++i)
                        for (uint32_t k = 0; k < scanComponent[i]->blocksPerMcu; ++k)
                            blocks[b++] = coefficients.get() + (scanComponent[i]->firstBlock + k) * 64;
                    if (!decodeMcu(*this, blocks, mcuBlocks)) { mcuFailed = true; break; }
                    if (dst) {
                        transformMcu(*this, coefficients.get(), samples, scanComponent, ns);
                        writeGeneric(*this, dst, samples, scanComponent, ns);
                        dst += out.bytesPerMcu;
                    }
                }
                out.end(band);
            }
        } else if (!progressive) {
            // Non-interleaved: the component's own blocks in raster order.
            JpegComponent& c = *scanComponent[0];
            const size_t blockPixels = reduced ? 1 : 8;
            const size_t stepX = blockPixels * (maxH / c.h) * bytesPerPixel;
            const size_t stepRows = blockPixels * (maxV / c.v);
            for (uint32_t row = 0; row < mcuRows && !mcuFailed; ++row) {
                if (aborted()) { stopped = true; break; }
                if (dataEnds(0)) break;
                report();
                done += unit;
                Output::Band band = out.begin(row, true);
                for (uint32_t r = 0; r < c.v && !mcuFailed; ++r) {
                    uint32_t by = row * c.v + r;
                    if (by >= c.heightInBlocks) break;
                    for (uint32_t bx = 0; bx < c.widthInBlocks; ++bx) {
                        int16_t* block = coefficients.get();
                        if (!decodeMcu(*this, &block, 1)) { mcuFailed = true; break; }
                        if (!band.base) continue;
                        uint8_t* dst = band.base + r * stepRows * strideBytes + bx * stepX;
                        if (reduced) samples[0] = dcOnlySample(block, quant + c.quantTable * 64);
                        else idctBlock(block, quant + c.quantTable * 64, samples);
                        writeComponentBlock(*this, c, dst, samples);
                    }
                }
                out.end(band);
            }
        }

        if (finishScan) finishScan(*this);
        // The file ends in arithmetic-coded data: whether the zero bytes
        // read past it are the ones the coder left out or stand for data
        // cut off cannot be told, and only the latter can do harm.
        if (arithmetic && pos >= end && arith.zerosPastEnd > 0) dataMissing = true;
        if (stopped || mcuFailed) break;
        if (allComponents) break;
        if (pos >= end) break;
    }

    // Scans on the task pool may still be decoding: the output stage
    // follows them row by row, unless there is to be none.
    if (scans && (stopped || (failed(rc) && rc != RC_CORRUPT_FILE))) scans->finish();
    if (stopped) return RC_CANCELLED;
    // A damaged segment after the header still leaves a whole picture of
    // what came before it; other failures leave nothing to show.
    if (failed(rc) && rc != RC_CORRUPT_FILE) return rc;
    if (firstScan || (!progressive && scannedComponents != (1u << componentCount_) - 1)) dataMissing = true;

    if (progressive) {
        // Output pass over whatever the scans delivered; blocks no scan
        // reached have zero coefficients. Rows are independent: with the
        // scans on the task pool, workers there take them in turn as the
        // scans finish with them.
        std::atomic<uint32_t> rowsWritten{0};
        auto writeRow = [&](uint32_t row) {
            if (aborted()) return false;
            if (progress && std::this_thread::get_id() == scanProgress.caller) {
                const uint64_t at = total / 2 + rowsWritten.load() * total / 2 / mcuRows;
                progress->report(uint32_t(std::min(at, total)), uint32_t(total));
            }
            Output::Band rowBand = out.begin(row, false);
            if (rowBand.base) {
                alignas(16) uint8_t local[64 * 64];
                uint8_t* dst = rowBand.base;
                const int16_t* mcu = coefficients.get() + row * mcuRowCoefficients;
                for (uint32_t m = 0; m < mcusPerRow; ++m) {
                    transformMcu(*this, mcu, local, frameComponents, componentCount_);
                    allWriter(*this, dst, local, frameComponents, componentCount_);
                    mcu += blocksPerMcu * 64;
                    dst += out.bytesPerMcu;
                }
                finishRows(rowFinish, rowBand.base, strideBytes, rowBand.validRows, out.rowPixels);
                out.end(rowBand);
            }
            rowsWritten.fetch_add(1, std::memory_order_relaxed);
            return true;
        };
        // Rows past the destination's are not written.
        const uint32_t outMcuRows = uint32_t((uint64_t(out.outRows) + out.rowsPerMcuRow - 1) / out.rowsPerMcuRow);
        bool cancelled = false;
        if (scans) {
            scans->addOutput(outputBands, outMcuRows, writeRow);
            scans->finish();
            cancelled = scans->stopped();
            dataMissing = dataMissing || scans->dataMissing();
        } else {
            for (uint32_t row = 0; row < outMcuRows && !cancelled; ++row) cancelled = !writeRow(row);
        }
        if (cancelled) return RC_CANCELLED;
    } else if (multiScan && finish != ColourFinish::None) {
        finishRows(finish, dest, strideBytes, out.outRows, out.rowPixels);
    } else if (firstScan) {
        // No scan at all: the rows hold nothing yet.
        out.clear(128);
        finishRows(finish, dest, strideBytes, out.outRows, out.rowPixels);
    }
    return dataMissing || failed(rc) ? RC_CORRUPT_FILE : RC_OK;
}

} // namespace quillon
