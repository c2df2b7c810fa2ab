// FITS reading against files made by astropy, ImageMagick and netpbm, the
// header rules, hostile headers, and writing read back by all three.
#include "codecs/more/fits.h"

#include <unistd.h>

#include <cmath>
#include <sstream>

#include "codecs/raster_oracle.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

bool haveAstropy() { return run(std::string(kSystemPython) + " -c 'import astropy.io.fits' 2>/dev/null") == 0; }

#define REQUIRE_ASTROPY()                                                      \
    do {                                                                       \
        if (!haveAstropy()) {                                                  \
            if (std::getenv("CI")) FAIL() << "missing oracle astropy";         \
            GTEST_SKIP() << "missing oracle astropy";                          \
        }                                                                      \
    } while (0)

// Runs a Python snippet (with numpy as np and astropy.io.fits as fits)
// and returns what it printed.
std::string python(const std::string& code)
{
    return runOutput(std::string(kSystemPython) + " -c " +
                     shellQuote("import numpy as np\nfrom astropy.io import fits\n" + code) + " 2>/dev/null");
}

std::vector<double> numbers(const std::string& text)
{
    std::istringstream in(text);
    std::vector<double> v;
    for (double d; in >> d;) v.push_back(d);
    return v;
}

// Decoded float grey holds sRGB-encoded values; files hold linear light.
double linearOf(float v) { return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

// Sample (x, y) of a decoded image, counted from the top.
double sampleAt(Image* img, uint32_t x, uint32_t y)
{
    switch (img->pixelFormat) {
    case PF_GRAY8: return img->row<uint8_t>(y)[x];
    case PF_GRAY16: return img->row<uint16_t>(y)[x];
    case PF_GRAY_FLOAT: return linearOf(img->row<float>(y)[x]);
    default: return -1;
    }
}

std::string card(const std::string& text)
{
    std::string c = text;
    c.resize(80, ' ');
    return c;
}

std::vector<uint8_t> fitsFile(const std::vector<std::string>& cards, const std::vector<uint8_t>& data)
{
    std::string h;
    for (const std::string& c : cards) h += card(c);
    h.resize((h.size() + 2879) / 2880 * 2880, ' ');
    std::vector<uint8_t> v(h.begin(), h.end());
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

} // namespace

TEST(FitsReader, EverySampleTypeFromAstropy)
{
    REQUIRE_ASTROPY();
    TempDir dir;
    struct Case {
        const char* name;
        const char* array;  // a 2-D (or 3-D) numpy array, rows as stored
        PixelFormat format;
        const char* expect;  // numpy expression of what we should read
    } cases[] = {
        {"u8", "np.arange(35, dtype=np.uint8).reshape(5, 7) * 7", PF_GRAY8, "a"},
        {"u16", "(np.arange(35, dtype=np.uint16).reshape(5, 7) * 1871)", PF_GRAY16, "a"},
        {"i16", "(np.arange(35, dtype=np.int16).reshape(5, 7) * 1871 - 32768).astype(np.int16)", PF_GRAY16,
         "a.astype(np.int64) + 32768"},
        {"i32", "(np.arange(35, dtype=np.int64).reshape(5, 7) * 122000001 - 2**31).astype(np.int32)", PF_GRAY16,
         "(a.astype(np.int64) >> 16) + 32768"},
        {"f32", "np.linspace(0, 1, 35, dtype=np.float32).reshape(5, 7)", PF_GRAY_FLOAT, "a"},
        {"f64", "np.linspace(0, 0.9, 35).reshape(5, 7)", PF_GRAY_FLOAT, "a"},
        {"cube", "np.arange(70, dtype=np.uint8).reshape(2, 5, 7)", PF_GRAY8, "a[0]"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / (std::string(c.name) + ".fits");
        std::string out = python(std::string("a = ") + c.array + "\nfits.PrimaryHDU(a).writeto('" + file.string() +
                                 "')\nfor v in (" + c.expect + ").ravel(): print(repr(float(v)))");
        std::vector<double> want = numbers(out);
        ASSERT_EQ(want.size(), 35u) << c.name;
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        ASSERT_EQ(d.image->pixelFormat, c.format) << c.name;
        ASSERT_EQ(d.image->width, 7u);
        ASSERT_EQ(d.image->height, 5u);
        // The first stored row is the bottom one.
        for (uint32_t i = 0; i < 35; ++i) {
            double got = sampleAt(d.image.get(), i % 7, 4 - i / 7);
            EXPECT_NEAR(got, want[i], c.format == PF_GRAY_FLOAT ? 2e-6 : 0) << c.name << " sample " << i;
        }
    }
}

TEST(FitsReader, FilesFromImageMagickAndNetpbm)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pamtofits");
    TempDir dir;
    fs::path src = dir / "src.pgm";
    ASSERT_EQ(run("convert -size 23x9 gradient:white-black -swirl 60 -depth 8 " + shellQuote(src.string())), 0);
    const std::string s = shellQuote(src.string());
    for (const char* cmd : {"convert SRC fits:OUT", "convert SRC -depth 16 fits:OUT", "pamtofits SRC > OUT"}) {
        std::string c = cmd;
        c.replace(c.find("SRC"), 3, s);
        fs::path file = dir / "x.fits";
        c.replace(c.find("OUT"), 3, shellQuote(file.string()));
        ASSERT_EQ(run(c + " 2>/dev/null"), 0) << cmd;
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << cmd;
        Pnm p;
        ASSERT_TRUE(oracleDecode("convert", file, p)) << cmd;
        expectEqualPixels(d.image.get(), p, cmd);
    }
}

TEST(FitsReader, HeaderRulesAndInformation)
{
    std::vector<std::string> base = {"SIMPLE  =                    T", "BITPIX  =                   16",
                                     "NAXIS   =                    2", "NAXIS1  =                    2",
                                     "NAXIS2  =                    1"};
    std::vector<std::string> cards = base;
    cards.insert(cards.end(), {"OBJECT  = 'M31 core  '  / target", "ORIGIN  = 'first'", "OBSERVER= 'second'",
                               "DATE    = '2020-01-02'", "COMMENT   one", "COMMENT   two", "END"});
    Decoded d = decodeBytesFull(fitsFile(cards, {0x80, 0x00, 0x7F, 0xFF}), "a.fits");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<uint16_t>(0)[0], 0);
    EXPECT_EQ(d.image->row<uint16_t>(0)[1], 65535);
    const ImageInfo* inf = d.image->info();
    ASSERT_TRUE(inf);
    EXPECT_EQ(std::u16string(inf->get(INFO_TITLE)), u"M31 core");
    EXPECT_EQ(std::u16string(inf->get(INFO_SOURCE)), u"second");
    EXPECT_EQ(std::u16string(inf->get(INFO_CREATION_DATE)), u"2020-01-02");
    EXPECT_EQ(std::u16string(inf->get(INFO_COMMENTS)), u"one");

    auto with = [&](size_t index, const std::string& replacement) {
        std::vector<std::string> c = base;
        c[index] = replacement;
        c.push_back("END");
        return fitsFile(c, std::vector<uint8_t>(2880, 0));
    };
    struct Bad {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } bad[] = {
        {"SIMPLE = F", with(0, "SIMPLE  =                    F"), RC_UNSUPPORTED_SUBFORMAT},
        {"lower-case simple", with(0, "simple  =                    T"), RC_UNKNOWN_FORMAT},
        {"BITPIX 12", with(1, "BITPIX  =                   12"), RC_UNSUPPORTED_SUBFORMAT},
        {"one axis", with(2, "NAXIS   =                    1"), RC_UNSUPPORTED_SUBFORMAT},
        {"zero width", with(3, "NAXIS1  =                    0"), RC_UNSUPPORTED_SUBFORMAT},
        {"negative width", with(3, "NAXIS1  =                   -5"), RC_CORRUPT_FILE},
        // Sizes no image can take, of data the file does not hold: a lie,
        // not a picture too large for memory.
        {"huge height", with(4, "NAXIS2  =          99999999999"), RC_CORRUPT_FILE},
        {"huge width", with(3, "NAXIS1  =          99999999999"), RC_CORRUPT_FILE},
        {"no BITPIX", with(1, "HISTORY"), RC_CORRUPT_FILE},
        {"no data", fitsFile({base[0], base[1], base[2], base[3], base[4], "END"}, {}), RC_CORRUPT_FILE},
    };
    for (const Bad& b : bad) EXPECT_EQ(decodeBytesFull(b.bytes, "b.fits").rc, b.rc) << b.what;
    // A big size with less data than its first row: refused before any
    // image is made.
    std::vector<std::string> lying = base;
    lying[3] = "NAXIS1  =                30000", lying[4] = "NAXIS2  =                30000";
    lying.push_back("END");
    setAllocationCap(uint64_t(1) << 20);
    d = decodeBytesFull(fitsFile(lying, std::vector<uint8_t>(2880, 0)), "l.fits");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    // Every row of a picture larger than memory allows: too large. A row
    // short, its size is a lie.
    std::vector<std::string> large = base;
    large[1] = "BITPIX  =                    8";
    large[3] = "NAXIS1  =                 1100", large[4] = "NAXIS2  =                 1000";
    large.push_back("END");
    std::vector<uint8_t> rows(1100 * 1000, 0x44);
    EXPECT_EQ(decodeBytesFull(fitsFile(large, rows), "l.fits").rc, RC_OUT_OF_MEMORY);
    rows.resize(rows.size() - 1100);
    d = decodeBytesFull(fitsFile(large, rows), "l.fits");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    setAllocationCap(0);

    // Data cut short: the rows stored first (the bottom ones) are kept.
    std::vector<std::string> c = base;
    c[3] = "NAXIS1  =                    2";
    c[4] = "NAXIS2  =                    3";
    c[1] = "BITPIX  =                    8";
    c.push_back("END");
    d = decodeBytesFull(fitsFile(c, {1, 2, 3}), "t.fits");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(2)[1], 2);
    EXPECT_EQ(d.image->row<uint8_t>(1)[0], 0);
    EXPECT_EQ(d.image->row<uint8_t>(0)[1], 0);
}

TEST(FitsWriter, ExactBytesOfASmallImage)
{
    TempDir dir;
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(3, 2)));
    const uint8_t px[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (uint32_t y = 0; y < 2; ++y) std::copy(px[y], px[y] + 3, img->row<uint8_t>(y));
    ASSERT_EQ(writeAs(u"fits", img.get(), dir / "a.fits", u"Normal", CF_GRAY8), RC_OK);
    std::vector<uint8_t> b = readFile(dir / "a.fits");
    ASSERT_EQ(b.size(), 5760u);
    std::string head(b.begin(), b.begin() + 2880);
    EXPECT_EQ(head.substr(0, 80), card("SIMPLE  = T / Standard FITS file"));
    EXPECT_EQ(head.substr(80, 80), card("BITPIX  = 8 / No. of bits per pixel"));
    EXPECT_EQ(head.substr(160, 80), card("NAXIS   = 2 / No. of axes in matrix"));
    EXPECT_EQ(head.substr(240, 80), card("NAXIS1  = 3 / No. of pixels in X"));
    EXPECT_EQ(head.substr(320, 80), card("NAXIS2  = 2 / No. of pixels in Y"));
    EXPECT_EQ(head.substr(400, 80), card("END"));
    EXPECT_EQ(head.find_first_not_of(' ', 480), std::string::npos);
    const std::vector<uint8_t> rows = {4, 5, 6, 1, 2, 3};
    EXPECT_TRUE(std::equal(rows.begin(), rows.end(), b.begin() + 2880));
    EXPECT_TRUE(std::all_of(b.begin() + 2886, b.end(), [](uint8_t v) { return v == 0; }));

    EXPECT_EQ(writeAs(u"fits", img.get(), dir / "no" / "x.fits", u"Normal", CF_GRAY8), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = greyRamp(300, 300);
        EXPECT_EQ(writeAs(u"fits", big.get(), "/dev/full", u"Normal", CF_GRAY8), RC_WRITE_FAILED);
    }
}

TEST(FitsWriter, AstropyNetpbmAndImageMagickReadWhatWeWrite)
{
    REQUIRE_ASTROPY();
    QUILLON_REQUIRE_TOOL("fitstopnm");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    Ref<Image> g8 = greyRamp(13, 5);
    Ref<Image> g16 = Ref<Image>::adopt(imageCreate(PF_GRAY16, packSize(11, 4)));
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 11; ++x) g16->row<uint16_t>(y)[x] = uint16_t(x * 6007 + y * 911);
    g8->info()->set(INFO_TITLE, u"Andromeda's core");
    g8->info()->set(INFO_COMMENTS, u"a comment");

    struct Case {
        const char* name;
        Image* img;
        uint32_t mask;
        const char* netpbm;  // the range fitstopnm must keep
    } cases[] = {
        {"g8", g8.get(), CF_GRAY8, "-min 0 -max 255"},
        {"g16", g16.get(), CF_GRAY16, "-min 0 -max 65535"},
        {"float", g8.get(), CF_GRAY_FLOAT, nullptr},
    };
    auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    for (const Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".fits");
        ASSERT_EQ(writeAs(u"fits", c.img, out, u"Normal", c.mask), RC_OK) << c.name;
        std::vector<double> got = numbers(python("a = fits.getdata('" + out.string() +
                                                 "')\nfor v in a.ravel(): print(repr(float(v)))"));
        uint32_t w = c.img->width, h = c.img->height;
        ASSERT_EQ(got.size(), size_t(w) * h) << c.name;
        for (uint32_t i = 0; i < w * h; ++i) {
            uint32_t x = i % w, y = h - 1 - i / w;
            double want = c.img->pixelFormat == PF_GRAY16 ? c.img->row<uint16_t>(y)[x] : c.img->row<uint8_t>(y)[x];
            if (c.mask == CF_GRAY_FLOAT) want = linear(want / 255);
            EXPECT_NEAR(got[i], want, c.mask == CF_GRAY_FLOAT ? 1e-6 : 0) << c.name << " sample " << i;
        }
        if (c.netpbm) {
            // fitstopnm keeps the stored row order: the bottom row first.
            fs::path pnm = out.string() + ".pnm";
            ASSERT_EQ(run(std::string("fitstopnm ") + c.netpbm + " " + shellQuote(out.string()) +
                          " 2>/dev/null | pamflip -tb > " + shellQuote(pnm.string())),
                      0);
            Pnm p;
            ASSERT_TRUE(readPnm(pnm, p)) << c.name;
            ASSERT_EQ(p.width, w);
            ASSERT_EQ(p.height, h);
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    uint32_t want = c.img->pixelFormat == PF_GRAY16 ? c.img->row<uint16_t>(y)[x]
                                                                    : c.img->row<uint8_t>(y)[x];
                    EXPECT_EQ(p.at(x, y, 0), want) << c.name << " fitstopnm " << x << "," << y;
                }
            ASSERT_TRUE(oracleDecode("convert", out, p)) << c.name;
            if (c.mask == CF_GRAY8) expectEqualPixels(c.img, p, std::string(c.name) + " ImageMagick");
        }
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                double want = c.img->pixelFormat == PF_GRAY16 ? c.img->row<uint16_t>(y)[x] : c.img->row<uint8_t>(y)[x];
                if (c.mask == CF_GRAY_FLOAT) want = linear(want / 255);
                EXPECT_NEAR(sampleAt(d.image.get(), x, y), want, c.mask == CF_GRAY_FLOAT ? 2e-6 : 0) << c.name;
            }
    }
    Decoded d = decodeFileFull(dir / "g8.fits");
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_TITLE)), u"Andromeda\"s core");
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMMENTS)), u"a comment");
    std::string header = python("h = fits.getheader('" + (dir / "g16.fits").string() +
                                "')\nprint(h['BZERO'], h['BSCALE'])");
    EXPECT_EQ(header, "32768 1\n");
}
