// Decodes every strip of a fax-coded TIFF (compression 2, 3, 4 or 32771)
// with our decoder and writes the page as a PBM: the same work as
// "tiffcp -c none" on the file, so the two can be timed side by side.
// usage: bench_fax in.tif out.pbm
#include <cstdio>
#include <vector>

#include "codecs/main/fax.h"
#include "core/byte_cursor.h"

using namespace quillon;

namespace {

std::vector<uint32_t> values(const ByteCursor& file, bool le, uint16_t type, uint32_t count, size_t at)
{
    std::vector<uint32_t> v;
    if (type != 3 && type != 4) return v;
    size_t unit = type == 3 ? 2 : 4;
    ByteCursor c = file;
    c.seek(at);
    if (unit * count > 4) c.seek(le ? c.u32le() : c.u32be());
    for (uint32_t i = 0; i < count && !c.overrun(); ++i)
        v.push_back(unit == 2 ? (le ? c.u16le() : c.u16be()) : (le ? c.u32le() : c.u32be()));
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s in.tif out.pbm\n", argv[0]);
        return 2;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) return 1;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);

    ByteCursor file(bytes.data(), bytes.size());
    bool le = file.u16le() == 0x4949;
    file.skip(2);
    file.seek(le ? file.u32le() : file.u32be());
    uint16_t entries = le ? file.u16le() : file.u16be();
    uint32_t width = 0, height = 0, compression = 0, fill = 1, t4 = 0, rowsPerStrip = 0;
    std::vector<uint32_t> offsets, counts;
    for (uint16_t i = 0; i < entries; ++i) {
        uint16_t tag = le ? file.u16le() : file.u16be();
        uint16_t type = le ? file.u16le() : file.u16be();
        uint32_t count = le ? file.u32le() : file.u32be();
        std::vector<uint32_t> v = values(file, le, type, count, file.pos());
        file.skip(4);
        if (v.empty()) continue;
        if (tag == 256) width = v[0];
        if (tag == 257) height = v[0];
        if (tag == 259) compression = v[0];
        if (tag == 266) fill = v[0];
        if (tag == 273) offsets = v;
        if (tag == 278) rowsPerStrip = v[0];
        if (tag == 279) counts = v;
        if (tag == 292) t4 = v[0];
    }
    if (file.overrun() || offsets.size() != counts.size() || !width || !height) return 1;
    if (!rowsPerStrip || rowsPerStrip > height) rowsPerStrip = height;

    uint32_t bpr = (width + 7) / 8;
    FaxDecoder fax;
    if (faxDecoderInit(fax, compression, t4, bpr, width, fill == 2 ? FAX_FILL_LSB_FIRST : 0) != RC_OK) return 1;
    std::vector<uint8_t> rows(size_t(bpr) * height);
    for (size_t s = 0; s < offsets.size(); ++s) {
        uint64_t first = uint64_t(s) * rowsPerStrip;
        if (first >= height || uint64_t(offsets[s]) + counts[s] > bytes.size()) break;
        uint64_t count = std::min<uint64_t>(rowsPerStrip, height - first);
        fax.setInput(bytes.data() + offsets[s], counts[s]);
        fax.decodeRows(rows.data() + first * bpr, count * bpr);
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) return 1;
    std::fprintf(out, "P4\n%u %u\n", width, height);
    bool ok = std::fwrite(rows.data(), 1, rows.size(), out) == rows.size();
    return (std::fclose(out) == 0 && ok) ? 0 : 1;
}
