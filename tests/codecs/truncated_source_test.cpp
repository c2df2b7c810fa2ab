// Inputs cut short by another process after they were mapped: the reader
// already trusted the header, so the pixel data it then reads has vanished.
// The process must survive, keep the rows that were still there and report
// the damage.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <vector>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "platform/mapped_file.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

struct HeapLimit {
    explicit HeapLimit(uint64_t b) { setMappedFileHeapLimit(b); }
    ~HeapLimit() { setMappedFileHeapLimit(0); }
};

constexpr uint32_t kW = 512, kH = 512, kHeader = 54;

uint8_t sample(uint32_t x, uint32_t y, uint32_t c) { return uint8_t(x * 3 + y * 5 + c * 70 + 1); }

// A bottom-up 24-bit BMP: file row 0 is image row kH - 1.
std::vector<uint8_t> bmp24()
{
    std::vector<uint8_t> v(kHeader + size_t(kW) * 3 * kH);
    auto put32 = [&](size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(x >> (8 * i));
    };
    v[0] = 'B';
    v[1] = 'M';
    put32(2, uint32_t(v.size()));
    put32(10, kHeader);
    put32(14, 40);
    put32(18, kW);
    put32(22, kH);
    v[26] = 1;
    v[28] = 24;
    put32(34, uint32_t(v.size() - kHeader));
    for (uint32_t fy = 0; fy < kH; ++fy)
        for (uint32_t x = 0; x < kW; ++x)
            for (uint32_t c = 0; c < 3; ++c) v[kHeader + (size_t(fy) * kW + x) * 3 + c] = sample(x, kH - 1 - fy, c);
    return v;
}

} // namespace

TEST(TruncatedSource, MappedBmpCutAfterItsHeaderKeepsTheRowsStillThere)
{
    registerAllFormats();
    HeapLimit mapped(4096);
    TempDir dir;
    const auto path = dir / "cut.bmp";
    const auto bytes = bmp24();
    // Whole file rows survive; the cut lands mid-row and mid-page.
    const uint32_t keptFileRows = 200;
    const uint64_t cutAt = kHeader + uint64_t(keptFileRows) * kW * 3 + 100;
    for (uint64_t cut : {cutAt, uint64_t(0)}) {
        SCOPED_TRACE(cut);
        writeFile(path, bytes);
        Ref<ImageReader> reader;
        ASSERT_EQ(imageFileOpen(reader, path, true), RC_OK);
        Image* raw = nullptr;
        ASSERT_EQ(imageCreateForReader(reader.get(), &raw, false), RC_OK);
        Ref<Image> img = Ref<Image>::adopt(raw);
        ASSERT_EQ(truncate(path.c_str(), off_t(cut)), 0);
        // The size the reader was given still holds; the vanished part reads
        // as zeros, which are valid pixels, but the picture is not the file's.
        ASSERT_EQ(reader->decode(raw, true, nullptr, nullptr), RC_CORRUPT_FILE);
        if (cut == 0) continue;
        ASSERT_EQ(img->pixelFormat, PF_RGBA8);
        for (uint32_t y = kH - keptFileRows; y < kH; ++y) {
            const Rgba8* row = img->row<Rgba8>(y);
            for (uint32_t x = 0; x < kW; x += 37) {
                ASSERT_EQ(row[x].b, sample(x, y, 0)) << x << "," << y;
                ASSERT_EQ(row[x].g, sample(x, y, 1)) << x << "," << y;
                ASSERT_EQ(row[x].r, sample(x, y, 2)) << x << "," << y;
            }
        }
        // Rows wholly past the cut come from zero pages.
        for (uint32_t y = 0; y < kH - keptFileRows - 1; y += 7)
            for (uint32_t x = 0; x < kW; x += 37) ASSERT_EQ(img->row<Rgba8>(y)[x].r, 0) << x << "," << y;
    }
}

// A compressed file of a size that is mapped by default, cut short after it
// was opened: the vanished part reads as zeros, which no longer inflate, so
// the decode reports damage (and keeps the rows before the cut) instead of
// crashing or passing for a whole picture.
TEST(TruncatedSource, MappedPngCutAfterItsHeaderIsReportedDamaged)
{
    QUILLON_REQUIRE_TOOL("convert");
    registerAllFormats();
    TempDir dir;
    constexpr uint32_t w = 600, h = 400;
    Pnm pnm = Pnm::rgb8(w, h);
    uint32_t state = 2463534242u;
    for (uint16_t& sample : pnm.samples) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        sample = uint16_t(state >> 24);
    }
    ASSERT_TRUE(writePnm(dir / "in.ppm", pnm));
    const auto path = dir / "cut.png";
    ASSERT_EQ(run("convert " + shellQuote((dir / "in.ppm").string()) + " -define png:compression-level=1 " +
                  shellQuote(path.string())),
              0);
    const auto bytes = readFile(path);
    ASSERT_GT(bytes.size(), mappedFileHeapLimit()); // noise hardly compresses
    Ref<ImageReader> reader;
    ASSERT_EQ(imageFileOpen(reader, path, true), RC_OK);
    Image* raw = nullptr;
    ASSERT_EQ(imageCreateForReader(reader.get(), &raw, false), RC_OK);
    Ref<Image> img = Ref<Image>::adopt(raw);
    ASSERT_EQ(truncate(path.c_str(), off_t(bytes.size() * 2 / 5)), 0);
    EXPECT_EQ(reader->decode(raw, true, nullptr, nullptr), RC_CORRUPT_FILE);
    ASSERT_EQ(img->pixelFormat, PF_RGBA8);
    for (uint32_t y = 0; y < h / 4; y += 3) {
        const Rgba8* row = img->row<Rgba8>(y);
        for (uint32_t x = 0; x < w; x += 29) {
            ASSERT_EQ(row[x].r, pnm.at(x, y, 0)) << x << "," << y;
            ASSERT_EQ(row[x].b, pnm.at(x, y, 2)) << x << "," << y;
        }
    }
}
