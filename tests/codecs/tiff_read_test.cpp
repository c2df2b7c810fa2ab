// TIFF reading: every compression, layout, byte order and sample type that
// libtiff's tiffcp writes, compared with the pictures the files were made
// from (or, for JPEG, with ImageMagick's decode); hand-built hostile files.
#include "codecs/main/tiff.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"
#include "support/codec_support.h"
#include "support/quiet_batch_ui.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Decodes exactly these bytes (no padding that could hide an over-read);
// the image is kept when the decode fails, for looking at partial rows.
Ref<Image> tiffBytes(const std::vector<uint8_t>& bytes, ResultCode* rc, Ref<ImageReader>* readerOut = nullptr)
{
    Decoded d = decodeBytesFull(bytes, "x.tif");
    *rc = d.rc;
    if (readerOut) *readerOut = d.reader;
    return d.image;
}

Ref<Image> tiffFile(const fs::path& path, ResultCode* rc, Ref<ImageReader>* readerOut = nullptr)
{
    return tiffBytes(readFile(path), rc, readerOut);
}

// Sample c (0 red, 1 green, 2 blue, 3 alpha) of an integer image at 16 bits.
uint32_t sample16(const Image* img, uint32_t x, uint32_t y, uint32_t c)
{
    static const int kPos[4] = {2, 1, 0, 3};
    switch (img->pixelFormat) {
    case PF_RGBA8: return img->rowBytesPtr(y)[4 * x + kPos[c]] * 257u;
    case PF_RGBA16: return img->row<uint16_t>(y)[4 * x + kPos[c]];
    case PF_GRAY8: return c == 3 ? 65535 : img->rowBytesPtr(y)[x] * 257u;
    case PF_GRAY16: return c == 3 ? 65535 : img->row<uint16_t>(y)[x];
    case PF_INDEXED8: {
        uint32_t e = img->palette()[img->rowBytesPtr(y)[x]];
        static const int kShift[4] = {16, 8, 0, 24};
        return ((e >> kShift[c]) & 255) * 257u;
    }
    default: return 0xFFFFFFFF;
    }
}

// Every pixel against the picture (scaled to 16 bits); tolerance for lossy data.
void expectPixels(const Image* img, const Pnm& p, const std::string& what, uint32_t maxDiff = 0,
                  double maxMean = 0)
{
    ASSERT_TRUE(img) << what;
    ASSERT_EQ(img->width, p.width) << what;
    ASSERT_EQ(img->height, p.height) << what;
    const uint32_t scale = 65535 / p.maxval;
    uint32_t worst = 0, bad = 0;
    double total = 0;
    uint64_t n = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x)
            for (uint32_t c = 0; c < std::min(p.channels, 3u) + (p.channels == 4); ++c) {
                uint32_t want = p.at(x, y, p.channels == 1 ? 0 : c) * scale;
                uint32_t got = sample16(img, x, y, c);
                uint32_t d = (got > want ? got - want : want - got) / scale;
                worst = std::max(worst, d);
                total += d;
                ++n;
                if (d > maxDiff && ++bad < 4)
                    ADD_FAILURE() << what << ": pixel " << x << "," << y << " channel " << c << " is " << got
                                  << ", expected " << want;
            }
    if (maxMean > 0) {
        EXPECT_LE(total / double(n), maxMean) << what;
    }
}

Pnm pattern(uint32_t w, uint32_t h, uint32_t channels, uint32_t maxval, int kind)
{
    Pnm p;
    p.width = w, p.height = h, p.channels = channels, p.maxval = maxval;
    p.samples.resize(size_t(w) * h * channels);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t c = 0; c < channels; ++c) {
                uint32_t v;
                if (kind == 1) v = (x / 20 + y / 25 + c) % 2 ? maxval : 0;                  // two values
                else if (kind == 2) v = ((x / 20) * 16 + (y / 20) * 7 * c) & 255;           // few colours
                else if (kind == 3) v = (x + 2 * y + 40 * c) % 510, v = v < 256 ? v : 509 - v;  // smooth
                else v = (x * 2654435761u + y * 40503u + c * 977u) >> 7;                    // noisy
                p.samples[(size_t(y) * w + x) * channels + c] = uint16_t(v % (maxval + 1));
            }
    return p;
}

std::string q(const fs::path& p) { return shellQuote(p.string()); }

// Where the value of `tag` lies in the first directory of a little-endian
// file; 0 when it is not there.
size_t tagField(const std::vector<uint8_t>& f, uint16_t tag)
{
    if (f.size() < 8 || f[0] != 'I') return 0;
    const size_t ifd = loadU32le(&f[4]);
    if (ifd + 2 > f.size()) return 0;
    const uint32_t n = loadU16le(&f[ifd]);
    for (uint32_t i = 0; i < n && ifd + 14 + 12 * i <= f.size(); ++i)
        if (loadU16le(&f[ifd + 2 + 12 * i]) == tag) return ifd + 2 + 12 * i + 8;
    return 0;
}

void setU32le(std::vector<uint8_t>& f, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
}

class TiffFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        QUILLON_REQUIRE_TOOL("tiffcp");
    }
    // A source picture written by ImageMagick as an uncompressed TIFF.
    fs::path base(const std::string& name, const Pnm& p, const std::string& options)
    {
        fs::path src = dir / (name + (p.channels == 4 ? ".pam" : p.channels == 1 ? ".pgm" : ".ppm"));
        EXPECT_TRUE(writePnm(src, p));
        fs::path out = dir / (name + ".tif");
        EXPECT_EQ(run("convert " + q(src) + " -compress None " + options + " " + q(out)), 0) << name;
        return out;
    }
    TempDir dir;
};

} // namespace

TEST_F(TiffFiles, TiffcpMatrixDecodesLikeTheSource)
{
    struct Kind {
        const char* name;
        Pnm picture;
        std::string imOptions;
        std::vector<std::string> compressions;
    };
    const std::vector<std::string> lossless = {"none", "lzw", "lzw:2", "zip", "zip:2", "packbits"};
    std::vector<Kind> kinds = {
        {"bilevel", pattern(300, 200, 1, 255, 1), "-type bilevel -depth 1", {"none", "lzw", "zip", "packbits", "g3", "g3:2d", "g4"}},
        {"grey8", pattern(300, 200, 1, 255, 0), "-depth 8", lossless},
        {"grey16", pattern(300, 200, 1, 65535, 0), "-depth 16", lossless},
        {"palette", pattern(300, 200, 3, 255, 2), "-type Palette", {"none", "lzw", "zip", "packbits"}},
        {"rgb8", pattern(300, 200, 3, 255, 0), "-depth 8", lossless},
        {"rgba8", pattern(300, 200, 4, 255, 3), "-depth 8", lossless},
        {"rgb16", pattern(300, 200, 3, 65535, 0), "-depth 16", lossless},
    };
    const char* layouts[] = {"-r 16", "-t -w 256 -l 256"};
    const char* planars[] = {"-p contig", "-p separate"};
    const char* orders[] = {"-L", "-B"};
    int checked = 0;
    for (const Kind& k : kinds) {
        fs::path b = base(k.name, k.picture, k.imOptions);
        for (const std::string& comp : k.compressions)
            for (const char* layout : layouts)
                for (const char* planar : planars)
                    for (const char* order : orders) {
                        // tiffcp splits planes of 8-bit samples only.
                        if ((std::string(k.name) == "bilevel" || k.picture.maxval > 255) && planar[3] == 's') continue;
                        std::string what = std::string(k.name) + " -c " + comp + " " + layout + " " + planar + " " + order;
                        fs::path out = dir / "m.tif";
                        ASSERT_EQ(run("tiffcp -c " + comp + " " + layout + " " + planar + " " + order + " " + q(b) + " " +
                                      q(out) + " 2>/dev/null"),
                                  0)
                            << what;
                        ResultCode rc;
                        Ref<Image> img = tiffFile(out, &rc);
                        ASSERT_EQ(rc, RC_OK) << what;
                        expectPixels(img.get(), k.picture, what);
                        ++checked;
                    }
    }
    EXPECT_GT(checked, 250);
}

TEST_F(TiffFiles, JpegSegmentsMatchImageMagicksDecode)
{
    for (const char* layout : {"-r 16", "-r 64", "-t -w 256 -l 256"})
        for (int channels : {1, 3}) {
            Pnm p = pattern(300, 200, channels, 255, 3);
            fs::path b = base(channels == 1 ? "jg" : "jc", p, "-depth 8");
            fs::path out = dir / "j.tif";
            std::string what = std::string(layout) + (channels == 1 ? " grey" : " colour");
            ASSERT_EQ(run("tiffcp -c jpeg:90 " + std::string(layout) + " " + q(b) + " " + q(out) + " 2>/dev/null"), 0);
            fs::path ref = dir / "j.pam";
            ASSERT_EQ(run("convert " + q(out) + " -depth 8 " + q(ref)), 0);
            Pnm oracle;
            ASSERT_TRUE(readPnm(ref, oracle));
            ResultCode rc;
            Ref<Image> img = tiffFile(out, &rc);
            ASSERT_EQ(rc, RC_OK) << what;
            expectPixels(img.get(), oracle, what, 8, 1.0);
        }
}

TEST_F(TiffFiles, LargeJpegStripHasTheColoursOfASmallOne)
{
    // A segment large enough for the decoder's band rows must not be
    // converted from YCbCr a second time.
    Pnm big = pattern(2048, 600, 3, 255, 3);
    Pnm small = pattern(64, 48, 3, 255, 3);
    for (const Pnm* p : {&big, &small}) {
        fs::path b = base(p == &big ? "big" : "small", *p, "-depth 8");
        fs::path out = dir / "jb.tif";
        ASSERT_EQ(run("tiffcp -c jpeg:95 -r 1024 " + q(b) + " " + q(out)), 0);
        ResultCode rc;
        Ref<Image> img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK);
        expectPixels(img.get(), *p, p == &big ? "2048 x 600" : "64 x 48", 12, 2.0);
    }
}

TEST_F(TiffFiles, FloatSamplesOfEveryWidthAndPredictor)
{
    Pnm p = pattern(300, 200, 3, 65535, 3);
    for (int bits : {32}) {
        fs::path b = base("f" + std::to_string(bits), p,
                          "-define quantum:format=floating-point -depth " + std::to_string(bits) + " -compress zip");
        // libtiff does not read back the big-endian files it writes with
        // the floating-point predictor, so those are left out.
        for (const char* comp : {"none", "lzw:1", "zip:3", "lzw:3"})
            for (const char* planar : {"-p contig", "-t -w 256 -l 256"})
                for (const char* order : {"-L", "-B"}) {
                    if (comp[std::strlen(comp) - 1] == '3' && order[1] == 'B') continue;
                    std::string what = std::to_string(bits) + " " + comp + " " + planar + " " + order;
                    fs::path out = dir / "f.tif";
                    ASSERT_EQ(run(std::string("tiffcp -c ") + comp + " " + planar + " " + order + " " + q(b) + " " +
                                  q(out) + " 2>/dev/null"),
                              0)
                        << what;
                    ResultCode rc;
                    Ref<Image> img = tiffFile(out, &rc);
                    ASSERT_EQ(rc, RC_OK) << what;
                    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT) << what;
                    // Float RGB is linear light; the decode gives it the sRGB curve.
                    const double tol = 1e-5;
                    int bad = 0;
                    for (uint32_t y = 0; y < p.height; y += 7)
                        for (uint32_t x = 0; x < p.width; x += 3) {
                            const RgbaF& px = img->row<RgbaF>(y)[x];
                            float got[3] = {px.r, px.g, px.b};
                            for (int c = 0; c < 3; ++c) {
                                double want = srgbEncode(float(p.at(x, y, c) / 65535.0));
                                if (std::fabs(got[c] - want) > tol && ++bad < 4)
                                    ADD_FAILURE() << what << " at " << x << "," << y << ": " << got[c] << " vs " << want;
                            }
                        }
                }
    }
}

TEST_F(TiffFiles, PagesWithLabelsAndTheThumbnailRule)
{
    QUILLON_REQUIRE_TOOL("tiffset");
    QUILLON_REQUIRE_TOOL("tiffinfo");
    Pnm a = pattern(120, 80, 3, 255, 0), bb = pattern(40, 70, 1, 255, 3), thumb = pattern(30, 20, 3, 255, 3);
    Pnm c = pattern(64, 48, 3, 255, 0);
    fs::path pa = base("pa", a, "-depth 8"), pb = base("pb", bb, "-depth 8"), pt = base("pt", thumb, "-depth 8");
    fs::path pc = base("pc", c, "-depth 8");
    fs::path three = dir / "three.tif";
    ASSERT_EQ(run("tiffcp -c lzw " + q(pa) + " " + q(pb) + " " + q(pa) + " " + q(three)), 0);

    ResultCode rc;
    Ref<Image> img = tiffFile(three, &rc);
    ASSERT_EQ(rc, RC_OK);
    const Pnm* want[] = {&a, &bb, &a};
    const char16_t* labels[] = {u"1:3", u"2:3", u"3:3"};
    int i = 0;
    for (Image* im = img.get(); im; im = im->next(), ++i) {
        ASSERT_LT(i, 3);
        expectPixels(im, *want[i], "page " + std::to_string(i));
        ASSERT_TRUE(im->info());
        EXPECT_EQ(std::u16string(im->info()->get(INFO_PAGE)), labels[i]);
    }
    EXPECT_EQ(i, 3);

    // Two directories, the second smaller: what the second says it is
    // decides. One that says nothing is a thumbnail when its proportions,
    // rounded to whole numbers, are the first's (64 x 48 and 30 x 20 both
    // round to 2).
    struct Pair {
        const char* what;
        std::string make;     // writes OUT
        const char* has;      // what tiffinfo must find in the file
        const char* hasNot;   // and must not
        const Pnm* second;    // null: read as one page
    };
    const std::string tiffcp = "tiffcp " + q(pc) + " " + q(pt) + " OUT", unnumber = " && tiffset -d 1 -u 297 OUT";
    const Pair pairs[] = {
        {"numbered by tiffcp", tiffcp, "Page Number: 1-0", "Subfile Type", &thumb},
        {"marked and numbered by ImageMagick", "convert " + q(pc) + " " + q(pt) + " OUT",
         "Subfile Type: multi-page document (2 = 0x2)\n  Image Width: 30", nullptr, &thumb},
        {"marked as a page", tiffcp + unnumber + " && tiffset -d 1 -s 254 2 OUT", "multi-page document", "Page Number: 1",
         &thumb},
        {"marked reduced and numbered", tiffcp + " && tiffset -d 1 -s 254 1 OUT",
         "reduced-resolution image (1 = 0x1)\n  Image Width: 30", nullptr, nullptr},
        {"marked reduced, of another shape", "tiffcp " + q(pc) + " " + q(pb) + " OUT && tiffset -d 1 -s 254 1 OUT",
         "reduced-resolution image", nullptr, nullptr},
        {"unmarked, of the same proportions", tiffcp + unnumber, nullptr, "Page Number: 1", nullptr},
        {"unmarked, a quarter of the size", "tiffcp " + q(pa) + " " + q(pt) + " OUT" + unnumber, nullptr,
         "Page Number: 1", nullptr},
        {"unmarked, of other proportions", "tiffcp " + q(pa) + " " + q(pb) + " OUT" + unnumber, nullptr,
         "Page Number: 1", &bb},
    };
    for (const Pair& p : pairs) {
        const fs::path out = dir / "pair.tif";
        fs::remove(out);
        std::string make = p.make;
        for (size_t at; (at = make.find("OUT")) != std::string::npos;) make.replace(at, 3, q(out));
        ASSERT_EQ(run(make), 0) << p.what;
        const std::string info = runOutput("tiffinfo " + q(out) + " 2>&1");
        if (p.has) {
            ASSERT_NE(info.find(p.has), std::string::npos) << p.what << "\n" << info;
        }
        if (p.hasNot) {
            ASSERT_EQ(info.find(p.hasNot), std::string::npos) << p.what << "\n" << info;
        }
        img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << p.what;
        if (!p.second) {
            EXPECT_EQ(img->next(), nullptr) << p.what << " is a thumbnail";
            continue;
        }
        if (!img->next()) {
            ADD_FAILURE() << p.what << " is a page";
            continue;
        }
        expectPixels(img->next(), *p.second, p.what);
        EXPECT_EQ(img->next()->next(), nullptr) << p.what;
    }
}

// ---- hand-built files ----

namespace {

// A little-endian TIFF: header, pixel data at 8, then one directory.
struct TiffBuilder {
    std::vector<uint8_t> bytes{'I', 'I', 42, 0, 0, 0, 0, 0};
    struct Entry {
        uint16_t tag, type;
        uint32_t count, value;
    };
    std::vector<Entry> entries;

    uint32_t append(const std::vector<uint8_t>& data)
    {
        uint32_t at = uint32_t(bytes.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
        if (bytes.size() & 1) bytes.push_back(0);
        return at;
    }
    void tag(uint16_t t, uint16_t type, uint32_t count, uint32_t value) { entries.push_back({t, type, count, value}); }
    // Writes the directory; returns its offset.
    uint32_t finish(uint32_t next = 0)
    {
        uint32_t at = uint32_t(bytes.size());
        std::memcpy(&bytes[4], &at, 4);
        directory(entries, next);
        return at;
    }
    // Appends a further directory of these entries.
    void directory(const std::vector<Entry>& list, uint32_t next)
    {
        put16(uint16_t(list.size()));
        for (const Entry& e : list) {
            put16(e.tag), put16(e.type), put32(e.count);
            if (e.type == 3 && e.count == 1) put16(uint16_t(e.value)), put16(0);
            else put32(e.value);
        }
        put32(next);
    }
    // The bytes of a directory of n entries.
    static uint32_t directorySize(size_t n) { return uint32_t(2 + 12 * n + 4); }
    void put16(uint16_t v) { bytes.push_back(uint8_t(v)), bytes.push_back(uint8_t(v >> 8)); }
    void put32(uint32_t v) { put16(uint16_t(v)), put16(uint16_t(v >> 16)); }
};

// An 8 x 4 grey image in one strip, with the given data and compression.
TiffBuilder greyStrip(const std::vector<uint8_t>& data, uint32_t compression, uint32_t w = 8, uint32_t h = 4)
{
    TiffBuilder t;
    uint32_t at = t.append(data);
    t.tag(256, 3, 1, w);
    t.tag(257, 3, 1, h);
    t.tag(258, 3, 1, 8);
    t.tag(259, 3, 1, compression);
    t.tag(262, 3, 1, 1);
    t.tag(273, 4, 1, at);
    t.tag(277, 3, 1, 1);
    t.tag(278, 3, 1, h);
    t.tag(279, 4, 1, uint32_t(data.size()));
    return t;
}

std::vector<uint8_t> ramp(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 3);
    return v;
}

} // namespace

TEST(TiffHostile, HeadersAndDirectoriesEndWithTheirCode)
{
    setAllocationCap(uint64_t(256) << 20);
    ResultCode rc;
    TiffBuilder ok = greyStrip(ramp(32), 1);
    ok.finish();
    Ref<Image> img = tiffBytes(ok.bytes, &rc);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->rowBytesPtr(3)[7], uint8_t(31 * 7 + 3));

    // The probe and the header read the same eight bytes.
    std::vector<uint8_t> shortHeader = {'I', 'I', 42, 0, 8, 0};
    tiffBytes(shortHeader, &rc);
    EXPECT_EQ(rc, RC_UNKNOWN_FORMAT);
    std::vector<uint8_t> big = ok.bytes;
    big[2] = 43;
    Ref<MappedFile> bigFile = Ref<MappedFile>::adopt(memoryStreamCreate(big.data(), big.size(), "b.tif", false));
    EXPECT_EQ(tiffProbe(bigFile.get()), RC_UNSUPPORTED_SUBFORMAT);

    // A directory whose entries run past the end of the file.
    std::vector<uint8_t> cut = ok.bytes;
    cut.erase(cut.end() - 20, cut.end());
    tiffBytes(cut, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // A first directory past the end.
    std::vector<uint8_t> far = ok.bytes;
    far[4] = 0xF0, far[5] = 0xFF, far[6] = 0xFF, far[7] = 0x7F;
    tiffBytes(far, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);

    struct Case {
        const char* what;
        uint16_t tag, type;
        uint32_t count, value;
        ResultCode want;
    } cases[] = {
        {"zero tile width", 322, 3, 1, 0, RC_CORRUPT_FILE},
        {"width of two values", 256, 3, 2, 8, RC_CORRUPT_FILE},
        {"unknown compression", 259, 3, 1, 12345, RC_UNSUPPORTED_SUBFORMAT},
        {"photometric 7", 262, 3, 1, 7, RC_UNSUPPORTED_SUBFORMAT},
        {"three samples of 8 bits at an offset past the end", 258, 3, 3, 0xFFFFFF00, RC_CORRUPT_FILE},
        {"sample format 9", 339, 3, 1, 9, RC_UNSUPPORTED_SUBFORMAT},
        {"odd subsampling count", 530, 3, 1, 2, RC_CORRUPT_FILE},
    };
    for (const Case& c : cases) {
        TiffBuilder t = greyStrip(ramp(32), 1);
        t.tag(c.tag, c.type, c.count, c.value);
        if (c.tag == 322) t.tag(323, 3, 1, 16), t.tag(324, 4, 1, 8), t.tag(325, 4, 1, 32);
        t.finish();
        tiffBytes(t.bytes, &rc);
        EXPECT_EQ(rc, c.want) << c.what;
    }

    // Resolution with a zero denominator is dropped, not divided by.
    TiffBuilder res = greyStrip(ramp(32), 1);
    uint32_t rat = res.append({72, 0, 0, 0, 0, 0, 0, 0});
    res.tag(282, 5, 1, rat);
    res.tag(296, 3, 1, 2);
    res.finish();
    Ref<ImageReader> reader;
    img = tiffBytes(res.bytes, &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_FALSE(reader->info.has(INFO_DENSITY));
    setAllocationCap(0);
}

// Claims the data cannot meet, for pictures too large to make: the size is
// a lie, said as damage. Pictures whose data is all there stay too large.
TEST(TiffHostile, SizesTheDataCannotHoldAreDamageNotLackOfMemory)
{
    setAllocationCap(uint64_t(1) << 20);
    ResultCode rc;
    for (uint32_t c : {1u, 3u, 4u}) {
        // Stored rows for one row of 2000 x 2000; fax codes for 64 rows.
        TiffBuilder t = greyStrip(ramp(c == 1 ? 2000 : 8), c, 2000, 2000);
        if (c != 1) t.entries[2].value = 1;
        t.finish();
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE) << c;
        EXPECT_EQ(img.get(), nullptr) << c;
    }
    // Every stored row of a picture larger than the cap: too large; one row
    // short, damaged.
    TiffBuilder whole = greyStrip(std::vector<uint8_t>(size_t(1100) * 1000, 0x44), 1, 1100, 1000);
    whole.finish();
    tiffBytes(whole.bytes, &rc);
    EXPECT_EQ(rc, RC_OUT_OF_MEMORY);
    TiffBuilder cut = greyStrip(std::vector<uint8_t>(size_t(1100) * 999, 0x44), 1, 1100, 1000);
    cut.finish();
    tiffBytes(cut.bytes, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
}

TEST(TiffHostile, PageChainsThatLoopOrPointAwayEnd)
{
    ResultCode rc;
    // A directory whose next offset is itself, and one that points at a
    // directory of 3 entries: one page each.
    for (int variant = 0; variant < 2; ++variant) {
        TiffBuilder t = greyStrip(ramp(32), 1);
        uint32_t ifd = uint32_t(t.bytes.size());
        uint32_t next = variant == 0 ? ifd : ifd + 2 + 12 * 9 + 4;
        t.finish(next);
        if (variant == 1) t.put16(3), t.bytes.resize(t.bytes.size() + 40, 0);
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        ASSERT_EQ(rc, RC_OK) << variant;
        EXPECT_EQ(img->next(), nullptr) << variant;
    }
    // Two directories pointing at each other: two pages, then the loop ends.
    TiffBuilder a = greyStrip(ramp(32), 1, 8, 4);
    uint32_t first = uint32_t(a.bytes.size());
    uint32_t second = first + 2 + 12 * 9 + 4;
    a.finish(second);
    std::vector<TiffBuilder::Entry> entries = a.entries;
    for (auto& e : entries)
        if (e.tag == 256) e.value = 4;  // a different shape, so no thumbnail
    a.directory(entries, first);
    Ref<Image> img = tiffBytes(a.bytes, &rc);
    ASSERT_EQ(rc, RC_OK);
    ASSERT_NE(img->next(), nullptr);
    EXPECT_EQ(img->next()->next(), nullptr);
}

TEST(TiffHostile, DamagedSegmentsKeepTheirGoodRowsAndZeroTheRest)
{
    ResultCode rc;
    // Uncompressed strip cut after two and a half rows.
    {
        TiffBuilder t = greyStrip(ramp(32), 1);
        t.entries.back().value = 20;
        t.entries[5].value = 8;
        t.finish();
        // Make the strip claim 32 bytes but leave the file shorter by
        // moving the directory first: build by hand instead.
        std::vector<uint8_t> data = ramp(20);
        TiffBuilder s;
        s.tag(256, 3, 1, 8), s.tag(257, 3, 1, 4), s.tag(258, 3, 1, 8), s.tag(259, 3, 1, 1), s.tag(262, 3, 1, 1);
        s.tag(273, 4, 1, 8 + 2 + 12 * 9 + 4), s.tag(277, 3, 1, 1), s.tag(278, 3, 1, 4), s.tag(279, 4, 1, 32);
        s.finish();
        s.bytes.insert(s.bytes.end(), data.begin(), data.end());
        Ref<Image> img = tiffBytes(s.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE);
    }
    // LZW: a code above the next free entry stops the segment; the rows it
    // did not reach are zero.
    {
        // 9-bit codes: clear, 'A' (65), 300 (never defined), end.
        std::vector<uint8_t> lzw;
        uint64_t bits = 0;
        int n = 0;
        for (uint32_t code : {256u, 65u, 300u, 257u}) {
            bits = (bits << 9) | code;
            n += 9;
            while (n >= 8) lzw.push_back(uint8_t(bits >> (n - 8))), n -= 8;
        }
        lzw.push_back(uint8_t(bits << (8 - n)));
        uint8_t out[16];
        std::memset(out, 0xEE, sizeof out);
        TiffLzwResult r = tiffLzwDecode(out, lzw.data(), sizeof out, lzw.size());
        EXPECT_TRUE(r.damaged);
        EXPECT_EQ(r.produced, 1u);
        EXPECT_EQ(out[0], 65);
    }
    // PackBits: runs cut at both ends; 0x80 is skipped.
    {
        std::vector<uint8_t> pb = {0x80, 0x01, 'a', 'b', 0xFD, 'z', 0x7F, 'q'};
        TiffBuilder t = greyStrip(pb, 32773, 7, 1);
        t.finish();
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        EXPECT_EQ(rc, RC_OK);
        ASSERT_TRUE(img);
        const char want[] = "abzzzzq";
        EXPECT_EQ(std::memcmp(img->rowBytesPtr(0), want, 7), 0);
    }
    // An empty Deflate strip is a sparse one: zero rows, not a failure.
    {
        TiffBuilder t = greyStrip({}, 8);
        t.finish();
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        EXPECT_EQ(rc, RC_OK);
        ASSERT_TRUE(img);
        for (uint32_t y = 0; y < 4; ++y)
            for (uint32_t x = 0; x < 8; ++x) EXPECT_EQ(img->rowBytesPtr(y)[x], 0);
    }
    // Offsets at SHORT positions past the end, and more strips than offsets.
    {
        TiffBuilder t = greyStrip(ramp(32), 1, 8, 4);
        t.entries[5] = {273, 3, 1, 0xFFF0};
        t.entries[7].value = 2;  // two strips, one offset
        t.finish();
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE);
    }
}

TEST(TiffHostile, DataThatCannotFillTheSizeIsRefusedBeforeAnImageIsMade)
{
    // A few bytes of each bounded coding claiming a big picture: damaged,
    // refused before the memory cap (or the memory a blank picture of that
    // size would need) is reached.
    const uint64_t cap = allocationCap();
    setAllocationCap(uint64_t(1) << 20);
    const std::vector<uint8_t> packBits = {0x81, 0, 0x81, 0}, logRuns = {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0};
    uLongf zipSize = 64;
    std::vector<uint8_t> zip(zipSize), zeros(4000, 0);
    ASSERT_EQ(compress2(zip.data(), &zipSize, zeros.data(), uLong(zeros.size()), 9), Z_OK);
    zip.resize(zipSize);
    // 9-bit codes: clear, 0, end.
    const std::vector<uint8_t> lzw = {0x80, 0x00, 0x20, 0x10};
    ResultCode rc;
    for (uint32_t side : {2000u, 60000u}) {
        for (uint32_t c : {5u, 8u, 32773u, 34676u}) {
            TiffBuilder t = greyStrip(c == 5 ? lzw : c == 8 ? zip : c == 32773 ? packBits : logRuns, c, side, side);
            if (c == 34676) t.entries[2].value = 16, t.tag(339, 3, 1, 2);
            t.finish();
            Ref<Image> img = tiffBytes(t.bytes, &rc);
            EXPECT_EQ(rc, RC_CORRUPT_FILE) << c << " " << side;
            EXPECT_EQ(img.get(), nullptr) << c << " " << side;
        }
        // Nor do stored bytes that cannot fill even the first row.
        TiffBuilder stored = greyStrip(ramp(side / 2), 1, side, side);
        stored.finish();
        Ref<Image> img = tiffBytes(stored.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE) << side;
        EXPECT_EQ(img.get(), nullptr) << side;
        // Strips the file lists but does not hold fill nothing either.
        TiffBuilder missing = greyStrip(zip, 8, side, side);
        missing.entries[7].value = side / 100;
        missing.finish();
        tiffBytes(missing.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE) << side;
    }
    // As a second page, it ends the document, and the damage is reported.
    {
        TiffBuilder two = greyStrip(ramp(32), 1);
        const uint32_t lzwAt = two.append(lzw);
        const uint32_t second = uint32_t(two.bytes.size()) + 2 + 12 * 9 + 4;
        two.finish(second);
        std::vector<TiffBuilder::Entry> entries = two.entries;
        for (auto& e : entries) {
            if (e.tag == 256 || e.tag == 257 || e.tag == 278) e.value = 30000;
            if (e.tag == 259) e.value = 5;
            if (e.tag == 273) e.value = lzwAt;
            if (e.tag == 279) e.value = uint32_t(lzw.size());
        }
        two.directory(entries, 0);
        Ref<Image> img = tiffBytes(two.bytes, &rc);
        EXPECT_EQ(rc, RC_CORRUPT_FILE);
        ASSERT_TRUE(img);
        EXPECT_EQ(img->next(), nullptr);
        EXPECT_EQ(img->rowBytesPtr(3)[7], uint8_t(31 * 7 + 3));
    }
    // A JPEG strip whose Huffman-coded stream could not code the blocks of
    // the strip at two bits each: refused. Arithmetic coding can code blank
    // blocks in next to nothing: left to the decode (and the cap).
    {
        TempDir dir;
        registerAllFormats();
        Ref<Image> small = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(16, 16)));
        for (uint32_t y = 0; y < 16; ++y) std::memset(small->rowBytesPtr(y), int(y * 9), 16);
        const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"jpg"), true));
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(dir / "s.jpg", d));
        ASSERT_EQ(w->write(small.get(), nullptr, CF_GRAY8, 90, false, nullptr, nullptr), RC_OK);
        w = nullptr;
        std::vector<uint8_t> stream = readFile(dir / "s.jpg");
        for (uint8_t frame : {0xC0, 0xC9}) {
            for (size_t i = 2; i + 1 < stream.size(); ++i)
                if (stream[i] == 0xFF && (stream[i + 1] == 0xC0 || stream[i + 1] == 0xC9)) stream[i + 1] = frame;
            TiffBuilder t = greyStrip(stream, 7, 30000, 30000);
            t.finish();
            Ref<Image> img = tiffBytes(t.bytes, &rc);
            EXPECT_EQ(rc, frame == 0xC0 ? RC_CORRUPT_FILE : RC_OUT_OF_MEMORY) << int(frame);
            EXPECT_EQ(img.get(), nullptr) << int(frame);
        }
    }
    // Empty Deflate strips are sparse, blank by design; and data enough to
    // fill the size: both still reach the cap.
    TiffBuilder sparse = greyStrip({}, 8, 2000, 2000);
    sparse.finish();
    tiffBytes(sparse.bytes, &rc);
    EXPECT_EQ(rc, RC_OUT_OF_MEMORY);
    std::vector<uint8_t> blank(size_t(2000) * 2000, 0);
    uLongf fullSize = compressBound(uLong(blank.size()));
    std::vector<uint8_t> full(fullSize);
    ASSERT_EQ(compress2(full.data(), &fullSize, blank.data(), uLong(blank.size()), 9), Z_OK);
    full.resize(fullSize);
    TiffBuilder enough = greyStrip(full, 8, 2000, 2000);
    enough.finish();
    tiffBytes(enough.bytes, &rc);
    EXPECT_EQ(rc, RC_OUT_OF_MEMORY);
    setAllocationCap(cap);
}

// Files compressed as far as their coding goes are whole, and decode.
TEST_F(TiffFiles, BlankPicturesAtTheirCodingsGreatestExpansionDecode)
{
    Pnm blank;
    blank.width = blank.height = 2000, blank.channels = 1, blank.maxval = 255;
    blank.samples.assign(size_t(2000) * 2000, 0);
    const fs::path src = base("blank", blank, "");
    for (const char* c : {"lzw", "zip:p9", "packbits"}) {
        const fs::path out = dir / (std::string("blank-") + c + ".tif");
        ASSERT_EQ(run("tiffcp -c " + std::string(c) + " -r 2000 " + q(src) + " " + q(out)), 0) << c;
        ResultCode rc;
        Ref<Image> img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << c;
        expectPixels(img.get(), blank, c);
    }
}

TEST(TiffHostile, RowsPerStripOfTheDefaultIsTheHeight)
{
    ResultCode rc;
    TiffBuilder t = greyStrip(ramp(32), 1);
    t.entries[7].type = 4, t.entries[7].value = 0xFFFFFFFF;
    t.finish();
    Ref<Image> img = tiffBytes(t.bytes, &rc);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->rowBytesPtr(3)[0], uint8_t(24 * 7 + 3));
}

// ---- layouts made by libtiff itself through the test helper ----

namespace {

// The libtiff helper built beside the tests; a test that needs it requires
// it as it does any other tool, so that it never passes without it.
std::string sampleTool() { return std::string(QUILLON_TEST_TOOLS) + "/tiff_sample_tool"; }

// Writes `samples` (native order) through libtiff with the given layout.
bool libtiffWrite(const fs::path& out, const std::string& args, const void* samples, size_t bytes)
{
    fs::path raw = out;
    raw += ".raw";
    writeFile(raw, std::vector<uint8_t>(static_cast<const uint8_t*>(samples), static_cast<const uint8_t*>(samples) + bytes));
    return run(sampleTool() + " write " + shellQuote(out.string()) + " " + args + " < " + shellQuote(raw.string())) == 0;
}

} // namespace

TEST(TiffLibtiffLayouts, PlanarSixteenBitWithPredictorHalfFloatsAndLogLuv)
{
    QUILLON_REQUIRE_TOOL(sampleTool());
    TempDir dir;
    const uint32_t w = 45, h = 21;
    // 16-bit RGBA, separate planes with horizontal differencing: the
    // predictor runs per plane on whole samples, after the byte swap.
    std::vector<uint16_t> rgba(size_t(w) * h * 4);
    for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = uint16_t(i * 2654435761u >> 13);
    for (const char* order : {"l", "b"})
        for (const char* layout : {"5 4 16 1 2 2", "8 4 16 1 2 2", "5 4 16 1 1 2", "1 4 16 1 2 1"}) {
            std::string what = std::string(order) + " " + layout;
            fs::path out = dir / "p.tif";
            ASSERT_TRUE(libtiffWrite(out, std::string(order) + " " + layout + " 45 21", rgba.data(), rgba.size() * 2))
                << what;
            ResultCode rc;
            Ref<Image> img = tiffFile(out, &rc);
            ASSERT_EQ(rc, RC_OK) << what;
            ASSERT_EQ(img->pixelFormat, PF_RGBA16) << what;
            int bad = 0;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const Rgba16& p = img->row<Rgba16>(y)[x];
                    const uint16_t* s = &rgba[(size_t(y) * w + x) * 4];
                    if ((p.r != s[0] || p.g != s[1] || p.b != s[2] || p.a != s[3]) && ++bad < 4)
                        ADD_FAILURE() << what << " at " << x << "," << y;
                }
        }

    // Half floats, grey, with a NaN kept as NaN.
    std::vector<uint16_t> half(size_t(w) * h);
    for (size_t i = 0; i < half.size(); ++i) half[i] = uint16_t(0x3000 + (i * 37) % 0x0C00);
    half[5] = 0x7E00;
    half[6] = 0x0001;  // the smallest subnormal
    for (const char* order : {"l", "b"}) {
        fs::path out = dir / "h.tif";
        ASSERT_TRUE(libtiffWrite(out, std::string(order) + " 1 1 16 3 1 1 45 21", half.data(), half.size() * 2));
        ResultCode rc;
        Ref<Image> img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(img->pixelFormat, PF_GRAY_FLOAT);
        EXPECT_TRUE(std::isnan(img->row<float>(0)[5]));
        // 0x3000 is 0.125 before the decode's sRGB curve.
        EXPECT_NEAR(img->row<float>(0)[0], srgbEncode(0.125f), 1e-6);
        EXPECT_NEAR(img->row<float>(0)[6], srgbEncode(std::ldexp(1.0f, -24)), 1e-9);
    }

    // SGI LogLuv written by libtiff from X, Y, Z: ours through the matrix.
    std::vector<float> xyz(size_t(w) * h * 3);
    for (uint32_t i = 0; i < w * h; ++i) {
        float Y = 0.02f + 0.9f * float(i % w) / w;
        xyz[3 * i] = Y * (0.8f + 0.4f * float(i / w) / h);
        xyz[3 * i + 1] = Y;
        xyz[3 * i + 2] = Y * 0.9f;
    }
    fs::path luv = dir / "luv.tif";
    ASSERT_TRUE(libtiffWrite(luv, "l 34676 3 16 1 1 1 45 21", xyz.data(), xyz.size() * 4));
    ResultCode rc;
    Ref<Image> img = tiffFile(luv, &rc);
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT);
    int bad = 0;
    for (uint32_t i = 0; i < w * h; ++i) {
        double X = xyz[3 * i], Y = xyz[3 * i + 1], Z = xyz[3 * i + 2];
        double want[3] = {2.690 * X - 1.276 * Y - 0.414 * Z, -1.022 * X + 1.978 * Y + 0.044 * Z,
                          0.061 * X - 0.224 * Y + 1.163 * Z};
        const RgbaF& p = img->row<RgbaF>(i / w)[i % w];
        double got[3] = {srgbDecode(p.r), srgbDecode(p.g), srgbDecode(p.b)};
        for (int c = 0; c < 3; ++c)
            if (std::fabs(got[c] - want[c]) > 0.02 * (X + Y + Z) && ++bad < 4)
                ADD_FAILURE() << "LogLuv pixel " << i << " channel " << c << ": " << got[c] << " vs " << want[c];
    }
}

TEST(TiffLibtiffLayouts, LogLuv24MatchesLibtiffsOwnDecode)
{
    QUILLON_REQUIRE_TOOL(sampleTool());
    // X, Y, Z over the whole 10-bit luminance range (and beyond it at both
    // ends) and across the gamut, so that every part of the uv table is hit.
    const uint32_t w = 64, h = 19;
    std::vector<float> xyz(size_t(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            float* p = &xyz[(size_t(y) * w + x) * 3];
            const float Y = std::ldexp(1.0f, int(x) / 4 - 13) * (1.0f + 0.01f * float(x % 4));
            // Chromaticity (x, y) anywhere between the red, green and blue
            // primaries (inside the spectral locus, where the encoding is
            // faithful).
            const double a = double(y) / (h - 1), b = double((x * 7 + y * 3) % 23) / 22 * (1 - a);
            const double cx = 0.64 * a + 0.30 * b + 0.15 * (1 - a - b);
            const double cy = 0.33 * a + 0.60 * b + 0.06 * (1 - a - b);
            p[0] = float(cx / cy * Y);
            p[1] = Y;
            p[2] = float((1 - cx - cy) / cy * Y);
        }
    xyz[0] = xyz[1] = xyz[2] = 0.0f;  // black
    TempDir dir;
    fs::path f = dir / "l24.tif";
    ASSERT_TRUE(libtiffWrite(f, "l 34677 3 16 1 1 1 64 19", xyz.data(), xyz.size() * 4));
    ASSERT_EQ(run(sampleTool() + " read " + q(f) + " > " + q(dir / "l24.raw")), 0);
    std::vector<uint8_t> theirsRaw = readFile(dir / "l24.raw");
    ASSERT_EQ(theirsRaw.size(), xyz.size() * 4);
    std::vector<float> theirs(xyz.size());
    std::memcpy(theirs.data(), theirsRaw.data(), theirsRaw.size());

    ResultCode rc;
    Ref<ImageReader> reader;
    Ref<Image> img = tiffFile(f, &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_COMPRESSION)), u"SGI LogLuv 24");
    auto rgb = [](const float* v, double* out) {
        out[0] = 2.690 * v[0] - 1.276 * v[1] - 0.414 * v[2];
        out[1] = -1.022 * v[0] + 1.978 * v[1] + 0.044 * v[2];
        out[2] = 0.061 * v[0] - 0.224 * v[1] + 1.163 * v[2];
    };
    int bad = 0, loose = 0;
    double worstLuma = 0;
    for (uint32_t i = 0; i < w * h; ++i) {
        const RgbaF& p = img->row<RgbaF>(i / w)[i % w];
        const double got[3] = {srgbDecode(p.r), srgbDecode(p.g), srgbDecode(p.b)};
        double want[3], orig[3];
        rgb(&theirs[3 * i], want);
        rgb(&xyz[3 * i], orig);
        const double scale = theirs[3 * i] + theirs[3 * i + 1] + theirs[3 * i + 2];
        for (int c = 0; c < 3; ++c)
            if (std::fabs(got[c] - want[c]) > 2e-4 * scale + 1e-7 && ++bad < 6)
                ADD_FAILURE() << "pixel " << i << " channel " << c << ": " << got[c] << ", libtiff " << want[c];
        EXPECT_EQ(p.a, 1.0f);
        // Against the values written: luminance within one 10-bit step
        // (2^(1/64), dithered) where it is in range, colour within a few
        // uv cells.
        const double Yin = xyz[3 * i + 1];
        if (Yin < 0.0003 || Yin > 15.0) continue;
        const double Yout = theirs[3 * i + 1];
        worstLuma = std::max(worstLuma, std::fabs(std::log2(Yout / Yin)));
        const double origScale = xyz[3 * i] + xyz[3 * i + 1] + xyz[3 * i + 2];
        for (int c = 0; c < 3; ++c)
            if (std::fabs(got[c] - orig[c]) > 0.05 * origScale && ++loose < 6)
                ADD_FAILURE() << "pixel " << i << " channel " << c << ": " << got[c] << ", written " << orig[c];
    }
    EXPECT_LE(worstLuma, 1.0 / 64 + 1e-4);
    EXPECT_EQ(img->row<RgbaF>(0)[0].g, 0.0f) << "zero luminance is black";
}

namespace {

// A side x side LogLuv file (compression 34676 or 34677) of three samples a
// pixel, its data in one strip.
std::vector<uint8_t> logLuvStrip(uint32_t side, uint32_t compression, const std::vector<uint8_t>& data)
{
    TiffBuilder t;
    uint32_t at = t.append(data);
    uint32_t bits = t.append({16, 0, 16, 0, 16, 0});
    t.tag(256, 3, 1, side), t.tag(257, 3, 1, side), t.tag(258, 3, 3, bits), t.tag(259, 3, 1, compression);
    t.tag(262, 3, 1, 32845), t.tag(273, 4, 1, at), t.tag(277, 3, 1, 3), t.tag(279, 4, 1, uint32_t(data.size()));
    t.finish();
    return t.bytes;
}

} // namespace

TEST(TiffHostile, LogLuv24OutsideTheTableIsNeutralAndShortStripsAreCut)
{
    // 2 x 2 pixels: luminance index 768 (Y just above 1) with the last uv
    // cell and with a cell past the table; the second row is missing.
    const std::vector<uint8_t> data = {0xC0, 0x3F, 0xA0, 0xC0, 0x3F, 0xFF};
    ResultCode rc;
    Ref<Image> img = tiffBytes(logLuvStrip(2, 34677, data), &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(img);
    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT);
    const float Y = std::exp2(768.5f / 64 - 12);
    // The neutral point has x = y = 1/3, which the matrix takes to equal R, G and B.
    const RgbaF& n = img->row<RgbaF>(0)[1];
    EXPECT_NEAR(srgbDecode(n.r), Y, 2e-3);
    EXPECT_NEAR(srgbDecode(n.g), Y, 2e-3);
    EXPECT_NEAR(srgbDecode(n.b), Y, 2e-3);
    // Cell 0x3FA0 = 16288 is the table's last: a spectral green (u' about
    // 0.095, v' about 0.586), so green leads and red goes negative.
    const RgbaF& c = img->row<RgbaF>(0)[0];
    EXPECT_GT(c.g, c.b);
    EXPECT_LT(srgbDecode(c.r), 0.0f);
    for (uint32_t x = 0; x < 2; ++x) {
        const RgbaF& z = img->row<RgbaF>(1)[x];
        EXPECT_TRUE(z.r == 0 && z.g == 0 && z.b == 0) << "the missing row is zeroed";
    }
}

// ---- old-style JPEG: a whole JFIF stream named by JPEGInterchangeFormat ----

namespace {

// A TIFF around a complete JPEG stream, as old writers laid it out: the
// interchange-format tags give the stream, the strip offset points at its
// scan data. `length` and `offset` may lie; 0 keeps the true ones.
std::vector<uint8_t> oldJpegTiff(const std::vector<uint8_t>& jpg, uint32_t w, uint32_t h, uint32_t spp,
                                 uint32_t photometric, uint32_t length = 0, uint32_t offset = 0,
                                 bool samplesTag = true)
{
    TiffBuilder t;
    const uint32_t at = t.append(jpg);
    const uint32_t bits = t.append({8, 0, 8, 0, 8, 0});
    uint32_t scan = 0;
    for (size_t i = 2; i + 4 <= jpg.size() && jpg[i] == 0xFF; i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]))
        if (jpg[i + 1] == 0xDA) scan = uint32_t(i + 2 + ((jpg[i + 2] << 8) | jpg[i + 3]));
    t.tag(256, 3, 1, w), t.tag(257, 3, 1, h), t.tag(258, 3, spp, spp == 1 ? 8 : bits), t.tag(259, 3, 1, 6);
    t.tag(262, 3, 1, photometric), t.tag(273, 4, 1, at + scan);
    if (samplesTag) t.tag(277, 3, 1, spp);
    t.tag(278, 4, 1, h);
    t.tag(279, 4, 1, uint32_t(jpg.size()) - scan), t.tag(512, 3, 1, 1);
    t.tag(513, 4, 1, offset ? offset : at), t.tag(514, 4, 1, length ? length : uint32_t(jpg.size()));
    if (spp == 3) t.tag(530, 3, 2, 0x00020002u);
    t.finish();
    return t.bytes;
}

} // namespace

TEST_F(TiffFiles, OldStyleJpegMatchesDjpegsDecodeOfTheStream)
{
    QUILLON_REQUIRE_TOOL("cjpeg");
    QUILLON_REQUIRE_TOOL("djpeg");
    struct Case {
        uint32_t w, h, channels, photometric;
        const char* cjpeg;
    };
    const Case cases[] = {
        {300, 200, 3, 6, "-quality 90"},          // YCbCr 2x2, the usual form
        {37, 23, 3, 2, "-quality 85 -sample 1x1"},  // edges inside a block, RGB photometric
        {61, 45, 1, 1, "-quality 90 -grayscale"},
    };
    for (const Case& c : cases) {
        const std::string what = std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.cjpeg;
        Pnm p = pattern(c.w, c.h, c.channels, 255, 3);
        fs::path src = dir / (c.channels == 1 ? "o.pgm" : "o.ppm"), jpg = dir / "o.jpg";
        ASSERT_TRUE(writePnm(src, p));
        ASSERT_EQ(run(std::string("cjpeg ") + c.cjpeg + " -outfile " + q(jpg) + " " + q(src)), 0) << what;
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("djpeg -pnm IN", jpg, oracle)) << what;
        const std::vector<uint8_t> stream = readFile(jpg);

        ResultCode rc;
        Ref<ImageReader> reader;
        Ref<Image> img = tiffBytes(oldJpegTiff(stream, c.w, c.h, c.channels, c.photometric), &rc, &reader);
        ASSERT_EQ(rc, RC_OK) << what;
        ASSERT_EQ(img->pixelFormat, c.channels == 1 ? PF_GRAY8 : PF_RGBA8) << what;
        EXPECT_EQ(std::u16string(reader->info.get(INFO_COMPRESSION)), u"JPEG") << what;
        expectPixels(img.get(), oracle, what, 8, 1.0);

        // A length running past the end of the file is cut there.
        img = tiffBytes(oldJpegTiff(stream, c.w, c.h, c.channels, c.photometric, 0xFFFFFF00u), &rc);
        ASSERT_EQ(rc, RC_OK) << what << ", long length";
        expectPixels(img.get(), oracle, what + ", long length", 8, 1.0);
    }
}

TEST_F(TiffFiles, OldStyleJpegThatLiesEndsWithItsCode)
{
    QUILLON_REQUIRE_TOOL("cjpeg");
    const uint32_t w = 64, h = 48;
    Pnm p = pattern(w, h, 3, 255, 0);  // noisy: the scan is most of the stream
    fs::path src = dir / "l.ppm", jpg = dir / "l.jpg";
    ASSERT_TRUE(writePnm(src, p));
    ASSERT_EQ(run("cjpeg -quality 90 -outfile " + q(jpg) + " " + q(src)), 0);
    const std::vector<uint8_t> stream = readFile(jpg);
    ResultCode rc;
    Ref<Image> whole = tiffBytes(oldJpegTiff(stream, w, h, 3, 6), &rc);
    ASSERT_EQ(rc, RC_OK);
    auto sameRows = [&](const Image* img, uint32_t from, uint32_t to, uint32_t cols) {
        for (uint32_t y = from; y < to; ++y)
            if (std::memcmp(img->rowBytesPtr(y), whole->rowBytesPtr(y), size_t(cols) * 4) != 0) return false;
        return true;
    };
    auto zeroRows = [](const Image* img, uint32_t from) {
        for (uint32_t y = from; y < img->height; ++y)
            for (uint32_t x = 0; x < img->width * 4; ++x)
                if (img->rowBytesPtr(y)[x] != 0) return false;
        return true;
    };

    // The stream's offset past the end of the file, or missing.
    const uint32_t fileSize = uint32_t(oldJpegTiff(stream, w, h, 3, 6).size());
    EXPECT_EQ(tiffBytes(oldJpegTiff(stream, w, h, 3, 6, 0, fileSize), &rc).get(), nullptr);
    EXPECT_EQ(rc, RC_CORRUPT_FILE) << "offset at the end";
    tiffBytes(oldJpegTiff(stream, w, h, 3, 6, 0, 0x7FFFFFF0u), &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE) << "offset far past the end";
    // Without the offset, the stream is spread over its strips and table
    // tags, as old writers could also lay it out: a variant we do not read.
    std::vector<uint8_t> spread = oldJpegTiff(stream, w, h, 3, 6);
    const size_t offsetTag = tagField(spread, 513);
    ASSERT_NE(offsetTag, 0u);
    spread[offsetTag - 8] = 0xE8, spread[offsetTag - 7] = 0xFD;  // tag 65000, which nobody reads
    tiffBytes(spread, &rc);
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT) << "no offset";

    // A length that stops halfway through the scan: the rows before the cut stay.
    Ref<Image> img = tiffBytes(oldJpegTiff(stream, w, h, 3, 6, uint32_t(stream.size() / 2)), &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE) << "short length";
    ASSERT_TRUE(img);
    EXPECT_TRUE(sameRows(img.get(), 0, 8, w)) << "short length";
    EXPECT_FALSE(sameRows(img.get(), h - 8, h, w)) << "short length";

    // The offset pointing at something that is not JPEG: nothing is decoded.
    img = tiffBytes(oldJpegTiff(stream, w, h, 3, 6, 0, 8 + 2), &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE) << "offset inside the stream";
    ASSERT_TRUE(img);
    EXPECT_TRUE(zeroRows(img.get(), 0));

    // A directory taller and wider than the stream: its picture and zeros.
    img = tiffBytes(oldJpegTiff(stream, w + 40, h + 30, 3, 6), &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE) << "taller directory";
    ASSERT_TRUE(img);
    EXPECT_TRUE(sameRows(img.get(), 0, h, w)) << "taller directory";
    EXPECT_TRUE(zeroRows(img.get(), h)) << "taller directory";

    // A directory smaller than the stream: its top left corner.
    img = tiffBytes(oldJpegTiff(stream, 21, 13, 3, 6), &rc);
    EXPECT_EQ(rc, RC_OK) << "smaller directory";
    ASSERT_TRUE(img);
    EXPECT_TRUE(sameRows(img.get(), 0, 13, 21)) << "smaller directory";

    // A grey directory around a colour stream becomes grey.
    img = tiffBytes(oldJpegTiff(stream, w, h, 1, 1), &rc);
    EXPECT_EQ(rc, RC_OK) << "grey directory";
    ASSERT_TRUE(img);
    EXPECT_EQ(img->pixelFormat, PF_GRAY8);
}

TEST(TiffHostile, SubsampledYCbCrEdgeBlocksAreClipped)
{
    // 5 x 3 pixels in 2 x 2 blocks: three blocks across, two block rows,
    // the right column and bottom row of blocks half outside the image.
    std::vector<uint8_t> data;
    for (int block = 0; block < 6; ++block) {
        for (int i = 0; i < 4; ++i) data.push_back(uint8_t(40 * block + 10 * i));
        data.push_back(uint8_t(100 + block)), data.push_back(uint8_t(150 - block));
    }
    for (uint32_t sampling : {0x00020002u, 0x00020003u}) {
        TiffBuilder t;
        uint32_t at = t.append(data);
        uint32_t bits = t.append({8, 0, 8, 0, 8, 0});
        t.tag(256, 3, 1, 5), t.tag(257, 3, 1, 3), t.tag(258, 3, 3, bits), t.tag(259, 3, 1, 1), t.tag(262, 3, 1, 6);
        t.tag(273, 4, 1, at), t.tag(277, 3, 1, 3), t.tag(278, 3, 1, 3), t.tag(279, 4, 1, uint32_t(data.size()));
        t.tag(530, 3, 2, sampling);
        t.finish();
        ResultCode rc;
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        if (sampling != 0x00020002u) {
            EXPECT_EQ(rc, RC_CORRUPT_FILE) << "vertical factor 3";
            continue;
        }
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(img->pixelFormat, PF_RGBA8);
        for (uint32_t y = 0; y < 3; ++y)
            for (uint32_t x = 0; x < 5; ++x) {
                uint32_t block = (y / 2) * 3 + x / 2, i = (y % 2) * 2 + x % 2;
                uint8_t want[4] = {uint8_t(40 * block + 10 * i), uint8_t(100 + block), uint8_t(150 - block), 255};
                ycbcrToRgbRow(want, 1);
                EXPECT_EQ(std::memcmp(img->rowBytesPtr(y) + 4 * x, want, 4), 0) << x << "," << y;
            }
    }
}

TEST(TiffHostile, LogLuvWithAZeroChromaticityStaysFinite)
{
    // One pixel: luminance 0x4000 (Y = 1), u of 90 cells, v of 0.
    const std::vector<uint8_t> rle = {1, 0x40, 1, 0x00, 1, 90, 1, 0};
    ResultCode rc;
    Ref<Image> img = tiffBytes(logLuvStrip(1, 34676, rle), &rc);
    ASSERT_EQ(rc, RC_OK);
    const RgbaF& p = img->row<RgbaF>(0)[0];
    EXPECT_TRUE(std::isfinite(p.r) && std::isfinite(p.g) && std::isfinite(p.b));
}

TEST(TiffHostile, CutFilesEndWithTheirCodeAndKeepTheRowsBeforeTheCut)
{
    // Directory first, then one LZW strip (as our writer lays files out).
    TempDir dir;
    Ref<Image> src = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(64, 64)));
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) src->rowBytesPtr(y)[x] = uint8_t(x * 3 + y * y);
    registerAllFormats();
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"tiff"), true));
    {
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(dir / "c.tiff", d));
        ASSERT_EQ(w->write(src.get(), u"LZW compressed", CF_GRAY8, 0, false, nullptr, nullptr), RC_OK);
    }
    std::vector<uint8_t> whole = readFile(dir / "c.tiff");
    ResultCode rc;
    Ref<Image> full = tiffBytes(whole, &rc);
    ASSERT_EQ(rc, RC_OK);
    const size_t strip = loadU32le(&whole[8 + 2 + 12 * 5 + 8]);
    for (size_t n = 0; n < whole.size(); n += n < strip + 8 ? 1 : 97) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + ptrdiff_t(n));
        Ref<Image> img = tiffBytes(cut, &rc);
        if (n < 8) {
            EXPECT_EQ(rc, RC_UNKNOWN_FORMAT) << n;
            continue;
        }
        ASSERT_EQ(rc, RC_CORRUPT_FILE) << n;
        if (n <= strip || !img) continue;
        // Every row is either the whole file's or zero, and the good ones
        // come first.
        bool zeros = false;
        for (uint32_t y = 0; y < 64; ++y) {
            const uint8_t* row = img->rowBytesPtr(y);
            bool same = std::memcmp(row, full->rowBytesPtr(y), 64) == 0;
            bool zero = std::all_of(row, row + 64, [](uint8_t v) { return v == 0; });
            ASSERT_TRUE(same || zero) << "cut at " << n << ", row " << y;
            if (!same) zeros = true;
            ASSERT_FALSE(zeros && !zero) << "cut at " << n << ", row " << y;
        }
    }
}

TEST(TiffHostile, CutJpegStripKeepsItsFirstRows)
{
    TempDir dir;
    Ref<Image> src = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(64, 64)));
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 64; ++x) src->row<Rgba8>(y)[x] = {uint8_t(x * 4), uint8_t(y * 4), uint8_t(x + y), 255};
    registerAllFormats();
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"tiff"), true));
    {
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(dir / "j.tiff", d));
        ASSERT_EQ(w->write(src.get(), u"JPEG, by Quality:", CF_RGB24, 90, false, nullptr, nullptr), RC_OK);
    }
    std::vector<uint8_t> whole = readFile(dir / "j.tiff");
    ResultCode rc;
    Ref<Image> full = tiffBytes(whole, &rc);
    ASSERT_EQ(rc, RC_OK);
    std::vector<uint8_t> cut(whole.begin(), whole.end() - ptrdiff_t(whole.size() / 4));
    Ref<Image> img = tiffBytes(cut, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(img);
    EXPECT_EQ(std::memcmp(img->rowBytesPtr(0), full->rowBytesPtr(0), 64 * 4), 0);
}

TEST_F(TiffFiles, TextTagsAndOrientationSetByTiffsetAndExiftool)
{
    QUILLON_REQUIRE_TOOL("tiffset");
    QUILLON_REQUIRE_TOOL("exiftool");
    fs::path f = base("meta", pattern(20, 10, 3, 255, 0), "-depth 8");
    ASSERT_EQ(run("tiffset -s 270 'A quiet harbour   ' " + q(f)), 0);
    ASSERT_EQ(run("tiffset -s 274 6 " + q(f)), 0);
    ASSERT_EQ(run("exiftool -q -overwrite_original -Artist='Kari' -Copyright='(c) 2026' -Make=Acme " + q(f)), 0);
    ResultCode rc;
    Ref<ImageReader> reader;
    Ref<Image> img = tiffFile(f, &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_COMMENTS)), u"A quiet harbour");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_ORIENTATION)), u"Rotated 270");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_AUTHOR)), u"Kari");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_COPYRIGHT)), u"(c) 2026");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_CAMERA_MAKE)), u"Acme");
    EXPECT_EQ(std::u16string(reader->info.get(INFO_COMPRESSION)), u"None");
}

TEST(TiffHostile, BigEndianFloatPredictionIsNotSwappedTwice)
{
    // 3 x 2 float RGB, big-endian file, Deflate with the floating-point
    // predictor: byte planes (most significant first) differenced per row.
    const uint32_t w = 3, h = 2, spp = 3;
    std::vector<float> values;
    for (uint32_t i = 0; i < w * h * spp; ++i) values.push_back(0.05f * float(i) + 0.01f);
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; ++y) {
        const size_t n = w * spp;
        std::vector<uint8_t> planes(n * 4);
        for (size_t s = 0; s < n; ++s) {
            uint32_t bits;
            std::memcpy(&bits, &values[y * n + s], 4);
            for (int b = 0; b < 4; ++b) planes[size_t(b) * n + s] = uint8_t(bits >> (24 - 8 * b));
        }
        for (size_t i = planes.size(); i-- > spp;) planes[i] = uint8_t(planes[i] - planes[i - spp]);
        raw.insert(raw.end(), planes.begin(), planes.end());
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    ASSERT_EQ(compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 6), Z_OK);
    packed.resize(packedSize);

    std::vector<uint8_t> f = {'M', 'M', 0, 42};
    const uint32_t dataAt = 8, bitsAt = dataAt + uint32_t(packed.size() + 1) / 2 * 2, formatAt = bitsAt + 6;
    const uint32_t ifd = formatAt + 6;
    be32(f, ifd);
    f.insert(f.end(), packed.begin(), packed.end());
    f.resize(bitsAt, 0);
    for (int i = 0; i < 3; ++i) be16(f, 32);
    for (int i = 0; i < 3; ++i) be16(f, 3);
    const uint16_t tags[][4] = {{256, 3, 1, w}, {257, 3, 1, h}, {258, 3, 3, 0}, {259, 3, 1, 8}, {262, 3, 1, 2},
                                {273, 4, 1, 0}, {277, 3, 1, spp}, {278, 3, 1, h}, {279, 4, 1, 0}, {317, 3, 1, 3},
                                {339, 3, 3, 0}};
    be16(f, uint16_t(std::size(tags)));
    for (const auto& t : tags) {
        be16(f, t[0]), be16(f, t[1]), be32(f, t[2]);
        uint32_t v = t[0] == 258 ? bitsAt : t[0] == 339 ? formatAt : t[0] == 273 ? dataAt
                     : t[0] == 279 ? uint32_t(packed.size()) : t[3];
        if (t[1] == 3 && t[2] == 1) be16(f, uint16_t(v)), be16(f, 0);
        else be32(f, v);
    }
    be32(f, 0);
    ResultCode rc;
    Ref<Image> img = tiffBytes(f, &rc);
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const RgbaF& p = img->row<RgbaF>(y)[x];
            const float* v = &values[(y * w + x) * spp];
            EXPECT_NEAR(p.r, srgbEncode(v[0]), 1e-6) << x << "," << y;
            EXPECT_NEAR(p.g, srgbEncode(v[1]), 1e-6) << x << "," << y;
            EXPECT_NEAR(p.b, srgbEncode(v[2]), 1e-6) << x << "," << y;
        }
}

// ---- files as other tools write them ----

namespace {

// libtiff's own decode of a file, through tiff2rgba, as 8-bit RGB.
bool libtiffRgb(const fs::path& file, Pnm& out)
{
    fs::path rgba = file;
    rgba += ".rgba.tif";
    return run("tiff2rgba -n " + q(file) + " " + q(rgba) + " 2>/dev/null") == 0 &&
           oracleDecode("tifftopnm IN", rgba, out);
}

} // namespace

TEST_F(TiffFiles, FillOrderTwoReversesTheBitsOfEveryCodingButJpeg)
{
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    QUILLON_REQUIRE_TOOL(sampleTool());
    struct Kind {
        const char* name;
        Pnm picture;
        const char* imOptions;
    };
    const Kind kinds[] = {
        {"grey2", pattern(70, 30, 1, 3, 0), "-depth 2"},
        {"grey4", pattern(70, 30, 1, 15, 0), "-depth 4"},
        {"grey16", pattern(70, 30, 1, 65535, 0), "-depth 16"},
        {"rgb8", pattern(70, 30, 3, 255, 0), "-depth 8"},
    };
    for (const Kind& k : kinds) {
        const fs::path b = base(k.name, k.picture, k.imOptions);
        for (const char* comp : {"none", "lzw", "zip", "packbits"}) {
            const std::string what = std::string(k.name) + " " + comp;
            const fs::path out = dir / "f.tif";
            ASSERT_EQ(run("tiffcp -f lsb2msb -r 8 -c " + std::string(comp) + " " + q(b) + " " + q(out)), 0) << what;
            ASSERT_NE(runOutput("tiffinfo " + q(out)).find("FillOrder: lsb-to-msb"), std::string::npos) << what;
            ResultCode rc;
            Ref<Image> img = tiffFile(out, &rc);
            ASSERT_EQ(rc, RC_OK) << what;
            expectPixels(img.get(), k.picture, what);
        }
    }
    // libtiff leaves JPEG streams as they are, whatever the fill order.
    const Pnm photo = pattern(70, 30, 3, 255, 3);
    const fs::path jpeg = dir / "fj.tif";
    ASSERT_EQ(run("tiffcp -f lsb2msb -c jpeg:90 " + q(base("photo", photo, "-depth 8")) + " " + q(jpeg)), 0);
    Pnm oracle;
    ASSERT_TRUE(libtiffRgb(jpeg, oracle));
    ResultCode rc;
    Ref<Image> img = tiffFile(jpeg, &rc);
    ASSERT_EQ(rc, RC_OK);
    expectPixels(img.get(), oracle, "jpeg", 8, 1.0);

    // SGI LogLuv too: libtiff reverses its coded bytes as well.
    std::vector<float> xyz(size_t(20) * 9 * 3);
    for (size_t i = 0; i < xyz.size(); ++i) xyz[i] = 0.05f + 0.9f * float(i % 17) / 17;
    for (const char* layout : {"l 34676 1 16 1 1 1 20 9", "l 34676 3 16 1 1 1 20 9"}) {
        const fs::path msb = dir / "luv.tif", lsb = dir / "luv-lsb.tif";
        ASSERT_TRUE(libtiffWrite(msb, layout, xyz.data(), xyz.size() * 4));
        ASSERT_EQ(run("tiffcp -f lsb2msb " + q(msb) + " " + q(lsb)), 0);
        ASSERT_EQ(runOutput(sampleTool() + " read " + q(msb)), runOutput(sampleTool() + " read " + q(lsb)));
        Ref<Image> want = tiffFile(msb, &rc);
        ASSERT_EQ(rc, RC_OK) << layout;
        Ref<Image> got = tiffFile(lsb, &rc);
        ASSERT_EQ(rc, RC_OK) << layout;
        const size_t rowBytes = size_t(want->width) * want->bytesPerPixel();
        for (uint32_t y = 0; y < want->height; ++y)
            ASSERT_EQ(std::memcmp(got->rowBytesPtr(y), want->rowBytesPtr(y), rowBytes), 0) << layout << " row " << y;
    }
}

namespace {

// A min-is-white bilevel TIFF of the picture `convert` makes from `args`,
// and that picture as ImageMagick reads it.
fs::path bilevelTiff(const fs::path& dir, const std::string& name, const std::string& args, Pnm& picture)
{
    const fs::path pbm = dir / (name + ".pbm"), tif = dir / (name + ".tif");
    EXPECT_EQ(run("convert " + args + " -monochrome " + q(pbm) + " && pnmtotiff -miniswhite " + q(pbm) + " > " +
                  q(tif) + " 2>/dev/null"),
              0)
        << name;
    EXPECT_TRUE(oracleDecode("convert", pbm, picture)) << name;
    return tif;
}

} // namespace

// Bilevel pictures as dense as fax coding gets: a one-pixel checkerboard
// codes to about 3 bits a pixel in Group 4 and 4.5 in one-dimensional
// Group 3 (5.75 with fill bits at 16 pixels across), dithered noise close
// to that. Every strip decodes whole, in either fill order, as libtiff
// decodes it.
TEST_F(TiffFiles, DenseFaxStripsDecodeWholeInEveryCodingAndFillOrder)
{
    QUILLON_REQUIRE_TOOL("pnmtotiff");
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    struct Kind {
        const char* name;
        std::string args;
    };
    const Kind kinds[] = {
        {"checker63", "-size 63x32 pattern:gray50"},
        {"checker16", "-size 16x16 pattern:gray50"},
        {"noise", "-size 100x40 xc:gray50 -seed 7 +noise Random -colorspace gray -threshold 50%"},
        // libtiff 4.5 itself runs out of room for the 65 runs of this one's
        // one-dimensional rows; its picture is the oracle.
        {"checker64", "-size 64x32 pattern:gray50"},
    };
    for (const Kind& k : kinds) {
        Pnm picture;
        const fs::path src = bilevelTiff(dir.path(), k.name, k.args, picture);
        for (const char* coding : {"g3", "g3:2d", "g3:fill", "g4"})
            for (const char* fill : {"msb2lsb", "lsb2msb"}) {
                const std::string what = std::string(k.name) + " " + coding + " " + fill;
                const fs::path out = dir / "dense.tif";
                ASSERT_EQ(run("tiffcp -c " + std::string(coding) + " -f " + fill + " " + q(src) + " " + q(out)), 0)
                    << what;
                ResultCode rc;
                Ref<Image> img = tiffFile(out, &rc);
                ASSERT_EQ(rc, RC_OK) << what;
                Pnm oracle;
                if (std::string(k.name) == "checker64") oracle = picture;
                else ASSERT_TRUE(libtiffRgb(out, oracle)) << what;
                expectPixels(img.get(), oracle, what);
            }
    }
}

// A fax strip whose data ends before its rows do is damage, wherever it
// ends: in the middle or within the last row. The rows before the cut are
// kept, the rest are white.
TEST_F(TiffFiles, FaxStripsCutAnywhereAreDamagedAndKeepTheirFirstRows)
{
    QUILLON_REQUIRE_TOOL("pnmtotiff");
    Pnm picture;
    const fs::path src = bilevelTiff(dir.path(), "text", "-size 90x24 xc:white -fill black -draw 'circle 45,12 52,20' "
                                                   "-draw 'rectangle 5,3 30,5' -draw 'line 0,23 89,0'",
                                     picture);
    for (const char* coding : {"g3", "g3:2d", "g3:fill", "g4"}) {
        const fs::path out = dir / "cut.tif";
        ASSERT_EQ(run("tiffcp -r 1000 -c " + std::string(coding) + " " + q(src) + " " + q(out)), 0) << coding;
        const std::vector<uint8_t> whole = readFile(out);
        const size_t counts = tagField(whole, 279);
        ASSERT_NE(counts, 0u) << coding;
        ASSERT_EQ(loadU32le(&whole[tagField(whole, 278)]), 1000u) << coding;
        const uint32_t length = loadU32le(&whole[counts]);
        ResultCode rc;
        Ref<Image> full = tiffBytes(whole, &rc);
        ASSERT_EQ(rc, RC_OK) << coding;
        expectPixels(full.get(), picture, coding);
        // Every length the strip could be cut to: rows the whole file's,
        // then at most one row cut in its middle, then white rows.
        for (uint32_t n = 0; n < length; ++n) {
            const std::string what = std::string(coding) + " cut to " + std::to_string(n) + " of " +
                                     std::to_string(length);
            std::vector<uint8_t> f = whole;
            setU32le(f, counts, n);
            Ref<Image> img = tiffBytes(f, &rc);
            // The end of a Group 4 strip is its end-of-block code, which
            // may go.
            if (rc == RC_OK && std::string(coding) == "g4" && n + 3 >= length) {
                expectPixels(img.get(), picture, what);
                continue;
            }
            ASSERT_EQ(rc, RC_CORRUPT_FILE) << what;
            ASSERT_TRUE(img) << what;
            int stage = 0;  // 0 whole rows, 1 a cut row, 2 white rows
            for (uint32_t y = 0; y < img->height; ++y) {
                const uint8_t* row = img->rowBytesPtr(y);
                const bool same = std::memcmp(row, full->rowBytesPtr(y), img->width) == 0;
                const bool white = std::all_of(row, row + img->width, [](uint8_t v) { return v == 255; });
                if (stage == 0 && !same) stage = white ? 2 : 1;
                else if (stage == 1) stage = 2;
                ASSERT_TRUE(stage < 2 || white) << what << ", row " << y;
            }
        }
    }
}

// What a batch makes of a cut fax strip: a failed input, the reason said,
// no output written and the source kept even when the job deletes sources.
TEST_F(TiffFiles, ABatchFailsACutFaxStripAndKeepsItsSource)
{
    QUILLON_REQUIRE_TOOL("pnmtotiff");
    Pnm picture;
    const fs::path src = bilevelTiff(dir.path(), "page", "-size 64x32 pattern:gray50", picture);
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    const fs::path cut = dir / "in" / "cut.tif", whole = dir / "in" / "whole.tif";
    ASSERT_EQ(run("tiffcp -c g4 " + q(src) + " " + q(whole)), 0);
    std::vector<uint8_t> f = readFile(whole);
    const size_t counts = tagField(f, 279);
    ASSERT_NE(counts, 0u);
    setU32le(f, counts, loadU32le(&f[counts]) - 4);
    writeFile(cut, f);

    FormatRegistry reg;
    registerAllFormats(reg);
    JobSettings s;
    s.szOutDir = dir / "out" / "";
    s.iOutFormats = 1;
    s.slots[0].iFormatId = reg.findByExtension(std::u16string_view(u"x.bmp"), true);
    s.slots[0].szSubFormat = u"Normal";
    s.slots[0].iColorFormat = CF_AUTO;
    s.bNoOverwritePrompt = 1;
    s.bDeleteSrcFiles = 1;
    InputListHooks hooks;
    hooks.registry = &reg;
    InputList list(&hooks);
    ASSERT_EQ(list.addFile(cut, false, false), RC_OK);
    ASSERT_EQ(list.addFile(whole, false, false), RC_OK);
    QuietBatchUi ui;
    bool running = false;
    BatchContext ctx{s, list, ui, running};
    ctx.registry = &reg;
    const BatchResult r = batchRun(ctx);
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(ui.errors, std::vector<std::u16string>{u"Corrupted, truncated or malformed file"});
    EXPECT_TRUE(fs::exists(cut));
    EXPECT_FALSE(fs::exists(dir / "out" / "cut.bmp"));
    EXPECT_FALSE(fs::exists(whole));
}

// LZW as libtiff's coder wrote it before 5.0, which libtiff still reads:
// nine-bit codes least significant bit first (a clear code, each byte as a
// literal, the end code). A variant we do not read, said so.
TEST(TiffHostile, OldStyleLzwIsAVariantWeDoNotRead)
{
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    std::vector<uint32_t> codes = {256};
    for (uint8_t b : ramp(32)) codes.push_back(b);
    codes.push_back(257);
    std::vector<uint8_t> lzw((codes.size() * 9 + 7) / 8, 0);
    for (size_t i = 0; i < codes.size() * 9; ++i)
        if ((codes[i / 9] >> (i % 9)) & 1) lzw[i / 8] |= uint8_t(1 << (i % 8));
    TiffBuilder t = greyStrip(lzw, 5);
    t.finish();
    TempDir dir;
    writeFile(dir / "old.tif", t.bytes);
    Pnm oracle;
    ASSERT_TRUE(libtiffRgb(dir / "old.tif", oracle));
    for (uint32_t i = 0; i < 32; ++i) ASSERT_EQ(oracle.samples[3 * i], ramp(32)[i]) << i;
    ResultCode rc;
    tiffBytes(t.bytes, &rc);
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
}

TEST_F(TiffFiles, JpegStripsOfRgbPhotometricAreNotTakenForYCbCr)
{
    QUILLON_REQUIRE_TOOL(kSystemPython);
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    // RGB JPEG strips from Pillow, their components then labelled 0, 1, 2
    // as a JPEG library labels a colour space it is not told: by its stream
    // alone such a strip would pass for YCbCr.
    const fs::path script = dir / "rgb_jpeg.py";
    writeFile(script, std::string(R"(import sys
from PIL import Image
Image.open(sys.argv[1]).save(sys.argv[2], compression="jpeg", quality=95)
im = Image.open(sys.argv[2])
spans = list(zip(im.tag_v2[273], im.tag_v2[279]))
im.close()
data = bytearray(open(sys.argv[2], "rb").read())
for start, count in spans:
    at = start + 2
    while at + 4 <= start + count and data[at] == 0xFF:
        marker, length = data[at + 1], (data[at + 2] << 8) | data[at + 3]
        if marker == 0xC0:
            for c in range(data[at + 9]):
                data[at + 10 + 3 * c] = c
        elif marker == 0xDA:
            for c in range(data[at + 4]):
                data[at + 5 + 2 * c] = c
            break
        at += 2 + length
open(sys.argv[2], "wb").write(data)
)"));
    // The larger size decodes in band rows.
    for (uint32_t w : {64u, 1600u}) {
        const uint32_t h = w == 64 ? 48 : 600;
        const std::string what = std::to_string(w) + " x " + std::to_string(h);
        const Pnm p = pattern(w, h, 3, 255, 3);
        const fs::path src = dir / "p.ppm", out = dir / "p.tif";
        ASSERT_TRUE(writePnm(src, p));
        ASSERT_EQ(run(std::string(kSystemPython) + " " + q(script) + " " + q(src) + " " + q(out)), 0) << what;
        ASSERT_NE(runOutput("tiffinfo " + q(out)).find("RGB color"), std::string::npos) << what;
        Pnm oracle;
        ASSERT_TRUE(libtiffRgb(out, oracle)) << what;
        ResultCode rc;
        Ref<Image> img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << what;
        expectPixels(img.get(), oracle, what, 8, 1.0);
    }
}

TEST_F(TiffFiles, JpegStripsWithAlphaAreInTheDirectorysColourOrder)
{
    QUILLON_REQUIRE_TOOL(kSystemPython);
    QUILLON_REQUIRE_TOOL("tiffinfo");
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    // RGB with unassociated alpha, each segment one JPEG stream of four
    // components in the directory's order (tiffcp's "r" keeps it from
    // YCbCr). Pillow reads the colours as stored; libtiff's RGBA reading
    // (tiff2rgba) multiplies them by alpha. Tiles reach past the image's
    // stride and decode through a buffer, strips straight into the image.
    const Pnm p = pattern(300, 200, 4, 255, 3);
    const fs::path b = base("ja", p, "-depth 8");
    for (const std::string layout : {"-r 16", "-t -w 256 -l 256"}) {
        const fs::path out = dir / "jaj.tif";
        ASSERT_EQ(run("tiffcp -L -c jpeg:r:90 " + layout + " " + q(b) + " " + q(out)), 0) << layout;
        const std::string info = runOutput("tiffinfo " + q(out));
        for (const char* premise : {"Compression Scheme: JPEG", "Photometric Interpretation: RGB color",
                                    "Samples/Pixel: 4", "Extra Samples: 1<unassoc-alpha>"})
            ASSERT_NE(info.find(premise), std::string::npos) << layout << "\n" << info;
        // The first segment's frame header (its offset heads a list).
        const std::vector<uint8_t> f = readFile(out);
        const size_t list = tagField(f, layout[1] == 't' ? 324 : 273);
        ASSERT_NE(list, 0u) << layout;
        int components = 0;
        for (size_t at = loadU32le(&f[loadU32le(&f[list])]) + 2; at + 10 < f.size() && f[at] == 0xFF;
             at += 2 + (f[at + 2] << 8 | f[at + 3]))
            if (f[at + 1] == 0xC0 || f[at + 1] == 0xC1) {
                components = f[at + 9];
                break;
            }
        ASSERT_EQ(components, 4) << layout;

        ResultCode rc;
        Ref<Image> img = tiffFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << layout;
        EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT) << layout;
        Pnm pillow, libtiff;
        ASSERT_TRUE(oracleDecode(pillowDecoder(true), out, pillow)) << layout;
        expectPixels(img.get(), pillow, layout + " by Pillow", 8, 1.0);
        ASSERT_TRUE(libtiffRgb(out, libtiff)) << layout;
        int bad = 0;
        for (uint32_t y = 0; y < p.height; ++y)
            for (uint32_t x = 0; x < p.width; ++x) {
                const Rgba8& px = img->row<Rgba8>(y)[x];
                const uint32_t ours[3] = {px.r, px.g, px.b};
                for (uint32_t c = 0; c < 3; ++c) {
                    const int got = int((ours[c] * px.a + 127) / 255), want = libtiff.at(x, y, c);
                    if (std::abs(got - want) > 8 && ++bad < 4)
                        ADD_FAILURE() << layout << " by tiff2rgba at " << x << "," << y << " channel " << c << ": "
                                      << got << ", expected " << want;
                }
            }
    }
    // Four components of CMYK strips are inks, in no colour order to swap.
    const fs::path cmyk = dir / "cmyk.tif";
    ASSERT_EQ(run("convert -size 16x16 xc:red -colorspace CMYK -compress JPEG " + q(cmyk)), 0);
    ResultCode rc;
    Ref<Image> img = tiffFile(cmyk, &rc);
    ASSERT_EQ(rc, RC_OK);
    const Rgba8& red = img->row<Rgba8>(8)[8];
    EXPECT_TRUE(red.r > 240 && red.g < 16 && red.b < 16) << int(red.r) << " " << int(red.g) << " " << int(red.b);
}

TEST_F(TiffFiles, OldStyleJpegWithoutSamplesPerPixelTakesThemFromItsStream)
{
    QUILLON_REQUIRE_TOOL("cjpeg");
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    const uint32_t w = 64, h = 48;
    for (uint32_t channels : {3u, 1u}) {
        const Pnm p = pattern(w, h, channels, 255, 3);
        const fs::path src = dir / (channels == 3 ? "s.ppm" : "s.pgm"), jpg = dir / "s.jpg";
        ASSERT_TRUE(writePnm(src, p));
        ASSERT_EQ(run("cjpeg -quality 90 -outfile " + q(jpg) + " " + q(src)), 0);
        const std::vector<uint8_t> stream = readFile(jpg);
        for (uint32_t photometric : channels == 3 ? std::vector<uint32_t>{6, 2} : std::vector<uint32_t>{1}) {
            const std::string what = std::to_string(channels) + " channels, photometric " + std::to_string(photometric);
            const std::vector<uint8_t> bytes = oldJpegTiff(stream, w, h, channels, photometric, 0, 0, false);
            const fs::path file = dir / "o.tif";
            writeFile(file, bytes);
            Pnm oracle;
            ASSERT_TRUE(libtiffRgb(file, oracle)) << what;
            ResultCode rc;
            Ref<Image> img = tiffBytes(bytes, &rc);
            ASSERT_EQ(rc, RC_OK) << what;
            ASSERT_EQ(img->pixelFormat, channels == 3 ? PF_RGBA8 : PF_GRAY8) << what;
            expectPixels(img.get(), oracle, what, 12, 1.5);
        }
    }
}

TEST_F(TiffFiles, ResolutionInCentimetresReadsAsPixelsPerMetre)
{
    // 300 dpi saved in centimetres.
    const fs::path cm = base("cm", pattern(20, 10, 3, 255, 0), "-depth 8 -units PixelsPerCentimeter -density 118.11");
    ASSERT_NE(runOutput("tiffinfo " + q(cm)).find("Resolution: 118.11, 118.11 pixels/cm"), std::string::npos);
    ResultCode rc;
    Ref<ImageReader> reader;
    Ref<Image> img = tiffFile(cm, &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_DENSITY)), u"11811 x 11811 ppm");
    // Written again, it is 300 per inch.
    registerAllFormats();
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"tiff"), true));
    {
        Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(d->createWriter(dir / "again.tiff", d));
        ASSERT_EQ(writer->write(img.get(), u"Uncompressed", CF_RGB24, 0, false, nullptr, nullptr), RC_OK);
    }
    EXPECT_NE(runOutput("tiffinfo " + q(dir / "again.tiff")).find("Resolution: 300, 300 pixels/inch"),
              std::string::npos);

    // Inches keep their rounded value; each axis its own.
    const fs::path in = base("in", pattern(20, 10, 3, 255, 0), "-depth 8 -units PixelsPerInch -density 299.7x150.2");
    tiffFile(in, &rc, &reader);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(std::u16string(reader->info.get(INFO_DENSITY)), u"300 x 150 ppi");
}

TEST(TiffOddLayouts, FloatGreyWithoutPhotometricIsGrey)
{
    // Linear light like any float grey: the decode gives it the sRGB curve,
    // as it does when the tag says BlackIsZero.
    const float values[8] = {0.2f, 0.5f, 1.0f, 0.0f, 0.75f, 0.01f, 0.333f, 0.9f};
    std::vector<uint8_t> data(sizeof values);
    std::memcpy(data.data(), values, sizeof values);
    for (bool tagged : {true, false}) {
        TiffBuilder t;
        const uint32_t at = t.append(data);
        t.tag(256, 3, 1, 4), t.tag(257, 3, 1, 2), t.tag(258, 3, 1, 32), t.tag(259, 3, 1, 1);
        if (tagged) t.tag(262, 3, 1, 1);
        t.tag(273, 4, 1, at), t.tag(277, 3, 1, 1), t.tag(278, 3, 1, 2), t.tag(279, 4, 1, uint32_t(data.size()));
        t.tag(339, 3, 1, 3);
        t.finish();
        ResultCode rc;
        Ref<ImageReader> reader;
        Ref<Image> img = tiffBytes(t.bytes, &rc, &reader);
        ASSERT_EQ(rc, RC_OK) << tagged;
        ASSERT_EQ(img->pixelFormat, PF_GRAY_FLOAT) << tagged;
        EXPECT_EQ(std::u16string(reader->info.get(INFO_COLOUR_MODEL)), colourModelName(CM_L)) << tagged;
        for (uint32_t i = 0; i < 8; ++i)
            EXPECT_NEAR(img->row<float>(i / 4)[i % 4], srgbEncode(values[i]), 1e-6) << tagged << " " << i;
    }
}

TEST(TiffOddLayouts, SixteenBitSamplesAtAnOddOffsetAreRead)
{
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    // 5 x 3 RGB of 16 bits read in place, every strip starting at an odd
    // offset: chunky in one strip, planar in one strip a plane.
    const uint32_t w = 5, h = 3;
    auto sample = [](uint32_t x, uint32_t y, uint32_t c) { return uint16_t(x * 4099 + y * 257 + c * 9973 + 1); };
    for (uint32_t planar : {1u, 2u}) {
        const std::string what = "planar " + std::to_string(planar);
        const uint32_t strips = planar == 1 ? 1 : 3;
        TiffBuilder t;
        std::vector<uint8_t> starts, counts;
        for (uint32_t p = 0; p < strips; ++p) {
            std::vector<uint8_t> data;
            for (uint32_t i = 0; i < w * h * 3; ++i)
                if (planar == 1 || i % 3 == p) le16(data, sample(i / 3 % w, i / 3 / w, i % 3));
            t.bytes.push_back(0xAA);
            le32(starts, t.append(data));
            le32(counts, uint32_t(data.size()));
        }
        const uint32_t startsAt = t.append(starts), countsAt = t.append(counts), bits = t.append({16, 0, 16, 0, 16, 0});
        t.tag(256, 3, 1, w), t.tag(257, 3, 1, h), t.tag(258, 3, 3, bits), t.tag(259, 3, 1, 1), t.tag(262, 3, 1, 2);
        t.tag(273, 4, strips, planar == 1 ? loadU32le(starts.data()) : startsAt), t.tag(277, 3, 1, 3);
        t.tag(278, 3, 1, h), t.tag(279, 4, strips, planar == 1 ? loadU32le(counts.data()) : countsAt);
        t.tag(284, 3, 1, planar);
        t.finish();
        ResultCode rc;
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        ASSERT_EQ(rc, RC_OK) << what;
        ASSERT_EQ(img->pixelFormat, PF_RGBA16) << what;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const Rgba16& px = img->row<Rgba16>(y)[x];
                EXPECT_TRUE(px.r == sample(x, y, 0) && px.g == sample(x, y, 1) && px.b == sample(x, y, 2) &&
                            px.a == 65535)
                    << what << " at " << x << "," << y;
            }
        // libtiff reads the same file to the same samples, rounded to 8 bits.
        TempDir dir;
        writeFile(dir / "o.tif", t.bytes);
        Pnm oracle;
        ASSERT_TRUE(libtiffRgb(dir / "o.tif", oracle)) << what;
        for (uint32_t i = 0; i < w * h * 3; ++i)
            EXPECT_NEAR(oracle.samples[i], sample(i / 3 % w, i / 3 / w, i % 3) / 257.0, 0.5) << what;
    }
}

TEST(TiffHostile, ALaterPageThatCannotBeReadEndsTheDocumentAsDamage)
{
    // Pages of 8 x 4 grey or narrower; the last one spoiled in each way: a
    // malformed entry, a form we do not read, data far too short.
    using Entries = std::vector<TiffBuilder::Entry>;
    auto set = [](Entries& list, uint16_t tag, uint32_t value, uint32_t count = 1) {
        for (auto& e : list)
            if (e.tag == tag) e.value = value, e.count = count;
    };
    TiffBuilder t = greyStrip(ramp(32), 1);
    // 9-bit codes: clear, 0, end: four bytes for the whole page.
    const uint32_t lzwAt = t.append({0x80, 0x00, 0x20, 0x10});
    const std::pair<const char*, std::function<void(Entries&)>> spoils[] = {
        {"a width of two values", [&](Entries& e) { set(e, 256, 8, 2); }},
        {"photometric 7", [&](Entries& e) { set(e, 262, 7); }},
        {"data far too short", [&](Entries& e) {
             set(e, 256, 30000), set(e, 257, 30000), set(e, 278, 30000);
             set(e, 259, 5), set(e, 273, lzwAt), set(e, 279, 4);
         }},
    };
    for (uint32_t pages : {2u, 3u})
        for (const auto& [what, spoil] : spoils) {
            TiffBuilder doc = t;
            uint32_t next = uint32_t(doc.bytes.size()) + TiffBuilder::directorySize(doc.entries.size());
            doc.finish(next);
            for (uint32_t p = 1; p < pages; ++p) {
                Entries entries = t.entries;
                set(entries, 256, 8 - p);  // other shapes: no thumbnails
                if (p + 1 == pages) spoil(entries);
                next += TiffBuilder::directorySize(entries.size());
                doc.directory(entries, p + 1 == pages ? 0 : next);
            }
            ResultCode rc;
            Ref<Image> img = tiffBytes(doc.bytes, &rc);
            EXPECT_EQ(rc, RC_CORRUPT_FILE) << what << ", page " << pages;
            ASSERT_TRUE(img) << what;
            uint32_t kept = 0;
            for (Image* f = img.get(); f; f = f->next(), ++kept)
                EXPECT_EQ(f->rowBytesPtr(3)[f->width - 1], ramp(32)[4 * f->width - 1]) << what;
            EXPECT_EQ(kept, pages - 1) << what << ", page " << pages;
        }
}

TEST_F(TiffFiles, AlphaKindFollowsExtraSamples)
{
    QUILLON_REQUIRE_TOOL(sampleTool());
    // ImageMagick writes straight (unassociated) alpha unless told otherwise.
    const Pnm p = pattern(40, 30, 4, 255, 3);
    struct Case {
        const char* option;
        const char* tiffinfo;
        AlphaKind kind;
    };
    const Case cases[] = {{"", "1<unassoc-alpha>", ALPHA_STRAIGHT},
                          {"-define tiff:alpha=associated", "1<assoc-alpha>", ALPHA_PREMULTIPLIED}};
    for (const Case& c : cases) {
        const fs::path f = base(c.kind == ALPHA_STRAIGHT ? "ua" : "aa", p, std::string("-depth 8 ") + c.option);
        ASSERT_NE(runOutput("tiffinfo " + q(f)).find(std::string("Extra Samples: ") + c.tiffinfo), std::string::npos)
            << c.tiffinfo;
        ResultCode rc;
        Ref<Image> img = tiffFile(f, &rc);
        ASSERT_EQ(rc, RC_OK) << c.tiffinfo;
        EXPECT_EQ(img->alphaKind, c.kind) << c.tiffinfo;
        if (c.kind == ALPHA_STRAIGHT) {
            expectPixels(img.get(), p, c.tiffinfo);
            continue;
        }
        // Associated samples stay as stored, as libtiff reads them.
        const std::string raw = runOutput(sampleTool() + " read " + q(f));
        ASSERT_EQ(raw.size(), size_t(p.width) * p.height * 4);
        int bad = 0;
        for (uint32_t y = 0; y < p.height; ++y)
            for (uint32_t x = 0; x < p.width; ++x) {
                const uint8_t* s = reinterpret_cast<const uint8_t*>(raw.data()) + (size_t(y) * p.width + x) * 4;
                const Rgba8& px = img->row<Rgba8>(y)[x];
                if ((px.r != s[0] || px.g != s[1] || px.b != s[2] || px.a != s[3]) && ++bad < 4)
                    ADD_FAILURE() << "associated at " << x << "," << y;
            }
    }
}

TEST(TiffOddLayouts, ColourMapEntriesTakeTheHighByteOfEachValue)
{
    QUILLON_REQUIRE_TOOL("tiff2rgba");
    QUILLON_REQUIRE_TOOL("tifftopnm");
    // A hand-made map whose low bytes differ from its high bytes (writers
    // usually store value x 257, where both agree), with and without the
    // photometric tag: a colour map is a palette either way.
    const uint32_t w = 16, h = 16;
    std::vector<uint8_t> indices(size_t(w) * h);
    for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t(i);
    std::vector<uint8_t> map;
    for (uint32_t c = 0; c < 3; ++c)
        for (uint32_t i = 0; i < 256; ++i) le16(map, ((i * (37 + 54 * c) + 11 * c) & 255) << 8 | ((i * 91 + c) & 255));
    auto high = [](uint32_t i, uint32_t c) { return (i * (37 + 54 * c) + 11 * c) & 255; };
    std::vector<uint8_t> first;
    for (bool tagged : {true, false}) {
        TiffBuilder t;
        const uint32_t at = t.append(indices);
        const uint32_t mapAt = t.append(map);
        t.tag(256, 3, 1, w), t.tag(257, 3, 1, h), t.tag(258, 3, 1, 8), t.tag(259, 3, 1, 1);
        if (tagged) t.tag(262, 3, 1, 3);
        t.tag(273, 4, 1, at), t.tag(277, 3, 1, 1), t.tag(278, 3, 1, h), t.tag(279, 4, 1, uint32_t(indices.size()));
        t.tag(320, 3, 768, mapAt);
        t.finish();
        ResultCode rc;
        Ref<Image> img = tiffBytes(t.bytes, &rc);
        ASSERT_EQ(rc, RC_OK) << tagged;
        int bad = 0;
        for (uint32_t i = 0; i < 256; ++i)
            for (uint32_t c = 0; c < 3; ++c)
                if (sample16(img.get(), i % w, i / w, c) != high(i, c) * 257 && ++bad < 4)
                    ADD_FAILURE() << (tagged ? "tagged" : "untagged") << " entry " << i << " channel " << c;
        if (!tagged) continue;
        TempDir dir;
        writeFile(dir / "m.tif", t.bytes);
        Pnm oracle;
        ASSERT_TRUE(libtiffRgb(dir / "m.tif", oracle));
        expectPixels(img.get(), oracle, "against libtiff");
    }
}
