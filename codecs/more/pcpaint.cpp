#include "codecs/more/pcpaint.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint64_t kHeaderSize = 17;
constexpr uint32_t kMagic = 0x1234;

// Whether the header gives a depth and size the reader takes and every
// block it announces lies whole inside the file: what tells a picture from
// other data that happens to start with the magic word.
bool blocksFitFile(const uint8_t* d, uint64_t size)
{
    const uint32_t bits = d[10] & 15;
    if ((bits != 1 && bits != 4 && bits != 8) || !loadU16le(d + 2) || !loadU16le(d + 4)) return false;
    const uint32_t paletteLength = loadU16le(d + 15);
    ByteCursor c(d, size_t(size));
    c.seek(size_t(kHeaderSize + (paletteLength == 16 ? 16 : paletteLength)));
    uint32_t blocks = c.u16le();
    if (c.overrun() || blocks == 0) return false;
    for (; blocks > 0; --blocks) {
        const uint32_t blockSize = c.u16le();
        c.skip(3);  // unpacked size and run marker
        if (c.overrun() || blockSize < 5 || !c.skip(blockSize - 5)) return false;
    }
    return true;
}

class PcPaintReader final : public ImageReader {
public:
    PcPaintReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void*) override
    {
        const uint8_t* d = input->data();
        const uint64_t size = input->size();
        if (size < kHeaderSize || loadU16le(d) != kMagic) return RC_UNKNOWN_FORMAT;
        width = loadU16le(d + 2);
        height = loadU16le(d + 4);
        bits_ = d[10] & 15;
        packedNibbles_ = d[11] == 0xFF;
        paletteLength_ = loadU16le(d + 15);
        if (bits_ != 1 && bits_ != 4 && bits_ != 8) return RC_UNSUPPORTED_SUBFORMAT;
        if (width == 0 || height == 0) return RC_CORRUPT_FILE;
        bitsPerPixel = bits_;
        pixelFormat = PF_INDEXED8;
        colourModel = paletteLength_ ? CM_RGB : CM_L;
        alphaKind = ALPHA_NONE;
        dataOffset_ = kHeaderSize + (paletteLength_ == 16 ? 16 : paletteLength_);
        // Bit planes: four planes of whole bytes each; others packed.
        if (bits_ == 1) rowBytes_ = (width + 7) / 8;
        else if (bits_ == 8) rowBytes_ = width;
        else rowBytes_ = packedNibbles_ ? (width + 1) / 2 : 4 * ((width + 7) / 8);
        // A block unpacks to at most 65535 bytes, from its five header bytes
        // and a five-byte run at the least: data too short to fill even a
        // small part of the picture is a damaged file, refused before an
        // image of the size it claims is made (and cleared). The slack keeps
        // the bound clear of any whole file.
        const uint64_t data = size > dataOffset_ ? size - dataOffset_ : 0;
        const uint64_t least = rowBytes_ * height / ((65535 + 9) / 10);
        if (least > data + 64) return RC_CORRUPT_FILE;
        // Without the slack, for a picture too large to make, the size is a
        // lie rather than a picture too large for memory.
        if (least > data && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
        return RC_OK;
    }

    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        IndexedView* iv = image->indexedView();
        if (!iv) return RC_UNSUPPORTED_COLOUR_FORMAT;
        setPalette(iv);
        uint64_t total;
        if (!checkedMul(rowBytes_, uint64_t(height), &total)) return RC_OUT_OF_MEMORY;
        AlignedBuffer<uint8_t> buffer;
        if (!buffer.allocate(total)) return RC_OUT_OF_MEMORY;
        std::memset(buffer.get(), 0, size_t(total));
        bool complete = unpackBlocks(buffer.get(), total, abort);
        if (aborted(abort)) return RC_OK;
        reportProgress(progress, 62, 100);
        AlignedBuffer<uint8_t> planes;
        if (bits_ == 4 && !packedNibbles_ && !planes.allocate((width + 7) & ~7u)) return RC_OUT_OF_MEMORY;
        for (uint32_t y = 0; y < height; ++y) {
            if (aborted(abort)) return RC_OK;
            const uint8_t* row = buffer.get() + uint64_t(y) * rowBytes_;
            uint8_t* out = image->rowBytesPtr(y);
            if (bits_ == 8) {
                std::memcpy(out, row, width);
            } else if (bits_ == 1 || packedNibbles_) {
                unpackSamples(out, row, width, bits_);
            } else {
                planarToChunky(planes.get(), row, width, 4);
                std::memcpy(out, planes.get(), width);
            }
        }
        return complete ? RC_OK : RC_CORRUPT_FILE;
    }

private:
    void setPalette(IndexedView* iv) const
    {
        const uint8_t* d = input->data();
        const uint64_t size = input->size();
        uint32_t palette[256] = {};
        uint32_t entries = 0;
        if (paletteLength_ == 16 && size >= kHeaderSize + 16) {
            // Colour bytes of two bits per channel.
            for (uint32_t i = 0; i < 16; ++i) {
                const uint32_t b = d[kHeaderSize + i];
                palette[i] = 0xFF000000u | (b & 3) * 32 << 16 | ((b >> 2) & 3) * 32 << 8 | ((b >> 4) & 3) * 32;
            }
            entries = 16;
        } else if (paletteLength_ && paletteLength_ != 16) {
            // Triples of 6-bit values, as far as the file holds them.
            const uint64_t held = size > kHeaderSize ? std::min<uint64_t>(paletteLength_, size - kHeaderSize) : 0;
            entries = uint32_t(std::min<uint64_t>(held / 3, 256));
            for (uint32_t i = 0; i < entries; ++i) {
                const uint8_t* t = d + kHeaderSize + 3 * i;
                palette[i] = 0xFF000000u | uint32_t(t[0] & 63) * 4 << 16 | uint32_t(t[1] & 63) * 4 << 8 | uint32_t(t[2] & 63) * 4;
            }
        } else {
            // No palette: the indices are grey levels, which the decode
            // driver widens by the depth.
            for (uint32_t i = 0; i < 256; ++i) palette[i] = 0xFF000000u | i * 0x010101u;
            entries = 256;
        }
        for (uint32_t i = entries; i < 256; ++i) palette[i] = 0xFF000000u;
        iv->setPalette(palette, 256);
    }

    // Each block's bytes go before those of the block that came before it,
    // so the first block ends the buffer. False when the data ran out
    // before the buffer was full.
    bool unpackBlocks(uint8_t* buffer, uint64_t total, AbortFlag* abort) const
    {
        ByteCursor c(input->data(), size_t(input->size()));
        c.seek(size_t(std::min<uint64_t>(dataOffset_, input->size())));
        uint32_t blocks = c.u16le();
        if (c.overrun()) return false;
        uint64_t end = total;
        for (; blocks > 0 && end > 0; --blocks) {
            if (aborted(abort)) return true;
            const uint32_t blockSize = c.u16le();
            const uint32_t unpacked = c.u16le();
            const uint8_t marker = c.u8();
            if (c.overrun() || blockSize < 5) return false;
            // The size counts the block's own five header bytes.
            const size_t want = blockSize - 5, have = std::min<size_t>(want, c.remaining());
            const uint8_t* packed = c.data() + c.pos();
            c.skip(have);
            const uint64_t start = end > unpacked ? end - unpacked : 0;
            if (unpackRuns(buffer + start, end - start, packed, have, marker) < end - start || have < want) return false;
            end = start;
        }
        return end == 0;
    }

    // One block's runs into `out` (at most `room` bytes); the bytes written.
    static uint64_t unpackRuns(uint8_t* out, uint64_t room, const uint8_t* in, size_t size, uint8_t marker)
    {
        uint64_t o = 0;
        size_t i = 0;
        while (i < size && o < room) {
            const uint8_t b = in[i++];
            if (b != marker) {
                out[o++] = b;
                continue;
            }
            if (i >= size) break;
            uint32_t count = in[i++];
            if (count == 0) {
                if (size - i < 2) break;
                count = loadU16le(in + i);
                i += 2;
            }
            if (i >= size) break;
            const uint8_t value = in[i++];
            const uint64_t n = std::min<uint64_t>(count, room - o);
            std::memset(out + o, value, size_t(n));
            o += n;
        }
        return o;
    }

    uint32_t bits_ = 0;
    bool packedNibbles_ = false;
    uint32_t paletteLength_ = 0;
    uint64_t dataOffset_ = 0;
    uint64_t rowBytes_ = 0;
};

} // namespace

ResultCode pcPaintProbe(MappedFile* file)
{
    if (!file || file->size() < kHeaderSize || loadU16le(file->data()) != kMagic) return RC_UNKNOWN_FORMAT;
    // Two bytes are a thin signature: a file named otherwise is taken only
    // when its blocks fit in it.
    if (!sourceNamedAs(file, u"pic") && !blocksFitFile(file->data(), file->size())) return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* pcPaintReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PcPaintReader(file, descriptor);
}

} // namespace quillon
