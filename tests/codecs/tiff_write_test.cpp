// TIFF writing: every sub-format and colour format checked by libtiff's
// tiffinfo, decoded by ImageMagick and by our reader; LZW sizes against
// tiffcp's; LogLuv read back through libtiff; metadata through exiftool.
#include "codecs/main/tiff.h"

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "app/format_table.h"
#include "codecs/main/exif.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "metadata_test_util.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::string q(const fs::path& p) { return shellQuote(p.string()); }

ResultCode writeTiff(Image* img, const fs::path& path, const char16_t* sub, uint32_t flag, int32_t param = 0,
                     bool allFrames = true)
{
    registerAllFormats();
    int32_t i = formatFindByExtension(path, true);
    EXPECT_GE(i, 0);
    const FormatDescriptor* d = formatRegistry().at(i);
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, flag, param, allFrames, nullptr, nullptr);
}

// A picture of every kind: smooth ramps in colour and alpha, noisy low bits.
Ref<Image> picture(PixelFormat pf, uint32_t w, uint32_t h, uint32_t colours = 0, bool alpha = true)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(pf, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t r = (x * 5 + y) & 255, g = (y * 3 + x / 2) & 255, b = (x ^ y) & 255;
            uint32_t a = alpha ? (x + y * 2) & 255 : 255;
            uint32_t r16 = r * 257 + (x % 7), g16 = g * 257 + (y % 5), b16 = b * 257, a16 = alpha ? a * 257 + 3 : 65535;
            switch (pf) {
            case PF_RGBA8: img->row<Rgba8>(y)[x] = {uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(a)}; break;
            case PF_RGBA16:
                img->row<Rgba16>(y)[x] = {uint16_t(b16), uint16_t(g16), uint16_t(r16), uint16_t(a16)};
                break;
            case PF_RGBA_FLOAT:
                img->row<RgbaF>(y)[x] = {b / 255.0f, g / 255.0f, r / 255.0f, a / 255.0f};
                break;
            case PF_GRAY8: img->rowBytesPtr(y)[x] = uint8_t(r); break;
            case PF_GRAY16: img->row<uint16_t>(y)[x] = uint16_t(r16); break;
            case PF_GRAY_FLOAT: img->row<float>(y)[x] = g / 255.0f; break;
            case PF_INDEXED8: img->rowBytesPtr(y)[x] = uint8_t((x / 3 + y / 2) % colours); break;
            default: break;
            }
        }
    if (pf == PF_INDEXED8) {
        uint32_t pal[256];
        for (uint32_t i = 0; i < 256; ++i) pal[i] = 0xFF000000u | (i * 37 % 256) << 16 | (i * 91 % 256) << 8 | (255 - i);
        img->indexedView()->setPalette(pal, 256);
    }
    img->alphaKind = alpha && (pf == PF_RGBA8 || pf == PF_RGBA16 || pf == PF_RGBA_FLOAT) ? ALPHA_STRAIGHT : ALPHA_NONE;
    return img;
}

// Sample c (red, green, blue, alpha) of any image as a fraction of full scale.
double unitSample(const Image* img, uint32_t x, uint32_t y, uint32_t c)
{
    static const int kPos[4] = {2, 1, 0, 3};
    switch (img->pixelFormat) {
    case PF_RGBA8: return img->rowBytesPtr(y)[4 * x + kPos[c]] / 255.0;
    case PF_RGBA16: return img->row<uint16_t>(y)[4 * x + kPos[c]] / 65535.0;
    case PF_RGBA_FLOAT: return img->row<float>(y)[4 * x + kPos[c]];
    case PF_GRAY8: return c == 3 ? 1.0 : img->rowBytesPtr(y)[x] / 255.0;
    case PF_GRAY16: return c == 3 ? 1.0 : img->row<uint16_t>(y)[x] / 65535.0;
    case PF_GRAY_FLOAT: return c == 3 ? 1.0 : img->row<float>(y)[x];
    case PF_INDEXED8: {
        static const int kShift[4] = {16, 8, 0, 24};
        return ((img->palette()[img->rowBytesPtr(y)[x]] >> kShift[c]) & 255) / 255.0;
    }
    default: return -1;
    }
}

void expectSame(const Image* got, const Image* want, const std::string& what, bool alpha, double tolerance)
{
    ASSERT_TRUE(got) << what;
    ASSERT_EQ(got->width, want->width) << what;
    ASSERT_EQ(got->height, want->height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < want->height; ++y)
        for (uint32_t x = 0; x < want->width; ++x)
            for (uint32_t c = 0; c < (alpha ? 4u : 3u); ++c) {
                double a = unitSample(got, x, y, c), b = unitSample(want, x, y, c);
                if (std::fabs(a - b) > tolerance && ++bad < 4)
                    ADD_FAILURE() << what << " at " << x << "," << y << " channel " << c << ": " << a << " vs " << b;
            }
}

// ImageMagick's decode as a 16-bit image of the same layout.
Ref<Image> imageMagickDecode(const fs::path& file, bool alpha)
{
    fs::path pam = file;
    pam += ".pam";
    if (run("convert " + q(file) + (alpha ? "" : " -alpha off") + " -depth 16 " + q(pam)) != 0) return {};
    Pnm p;
    if (!readPnm(pam, p)) return {};
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_RGBA16, packSize(p.width, p.height)));
    const double scale = 65535.0 / p.maxval;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            Rgba16& o = img->row<Rgba16>(y)[x];
            uint32_t grey = p.channels < 3;
            o.r = uint16_t(p.at(x, y, 0) * scale + 0.5);
            o.g = uint16_t(p.at(x, y, grey ? 0 : 1) * scale + 0.5);
            o.b = uint16_t(p.at(x, y, grey ? 0 : 2) * scale + 0.5);
            o.a = p.channels == 4 || p.channels == 2 ? uint16_t(p.at(x, y, p.channels - 1) * scale + 0.5) : 65535;
        }
    return img;
}

struct WriteCase {
    const char16_t* sub;
    uint32_t flag;
    PixelFormat pf;
    uint32_t colours;
};

} // namespace

TEST(TiffWriter, EverySubFormatAndColourFormatReadsBackInEveryReader)
{
    QUILLON_REQUIRE_TOOL("tiffinfo");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::vector<WriteCase> cases;
    for (const char16_t* sub : {u"Uncompressed", u"LZW compressed"}) {
        cases.push_back({sub, CF_2_COLOURS, PF_INDEXED8, 2});
        cases.push_back({sub, CF_4_COLOURS, PF_INDEXED8, 4});
        cases.push_back({sub, CF_16_COLOURS, PF_INDEXED8, 16});
        cases.push_back({sub, CF_256_COLOURS, PF_INDEXED8, 200});
        cases.push_back({sub, CF_GRAY8, PF_GRAY8, 0});
        cases.push_back({sub, CF_GRAY16, PF_GRAY16, 0});
        cases.push_back({sub, CF_GRAY_FLOAT, PF_GRAY_FLOAT, 0});
        cases.push_back({sub, CF_RGB24, PF_RGBA8, 0});
        cases.push_back({sub, CF_RGBA32, PF_RGBA8, 0});
        cases.push_back({sub, CF_RGB48, PF_RGBA16, 0});
        cases.push_back({sub, CF_RGBA64, PF_RGBA16, 0});
        cases.push_back({sub, CF_RGB_FLOAT, PF_RGBA_FLOAT, 0});
        cases.push_back({sub, CF_RGBA_FLOAT, PF_RGBA_FLOAT, 0});
    }
    for (const WriteCase& c : cases) {
        std::string what = u16ToUtf8(c.sub) + " " + u16ToUtf8(colourFormatName(c.flag));
        const bool alpha = c.flag == CF_RGBA32 || c.flag == CF_RGBA64 || c.flag == CF_RGBA_FLOAT;
        Ref<Image> src = picture(c.pf, 61, 37, c.colours, alpha);
        fs::path out = dir / "w.tiff";
        ASSERT_EQ(writeTiff(src.get(), out, c.sub, c.flag), RC_OK) << what;
        EXPECT_EQ(runOutput("tiffinfo -D " + q(out) + " 2>&1 >/dev/null"), "") << what;

        const bool isFloat = c.pf == PF_RGBA_FLOAT || c.pf == PF_GRAY_FLOAT;
        // Floats are stored as linear light: ImageMagick sees the linear values.
        Ref<Image> expectFile = src;
        if (isFloat) {
            expectFile = Ref<Image>::adopt(imageConvertNew(src.get(), false, false, src->pixelFormat));
            for (uint32_t y = 0; y < src->height; ++y) {
                float* p = expectFile->row<float>(y);
                uint32_t n = src->width * (c.pf == PF_GRAY_FLOAT ? 1 : 4);
                for (uint32_t i = 0; i < n; ++i)
                    if (c.pf == PF_GRAY_FLOAT || i % 4 != 3) p[i] = srgbDecode(p[i]);
            }
        }
        Ref<Image> im = imageMagickDecode(out, alpha);
        expectSame(im.get(), expectFile.get(), what + " (ImageMagick)", alpha, isFloat ? 2.0 / 65535 : 0.5 / 65535);

        ResultCode rc;
        Ref<Image> back = decodeFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << what;
        expectSame(back.get(), src.get(), what + " (ours)", alpha, isFloat ? 1e-5 : 1e-9);
        EXPECT_EQ(back->alphaKind, alpha ? ALPHA_STRAIGHT : ALPHA_NONE) << what;
    }
}

TEST(TiffWriter, PremultipliedAlphaIsStoredAndReadBackAsAssociated)
{
    QUILLON_REQUIRE_TOOL("tiffinfo");
    TempDir dir;
    for (PixelFormat pf : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT}) {
        const uint32_t flag = pf == PF_RGBA8 ? CF_RGBA32 : pf == PF_RGBA16 ? CF_RGBA64 : CF_RGBA_FLOAT;
        const std::string what = u16ToUtf8(colourFormatName(flag));
        Ref<Image> src = picture(pf, 33, 21);
        imagePremultiplyAlpha(src.get());
        ASSERT_EQ(src->alphaKind, ALPHA_PREMULTIPLIED);
        const fs::path out = dir / "pm.tiff";
        ASSERT_EQ(writeTiff(src.get(), out, u"LZW compressed", flag), RC_OK) << what;
        EXPECT_NE(runOutput("tiffinfo " + q(out)).find("Extra Samples: 1<assoc-alpha>"), std::string::npos) << what;
        ResultCode rc;
        Ref<Image> back = decodeFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << what;
        EXPECT_EQ(back->alphaKind, ALPHA_PREMULTIPLIED) << what;
        expectSame(back.get(), src.get(), what, true, pf == PF_RGBA_FLOAT ? 1e-5 : 1e-9);
    }
}

TEST(TiffWriter, JpegByQualityIsCloseToTheSourceInEveryReader)
{
    QUILLON_REQUIRE_TOOL("tiffinfo");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    for (uint32_t flag : {CF_RGB24, CF_GRAY8}) {
        // Smooth, as photographs are: no byte comparison, only the PSNR.
        Ref<Image> src = Ref<Image>::adopt(imageCreate(flag == CF_RGB24 ? PF_RGBA8 : PF_GRAY8, packSize(203, 77)));
        for (uint32_t y = 0; y < 77; ++y)
            for (uint32_t x = 0; x < 203; ++x) {
                uint8_t r = uint8_t(x), g = uint8_t(y * 3), b = uint8_t(128 + 100 * std::sin(x * 0.05 + y * 0.07));
                if (flag == CF_RGB24) src->row<Rgba8>(y)[x] = {b, g, r, 255};
                else src->rowBytesPtr(y)[x] = uint8_t((r + g + b) / 3);
            }
        fs::path out = dir / "j.tiff";
        ASSERT_EQ(writeTiff(src.get(), out, u"JPEG, by Quality:", flag, 95), RC_OK);
        EXPECT_EQ(runOutput("tiffinfo -D " + q(out) + " 2>&1 >/dev/null"), "");
        EXPECT_NE(runOutput("tiffinfo " + q(out)).find(flag == CF_RGB24 ? "YCbCr" : "min-is-black"), std::string::npos);
        ResultCode rc;
        Ref<Image> ours = decodeFile(out, &rc);
        ASSERT_EQ(rc, RC_OK);
        Ref<Image> im = imageMagickDecode(out, false);
        for (const Image* got : {ours.get(), im.get()}) {
            ASSERT_TRUE(got);
            double se = 0;
            uint64_t n = 0;
            for (uint32_t y = 0; y < 77; ++y)
                for (uint32_t x = 0; x < 203; ++x)
                    for (uint32_t c = 0; c < 3; ++c, ++n) {
                        double d = (unitSample(got, x, y, c) - unitSample(src.get(), x, y, c)) * 255;
                        se += d * d;
                    }
            double psnr = 10 * std::log10(255.0 * 255.0 / (se / double(n)));
            EXPECT_GE(psnr, 40.0) << u16ToUtf8(colourFormatName(flag));
        }
    }
}

TEST(TiffWriter, TwoColoursKeepTheirColoursAndBlackAndWhiteStaysBilevel)
{
    TempDir dir;
    Ref<Image> img = picture(PF_INDEXED8, 20, 10, 2);
    const uint32_t redBlue[2] = {0xFFFF0000u, 0xFF0000FFu};
    img->indexedView()->setPalette(redBlue, 2);
    ASSERT_EQ(writeTiff(img.get(), dir / "rb.tiff", u"Uncompressed", CF_2_COLOURS), RC_OK);
    ResultCode rc;
    Ref<Image> back = decodeFile(dir / "rb.tiff", &rc);
    ASSERT_EQ(rc, RC_OK);
    expectSame(back.get(), img.get(), "red and blue", false, 0);
    Ref<Image> im = imageMagickDecode(dir / "rb.tiff", false);
    expectSame(im.get(), img.get(), "red and blue (ImageMagick)", false, 0);

    const uint32_t whiteBlack[2] = {0xFFFFFFFFu, 0xFF000000u};
    img->indexedView()->setPalette(whiteBlack, 2);
    ASSERT_EQ(writeTiff(img.get(), dir / "wb.tiff", u"LZW compressed", CF_2_COLOURS), RC_OK);
    std::string info = runOutput("tiffinfo " + q(dir / "wb.tiff") + " 2>&1");
    EXPECT_NE(info.find("min-is-white"), std::string::npos) << info;
    EXPECT_NE(info.find("Bits/Sample: 1"), std::string::npos) << info;
    back = decodeFile(dir / "wb.tiff", &rc);
    ASSERT_EQ(rc, RC_OK);
    expectSame(back.get(), img.get(), "white and black", false, 0);
}

TEST(TiffWriter, LzwSizeIsWithinTwoPercentOfTiffcp)
{
    QUILLON_REQUIRE_TOOL("tiffcp");
    TempDir dir;
    for (PixelFormat pf : {PF_RGBA8, PF_GRAY16}) {
        // A photograph-like picture: smooth with some noise.
        Ref<Image> img = picture(pf, 640, 480, 0, false);
        uint32_t flag = pf == PF_RGBA8 ? CF_RGB24 : CF_GRAY16;
        ASSERT_EQ(writeTiff(img.get(), dir / "n.tiff", u"Uncompressed", flag), RC_OK);
        ASSERT_EQ(writeTiff(img.get(), dir / "l.tiff", u"LZW compressed", flag), RC_OK);
        ASSERT_EQ(run("tiffcp -c lzw:2 -r 100000 " + q(dir / "n.tiff") + " " + q(dir / "p.tiff")), 0);
        double ours = double(fs::file_size(dir / "l.tiff")), peer = double(fs::file_size(dir / "p.tiff"));
        EXPECT_LT(std::fabs(ours / peer - 1), 0.02) << ours << " vs " << peer;
        EXPECT_EQ(runOutput("tiffcmp " + q(dir / "n.tiff") + " " + q(dir / "l.tiff") + " 2>&1 | grep -v -i 'compression\\|predictor'"), "");
    }
}

TEST(TiffWriter, LzwCodesAreReadBackByOurDecoderAtEveryLength)
{
    // Long enough to fill the table several times and restart on the ratio.
    for (size_t n : {size_t(0), size_t(1), size_t(2), size_t(300), size_t(5000), size_t(70000)}) {
        std::vector<uint8_t> in(n);
        uint32_t s = 12345;
        for (size_t i = 0; i < n; ++i) s = s * 1103515245 + 12345, in[i] = uint8_t(i < n / 2 ? (s >> 16) & 3 : s >> 24);
        std::vector<uint8_t> code(tiffLzwBound(n));
        size_t len = tiffLzwEncode(code.data(), in.data(), n);
        ASSERT_LE(len, code.size());
        std::vector<uint8_t> back(n + 1, 0xEE);
        TiffLzwResult r = tiffLzwDecode(back.data(), code.data(), n + 1, len);
        EXPECT_FALSE(r.damaged) << n;
        ASSERT_EQ(r.produced, n);
        EXPECT_TRUE(n == 0 || std::memcmp(back.data(), in.data(), n) == 0) << n;
    }
}

TEST(TiffWriter, LogLuvIsReadBackByLibtiff)
{
    std::string tool = std::string(QUILLON_TEST_TOOLS) + "/tiff_sample_tool";
    if (access(tool.c_str(), X_OK) != 0) {
        if (std::getenv("CI")) FAIL() << "tiff_sample_tool was not built (libtiff-dev missing)";
        GTEST_SKIP() << "tiff_sample_tool was not built";
    }
    TempDir dir;
    // Grey: luminance over many magnitudes, negative, tiny and NaN values.
    Ref<Image> grey = Ref<Image>::adopt(imageCreate(PF_GRAY_FLOAT, packSize(40, 3)));
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 40; ++x) grey->row<float>(y)[x] = float(std::ldexp(1.0 + x / 40.0, int(x) - 20)) * (y == 1 ? -1 : 1);
    grey->row<float>(2)[0] = 1e-30f;
    grey->row<float>(2)[1] = std::nanf("");
    grey->row<float>(2)[2] = 0;
    ASSERT_EQ(writeTiff(grey.get(), dir / "l.tiff", u"SGI LogLuv RLE", CF_GRAY_FLOAT), RC_OK);
    EXPECT_EQ(runOutput("tiffinfo -D " + q(dir / "l.tiff") + " 2>&1 >/dev/null"), "");
    std::string bytes = runOutput(tool + " read " + q(dir / "l.tiff"));
    ASSERT_EQ(bytes.size(), 40u * 3 * 4);
    const float* y = reinterpret_cast<const float*>(bytes.data());
    for (uint32_t i = 0; i < 120; ++i) {
        // The file holds linear light: the source through the decoding curve.
        double want = i >= 80 && i < 83 ? 0.0 : double(srgbDecode(grey->row<float>(i / 40)[i % 40]));
        if (i >= 80 && i < 83) {
            EXPECT_EQ(y[i], 0.0f) << i;
        } else {
            EXPECT_NEAR(y[i], want, std::fabs(want) * 0.003) << i;
        }
    }

    // Colour: libtiff gives X, Y, Z; through the matrix they are our RGB.
    Ref<Image> colour = picture(PF_RGBA_FLOAT, 30, 20, 0, false);
    ASSERT_EQ(writeTiff(colour.get(), dir / "c.tiff", u"SGI LogLuv RLE", CF_RGB_FLOAT), RC_OK);
    bytes = runOutput(tool + " read " + q(dir / "c.tiff"));
    ASSERT_EQ(bytes.size(), 30u * 20 * 12);
    const float* xyz = reinterpret_cast<const float*>(bytes.data());
    int bad = 0;
    for (uint32_t p = 0; p < 600; ++p) {
        const RgbaF& s = colour->row<RgbaF>(p / 30)[p % 30];
        double r = srgbDecode(s.r), g = srgbDecode(s.g), b = srgbDecode(s.b);
        double X = 0.497 * r + 0.339 * g + 0.164 * b, Y = 0.256 * r + 0.678 * g + 0.066 * b;
        double Z = (0.069 * r + 0.339 * g + 2.592 * b) / 3;
        double tol = 0.025 * (X + Y + Z) + 1e-4;
        if ((std::fabs(xyz[3 * p] - X) > tol || std::fabs(xyz[3 * p + 1] - Y) > tol || std::fabs(xyz[3 * p + 2] - Z) > tol) &&
            ++bad < 4)
            ADD_FAILURE() << p << ": " << xyz[3 * p] << " " << xyz[3 * p + 1] << " " << xyz[3 * p + 2] << " vs " << X << " "
                          << Y << " " << Z;
    }
    // And our reader gives the colours back.
    ResultCode rc;
    Ref<Image> back = decodeFile(dir / "c.tiff", &rc);
    ASSERT_EQ(rc, RC_OK);
    // Chromaticity is kept to 1/410: a channel far below the luminance has
    // little precision of its own.
    expectSame(back.get(), colour.get(), "LogLuv", false, 0.03);
}

TEST(TiffWriter, TextTagsResolutionAndPagesReachExiftoolAndTiffinfo)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    Ref<Image> a = picture(PF_RGBA8, 30, 20, 0, false), b = picture(PF_GRAY8, 16, 40);
    a->info()->set(INFO_TITLE, u"Harbour");
    a->info()->set(INFO_COMMENTS, u"Boats at dawn, caf\u00e9");
    a->info()->set(INFO_AUTHOR, u"K. Brevik");
    a->info()->set(INFO_DENSITY, u"3780 x 3780 ppm");
    b->alphaKind = ALPHA_NONE;
    a->frameInfo.next = b.get();
    b->addRef();
    b->frameInfo.prev = a.get();
    ASSERT_EQ(writeTiff(a.get(), dir / "m.tiff", u"LZW compressed", CF_RGB24), RC_OK);
    std::string tags = runOutput("exiftool -s -s -s -DocumentName -ImageDescription -Artist -XResolution " +
                                 q(dir / "m.tiff"));
    EXPECT_EQ(tags, "Harbour\nBoats at dawn, caf\xc3\xa9\nK. Brevik\n96\n");
    EXPECT_EQ(runOutput("tiffinfo " + q(dir / "m.tiff") + " 2>&1 | grep -c 'TIFF Directory'"), "2\n");

    ResultCode rc;
    Ref<ImageReader> reader;
    Ref<Image> back = decodeFile(dir / "m.tiff", &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    ASSERT_TRUE(back->next());
    EXPECT_EQ(back->next()->width, 16u);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_AUTHOR)), u"K. Brevik");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_DENSITY)), u"96 x 96 ppi");

    // One frame asked for: one page.
    ASSERT_EQ(writeTiff(a.get(), dir / "one.tiff", u"Uncompressed", CF_RGB24, 0, false), RC_OK);
    EXPECT_EQ(runOutput("tiffinfo " + q(dir / "one.tiff") + " 2>&1 | grep -c 'TIFF Directory'"), "1\n");
}

// EXIF (with GPS) and XMP written into a TIFF reach exiftool and our own
// reader with their values.
TEST(TiffWriter, ExifGpsAndXmpReachExiftoolAndOurReader)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    Ref<Image> a = picture(PF_RGBA8, 24, 16, 0, false);
    a->info()->set(INFO_TITLE, u"Quay");
    a->info()->set(INFO_CAMERA_MAKE, u"Ca");
    a->info()->set(INFO_CAMERA_MODEL, u"EOS 5");
    a->info()->set(INFO_EXPOSURE_TIME, u"0.000125 s");
    a->info()->set(INFO_FNUMBER, u"2.800");
    a->info()->set(INFO_ISO_SPEED, u"400");
    a->info()->set(INFO_GPS, u"48\u00B051'24.499\" S, 2\u00B021'59.996\" W, -12m");
    a->info()->set(INFO_KEYWORD_FIRST, u"harbour");
    a->info()->set(INFO_KEYWORD_FIRST + 1, u"boats");
    ASSERT_EQ(writeTiff(a.get(), dir / "e.tiff", u"LZW compressed", CF_RGB24), RC_OK);
    const std::string tags = runOutput("exiftool -s -s -s -n -Make -Model -ExposureTime -FNumber -ISO "
                                       "-GPSLatitude -GPSLongitude -GPSAltitude -XMP:Subject " + q(dir / "e.tiff"));
    std::istringstream lines(tags);
    std::vector<std::string> v;
    for (std::string line; std::getline(lines, line);) v.push_back(line);
    ASSERT_EQ(v.size(), 9u) << tags;
    EXPECT_EQ(v[0], "Ca");
    EXPECT_EQ(v[1], "EOS 5");
    EXPECT_NEAR(std::stod(v[2]), 0.000125, 1e-9);
    EXPECT_NEAR(std::stod(v[3]), 2.8, 1e-6);
    EXPECT_EQ(v[4], "400");
    EXPECT_NEAR(std::stod(v[5]), -(48 + 51 / 60.0 + 24.499 / 3600), 1e-5);
    EXPECT_NEAR(std::stod(v[6]), -(2 + 21 / 60.0 + 59.996 / 3600), 1e-5);
    EXPECT_NEAR(std::stod(v[7]), -12, 1e-6);
    EXPECT_EQ(v[8], "harbour, boats");

    ResultCode rc;
    Ref<ImageReader> reader;
    Ref<Image> back = decodeFile(dir / "e.tiff", &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_CAMERA_MODEL)), u"EOS 5");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_FNUMBER)), u"2.800");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_KEYWORD_FIRST + 1)), u"boats");
}

// Outputs of a real batch named with one to four letters carry the name as
// DocumentName. libtiff (tiffinfo, ImageMagick) reads every one without a
// warning, exiftool finds nothing new to warn of, and our reader gives the
// names back; texts of up to three bytes lie inside their entries.
TEST(TiffWriter, ShortNamesOfABatchReadWithoutWarnings)
{
    QUILLON_REQUIRE_TOOL("tiffinfo");
    QUILLON_REQUIRE_TOOL("tiffdump");
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("identify");
    TempDir dir;
    const std::vector<std::string> names = {"a", "ab", "abc", "abcd"};
    std::vector<fs::path> inputs;
    for (const std::string& name : names) {
        inputs.push_back(dir / "in" / (name + ".png"));
        fs::create_directories(inputs.back().parent_path());
        ASSERT_EQ(run("convert -size 6x4 gradient:red-blue " + q(inputs.back())), 0);
    }
    const BatchResult r = meta::convertInBatch(inputs, dir / "out", {{"x.tiff", u"LZW compressed"}});
    EXPECT_EQ(r.converted, 4);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const fs::path out = dir / "out" / (name + ".tiff");
        ASSERT_TRUE(fs::exists(out));
        EXPECT_EQ(runOutput("tiffinfo " + q(out) + " 2>&1 >/dev/null"), "");
        EXPECT_EQ(runOutput("identify " + q(out) + " 2>&1 >/dev/null"), "");
        EXPECT_NE(runOutput("tiffinfo " + q(out) + " 2>/dev/null").find("DocumentName: " + name + "\n"),
                  std::string::npos);
        // The true count: the name and one NUL.
        const std::string stored = std::to_string(name.size() + 1) + "<" + name + "\\0>";
        EXPECT_NE(runOutput("tiffdump " + q(out)).find("DocumentName (269) ASCII (2) " + stored), std::string::npos);
        EXPECT_EQ(runOutput("exiftool -s3 -DocumentName " + q(out)), name + "\n");
        for (const std::string& w : meta::exiftoolUnexpectedWarnings(out)) ADD_FAILURE() << w;

        // Read here under another name, so no title can come from the file's.
        const fs::path copy = dir / "copy.tiff";
        fs::copy_file(out, copy, fs::copy_options::overwrite_existing);
        ResultCode rc;
        Ref<ImageReader> reader;
        Ref<Image> back = decodeFile(copy, &rc, &reader);
        ASSERT_EQ(rc, RC_OK);
        EXPECT_EQ(meta::fieldUtf8(reader->info, INFO_TITLE), name);
        // The XMP packet carries the title too; the directory alone must
        // give it, as it does to the EXIF reader walking the same file.
        const std::vector<uint8_t> bytes = readFile(out);
        ImageInfoBag bag;
        exifParse(bag, bytes.data(), bytes.size());
        EXPECT_EQ(meta::fieldUtf8(bag, INFO_TITLE), name);
    }
}

TEST(TiffWriter, FailuresAreReported)
{
    TempDir dir;
    Ref<Image> img = picture(PF_RGBA8, 300, 300);
    EXPECT_EQ(writeTiff(img.get(), dir / "no" / "x.tiff", u"Uncompressed", CF_RGB24), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        fs::create_symlink("/dev/full", dir / "full.tiff");
        for (const char16_t* sub : {u"Uncompressed", u"LZW compressed", u"SGI LogLuv RLE"})
            EXPECT_EQ(writeTiff(img.get(), dir / "full.tiff", sub, sub[0] == 'S' ? CF_RGB_FLOAT : CF_RGB24),
                      RC_WRITE_FAILED);
    }
}
