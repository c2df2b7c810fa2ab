// CALS reading against files made by ImageMagick, the header fields, cut
// bodies and hostile headers.
#include "codecs/more/cals.h"

#include <algorithm>

#include "codecs/raster_oracle.h"
#include "core/text.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Replaces the record at `at` (128 bytes) with `text`, blank-filled.
void setRecord(std::vector<uint8_t>& f, size_t at, const std::string& text)
{
    std::string r = text;
    r.resize(128, ' ');
    std::copy(r.begin(), r.end(), f.begin() + long(at));
}

class CalsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        file = dir / "a.cals";
        ASSERT_EQ(run("convert -size 45x29 plasma:fractal -seed 5 -monochrome -fill black -draw 'circle 20,14 28,20' " +
                      shellQuote(file.string())),
                  0);
        bytes = readFile(file);
        ASSERT_GT(bytes.size(), 2048u);
    }
    TempDir dir;
    fs::path file;
    std::vector<uint8_t> bytes;
};

} // namespace

TEST_F(CalsFiles, OddWidthsDecodeAsImageMagickDoes)
{
    for (const char* size : {"45x29", "1x1", "1729x7", "8x3", "200x150"}) {
        fs::path f = dir / (std::string("s") + size + ".cals");
        ASSERT_EQ(run(std::string("convert -size ") + size + " plasma:fractal -seed 9 -monochrome " +
                      shellQuote(f.string())),
                  0);
        Decoded d = decodeFileFull(f);
        ASSERT_EQ(d.rc, RC_OK) << size;
        Pnm p;
        ASSERT_TRUE(oracleDecode("convert", f, p)) << size;
        expectEqualPixels(d.image.get(), p, size);
    }
    // A ".ras" name reaches the CALS reader too.
    fs::path ras = dir / "x.ras";
    fs::copy_file(file, ras);
    Decoded d = decodeFileFull(ras);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->width, 45u);
}

TEST_F(CalsFiles, HeaderFields)
{
    std::vector<uint8_t> f = bytes;
    std::string title = "A title that fills its record";
    title.resize(120, 'x');
    title.back() = 'Z';
    setRecord(f, 512, "srcgph: " + title);
    setRecord(f, 1152, "rdensity: 0300");
    setRecord(f, 1280, "notes: two words   ");
    Decoded d = decodeBytesFull(f, "h.cals");
    ASSERT_EQ(d.rc, RC_OK);
    const ImageInfo* inf = d.image->info();
    EXPECT_EQ(std::u16string(inf->get(INFO_TITLE)), asciiToU16(title));
    EXPECT_EQ(std::u16string(inf->get(INFO_DENSITY)), u"300 x 300 ppi");
    EXPECT_EQ(std::u16string(inf->get(INFO_COMMENTS)), u"two words");

    // ImageMagick's own density keyword, and "NONE".
    d = decodeBytesFull(bytes, "i.cals");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_DENSITY)), u"200 x 200 ppi");
    // No title of its own: the name's stands in.
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_TITLE)), u"i");
    setRecord(f, 1152, "rdensty: NONE");
    d = decodeBytesFull(f, "n.cals");
    EXPECT_FALSE(d.image->info()->get(INFO_DENSITY) && *d.image->info()->get(INFO_DENSITY));

    // The size record: width and height, six digits each. The body is padded
    // to a bit for each claimed row, the least a whole picture could take.
    setRecord(f, 1024, "rpelcnt: 001728,002200");
    f.resize(std::max<size_t>(f.size(), 2048 + 2200 / 8), 0);
    d = decodeBytesFull(f, "s.cals");
    ASSERT_TRUE(d.reader);
    EXPECT_EQ(d.reader->width, 1728u);
    EXPECT_EQ(d.reader->height, 2200u);
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);  // the body codes a smaller image
}

TEST_F(CalsFiles, UnsupportedHostileAndCutFiles)
{
    struct Case {
        const char* what;
        size_t at;
        std::string record;
        ResultCode rc;
    } cases[] = {
        {"type 2", 768, "rtype: 2", RC_UNSUPPORTED_SUBFORMAT},
        {"no size", 1024, "rpelcnt: NONE", RC_UNSUPPORTED_SUBFORMAT},
        {"zero width", 1024, "rpelcnt: 000000,000010", RC_CORRUPT_FILE},
        {"no height", 1024, "rpelcnt: 000010,", RC_CORRUPT_FILE},
        {"no signature", 0, "srcdocid:NONE", RC_UNKNOWN_FORMAT},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> f = bytes;
        setRecord(f, c.at, c.record);
        EXPECT_EQ(decodeBytesFull(f, "h.cals").rc, c.rc) << c.what;
    }
    // Header cuts claim nothing; a cut body keeps the rows decoded before it.
    expectCutsFail(bytes, 0, 2049, RC_UNKNOWN_FORMAT, "c.cals");
    Decoded whole = decodeBytesFull(bytes, "c.cals");
    ASSERT_EQ(whole.rc, RC_OK);
    size_t body = bytes.size() - 2048;
    Decoded cut = decodeBytesFull(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(2048 + body / 2)), "c.cals");
    EXPECT_EQ(cut.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(cut.image);
    Ref<Image> a = asRgba8(whole.image.get());
    // The cut image may be kept as decoded (1-bit samples, 1 black) or
    // converted to grey.
    bool converted = false;
    for (uint32_t y = 0; y < 29; ++y)
        for (uint32_t x = 0; x < 45; ++x) converted = converted || cut.image->row<uint8_t>(y)[x] > 1;
    auto black = [&](uint32_t x, uint32_t y) {
        uint8_t s = cut.image->row<uint8_t>(y)[x];
        return converted ? s < 128 : s == 1;
    };
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 45; ++x) EXPECT_EQ(black(x, y), a->row<Rgba8>(y)[x].r == 0) << x << "," << y;
    EXPECT_FALSE(black(44, 28));
}

// Bodies as dense as Group 4 coding gets (a one-pixel checkerboard, about
// 3 bits a pixel; dithered noise) decode whole, and a body cut anywhere,
// within its last row too, is damage.
TEST_F(CalsFiles, DenseBodiesDecodeWholeAndEveryCutIsDamage)
{
    for (const char* args :
         {"-size 64x32 pattern:gray50", "-size 61x40 xc:gray50 -seed 3 +noise Random -threshold 50%"}) {
        fs::path f = dir / "dense.cals";
        ASSERT_EQ(run(std::string("convert ") + args + " -monochrome " + shellQuote(f.string())), 0) << args;
        Decoded d = decodeFileFull(f);
        ASSERT_EQ(d.rc, RC_OK) << args;
        Pnm p;
        ASSERT_TRUE(oracleDecode("convert", f, p)) << args;
        expectEqualPixels(d.image.get(), p, args);
        expectEveryCutIsDamage(readFile(f), "dense.cals", 2049, 1);
    }
}

// A size the body cannot code, of a picture too large to make, is a lie;
// a body that codes every row of such a picture is too large.
TEST_F(CalsFiles, SizesTheBodyCannotCodeAreDamageNotLackOfMemory)
{
    fs::path white = dir / "white.cals";
    ASSERT_EQ(run("convert -size 2000x2000 xc:white -monochrome " + shellQuote(white.string())), 0);
    setAllocationCap(uint64_t(1) << 20);
    EXPECT_EQ(decodeFileFull(white).rc, RC_OUT_OF_MEMORY);
    std::vector<uint8_t> f = bytes;
    setRecord(f, 1024, "rpelcnt: 002000,200000");
    EXPECT_EQ(decodeBytesFull(f, "l.cals").rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
}
