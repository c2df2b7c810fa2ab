// Radiance reading against ImageMagick's decodes of its own and hand-built
// files, the header rules, old-style runs, damaged data, and writing read
// back by ImageMagick.
#include "codecs/more/radiance.h"

#include <unistd.h>

#include <cmath>

#include "codecs/raster_oracle.h"
#include "platform/memory.h"
#include "core/text.h"
#include "processing/geometry.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> hdrFile(const std::string& header, std::vector<uint8_t> pixels)
{
    std::vector<uint8_t> v(header.begin(), header.end());
    v.insert(v.end(), pixels.begin(), pixels.end());
    return v;
}

const std::string kHead = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n";

// Decoded floats hold sRGB-encoded values; files hold linear light.
double linearOf(float v)
{
    return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

#define EXPECT_LINEAR(decoded, want) EXPECT_NEAR(linearOf(decoded), (want), 2e-5 * (want) + 1e-9)

// ImageMagick's decode in 16-bit samples: it takes a pixel as m x 2^(e-136),
// without the half step we add, and no transfer curve.
bool magick16(const fs::path& file, Pnm& p)
{
    fs::path out = file;
    out += ".16.pam";
    if (run("convert " + shellQuote(file.string()) + " -depth 16 pam:" + shellQuote(out.string())) != 0) return false;
    return readPnm(out, p);
}

// Ours differ from ImageMagick's by half a step of the pixel's exponent,
// the same in all three channels.
void expectMagickAgrees(Image* img, const Pnm& p, const std::string& what)
{
    ASSERT_EQ(img->pixelFormat, PF_RGBA_FLOAT) << what;
    ASSERT_EQ(img->width, p.width) << what;
    ASSERT_EQ(img->height, p.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            RgbaF q = img->row<RgbaF>(y)[x];
            double ours[3] = {linearOf(q.r) * 65535.0, linearOf(q.g) * 65535.0, linearOf(q.b) * 65535.0};
            double d[3];
            for (int c = 0; c < 3; ++c) d[c] = ours[c] - p.at(x, y, uint32_t(c));
            double top = std::max(ours[0], std::max(ours[1], ours[2]));
            bool ok = d[0] > -1 && std::fabs(d[0] - d[1]) <= 1.5 && std::fabs(d[0] - d[2]) <= 1.5 &&
                      d[0] <= top / 254 + 1 && q.a == 1.0f;
            if (!ok && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << ours[0] << " " << ours[1] << " "
                              << ours[2] << " oracle " << p.at(x, y, 0) << " " << p.at(x, y, 1) << " "
                              << p.at(x, y, 2);
        }
    EXPECT_EQ(bad, 0) << what;
}

} // namespace

TEST(RadianceReader, FilesFromImageMagickDecodeAsItDoes)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    struct Case {
        const char* name;
        const char* args;
    } cases[] = {
        {"coded", "-size 37x11 gradient:red-blue -swirl 90 -fill '#20c040' -draw 'circle 10,5 14,7'"},
        {"flat7", "-size 7x5 gradient:red-blue -swirl 60"},
        {"coded8", "-size 8x5 plasma:fractal -seed 3"},
        {"runs", "-size 300x4 xc:'#102030' -fill '#f0e0d0' -draw 'rectangle 40,0 200,3'"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / (std::string(c.name) + ".hdr");
        ASSERT_EQ(run(std::string("convert ") + c.args + " " + shellQuote(file.string()) + " 2>/dev/null"), 0);
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(magick16(file, p)) << c.name;
        expectMagickAgrees(d.image.get(), p, c.name);
    }
}

TEST(RadianceReader, PixelFormulaHeaderAndOrientation)
{
    float r, g, b;
    const uint8_t px[4] = {128, 64, 32, 129};
    radianceToFloat(px, &r, &g, &b);
    EXPECT_EQ(r, 128.5f / 128);
    EXPECT_EQ(g, 64.5f / 128);
    EXPECT_EQ(b, 32.5f / 128);

    std::vector<uint8_t> f = hdrFile("#?RGBE\n# first note \n#second\nEXPOSURE=1\n\n-Y 1 +X 2\n",
                                     {128, 64, 32, 129, 0, 0, 0, 0});
    Decoded d = decodeBytesFull(f, "a.hdr");
    ASSERT_EQ(d.rc, RC_OK);
    RgbaF q = d.image->row<RgbaF>(0)[0];
    EXPECT_LINEAR(q.r, r);
    EXPECT_LINEAR(q.b, b);
    EXPECT_EQ(d.image->row<RgbaF>(0)[1].g, 0.0f);
    ASSERT_TRUE(d.image->info()->get(INFO_COMMENTS));
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMMENTS)), u"first note");
    EXPECT_EQ(d.reader->colourModel, CM_RGB);

    struct Orient {
        const char* line;
        uint32_t w, h;
        const char16_t* text;
    } orients[] = {
        {"-Y 2 +X 3", 3, 2, nullptr},
        {"-Y 2 -X 3", 3, 2, u"Mirrored"},
        {"+Y 2 -X 3", 3, 2, u"Rotated 180"},
        {"+Y 2 +X 3", 3, 2, u"Bottom-Up"},
        {"-X 2 -Y 3", 3, 2, u"Rotated 270"},
        {"+x 2 -y 3", 3, 2, u"Rotated 90 & Bottom-Up"},
        {"-X 2 +Y 3", 3, 2, u"Rotated 270 & Bottom-Up"},
        {"+X 2 +Y 3", 3, 2, u"Rotated 90"},
    };
    for (const Orient& o : orients) {
        d = decodeBytesFull(hdrFile(kHead + o.line + "\n", std::vector<uint8_t>(24, 0x40)), "o.hdr");
        ASSERT_EQ(d.rc, RC_OK) << o.line;
        EXPECT_EQ(d.image->width, o.w) << o.line;
        EXPECT_EQ(d.image->height, o.h) << o.line;
        const char16_t* t = d.reader->info.get(INFO_ORIENTATION);
        if (o.text) {
            ASSERT_TRUE(t) << o.line;
            EXPECT_EQ(std::u16string(t), o.text) << o.line;
        } else {
            EXPECT_FALSE(t && *t) << o.line;
        }
    }

    struct Bad {
        const char* what;
        std::string header;
        ResultCode rc;
    } bad[] = {
        {"no resolution line", kHead, RC_UNKNOWN_FORMAT},
        {"unknown format", "#?RADIANCE\nFORMAT=32-bit_rle_abcd\n\n-Y 1 +X 1\n", RC_UNSUPPORTED_SUBFORMAT},
        {"long format", "#?RADIANCE\nformat=32-bit_rle_rgbe2\n\n-Y 1 +X 1\n", RC_UNSUPPORTED_SUBFORMAT},
        {"control character", "#?RADIANCE\n\x01x\n-Y 1 +X 1\n", RC_UNKNOWN_FORMAT},
        {"negative size", kHead + "-Y -1 +X 1\n", RC_UNKNOWN_FORMAT},
        {"zero size", kHead + "-Y 0 +X 1\n", RC_CORRUPT_FILE},
        // Sizes no image can take, of data the file does not hold: lies,
        // not pictures too large for memory.
        {"huge size", kHead + "-Y 99999999999 +X 1\n", RC_CORRUPT_FILE},
        {"huge width", kHead + "-Y 1 +X 99999999999\n", RC_CORRUPT_FILE},
        {"no pixels", kHead + "-Y 1 +X 1\n", RC_CORRUPT_FILE},
    };
    for (const Bad& x : bad) EXPECT_EQ(decodeBytesFull(hdrFile(x.header, {}), "b.hdr").rc, x.rc) << x.what;
    d = decodeBytesFull(hdrFile("#?RADIANCE\nFORMAT=32-BIT_RLE_XYZE\n\n-Y 1 +X 1\n", {1, 2, 3, 4}), "x.hdr");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.reader->colourModel, CM_XYZ);
}

// Files written by a script straight from the format's definition of the
// resolution line (the first item is the outer loop, X grows to the right, Y
// upwards), in all eight orders, flat and, for two orders with X first,
// run-length coded. Each decode, turned by the orientation it reports, must
// be the intended picture, whose quadrants and pixels all differ.
TEST(RadianceReader, EveryResolutionOrderShowsTheIntendedPicture)
{
    QUILLON_REQUIRE_TOOL("python3");
    TempDir dir;
    const char* script = R"PY(
import sys, os
W, H = 10, 8
out = sys.argv[1]
def pixel(x, y):  # y counts rows from the top
    quadrant = (x >= W // 2) + 2 * (y >= H // 2)
    return bytes([20 + 20 * x, 20 + 25 * y, 60 + 60 * quadrant, 128])
def along(axis, sign):  # picture coordinates visited along one axis
    n = W if axis == 'X' else H
    steps = range(n) if sign == '+' else range(n - 1, -1, -1)
    return [H - 1 - v for v in steps] if axis == 'Y' else list(steps)
def coded(line):  # per component: runs of 3 or more, else literals
    n = len(line) // 4
    out = bytearray([2, 2, n >> 8, n & 255])
    for c in range(4):
        comp = line[c::4]
        i = 0
        while i < n:
            j = i
            while j < n and j - i < 127 and comp[j] == comp[i]: j += 1
            if j - i >= 3:
                out += bytes([128 + j - i, comp[i]]); i = j; continue
            k = i
            while k < n and k - i < 128 and not (k + 2 < n and comp[k] == comp[k + 1] == comp[k + 2]): k += 1
            out += bytes([k - i]) + bytes(comp[i:k]); i = k
    return bytes(out)
open(os.path.join(out, 'picture.raw'), 'wb').write(b''.join(pixel(x, y) for y in range(H) for x in range(W)))
for first in 'YX':
    second = 'X' if first == 'Y' else 'Y'
    for s1 in '-+':
        for s2 in '-+':
            size = {'X': W, 'Y': H}
            res = '%s%s %d %s%s %d' % (s1, first, size[first], s2, second, size[second])
            lines = []
            for a in along(first, s1):
                lines.append(b''.join(pixel(*((a, b) if first == 'X' else (b, a))) for b in along(second, s2)))
            head = b'#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n' + res.encode() + b'\n'
            name = res.replace(' ', '_')
            open(os.path.join(out, name + '.hdr'), 'wb').write(head + b''.join(lines))
            if first == 'X' and s1 != s2:
                open(os.path.join(out, name + '.rle.hdr'), 'wb').write(head + b''.join(coded(l) for l in lines))
)PY";
    writeFile(dir / "orders.py", std::string(script));
    ASSERT_EQ(run("python3 " + shellQuote((dir / "orders.py").string()) + " " + shellQuote(dir.path().string())), 0);
    const uint32_t W = 10, H = 8;
    const std::vector<uint8_t> picture = readFile(dir / "picture.raw");
    ASSERT_EQ(picture.size(), size_t(W) * H * 4);

    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().extension() != ".hdr") continue;
        const std::string name = entry.path().filename().string();
        ++files;
        Decoded d = decodeFileFull(entry.path());
        ASSERT_EQ(d.rc, RC_OK) << name;
        const char16_t* text = d.reader->info.get(INFO_ORIENTATION);
        const uint8_t flags = orientationFromName(text);
        const bool turned = flags & 1;
        ASSERT_EQ(turned ? d.image->height : d.image->width, W) << name;
        ASSERT_EQ(turned ? d.image->width : d.image->height, H) << name;
        Ref<Image> shown = Ref<Image>::adopt(imageCreate(PF_RGBA_FLOAT, packSize(W, H)));
        ASSERT_EQ(imageRotateFlip(shown.get(), d.image.get(), flags), RC_OK) << name;
        int bad = 0;
        for (uint32_t y = 0; y < H; ++y)
            for (uint32_t x = 0; x < W; ++x) {
                float r, g, b;
                radianceToFloat(&picture[4 * (size_t(y) * W + x)], &r, &g, &b);
                const RgbaF q = shown->row<RgbaF>(y)[x];
                const bool ok = std::fabs(linearOf(q.r) - r) <= 1e-4 * r && std::fabs(linearOf(q.g) - g) <= 1e-4 * g &&
                                std::fabs(linearOf(q.b) - b) <= 1e-4 * b;
                if (!ok && ++bad < 3)
                    ADD_FAILURE() << name << " shown as "
                                  << u16ToUtf8(text ? text : u"")
                                  << ": pixel " << x << "," << y << " is not the intended one";
            }
        EXPECT_EQ(bad, 0) << name;
    }
    EXPECT_EQ(files, 10);
}

TEST(RadianceReader, OldStyleRunsAndDamagedScanlines)
{
    // Width 8: a run marker first in a row repeats the previous row's last
    // pixel (none on the first row: black); further markers shift by 8.
    std::vector<uint8_t> px = {1, 1, 1, 2,  10, 20, 30, 130, 1, 1, 1, 5};  // row 0
    px.insert(px.end(), {1, 1, 1, 1, 1, 1, 1, 0});                       // row 1: 1 + (0 << 8)
    px.insert(px.end(), {50, 60, 70, 131, 1, 1, 1, 6});
    std::vector<uint8_t> f = hdrFile(kHead + "-Y 2 +X 8\n", px);
    Decoded d = decodeBytesFull(f, "r.hdr");
    ASSERT_EQ(d.rc, RC_OK);
    float r, g, b;
    const uint8_t first[4] = {10, 20, 30, 130}, second[4] = {50, 60, 70, 131};
    radianceToFloat(first, &r, &g, &b);
    EXPECT_EQ(d.image->row<RgbaF>(0)[0].r, 0.0f);
    EXPECT_EQ(d.image->row<RgbaF>(0)[1].r, 0.0f);
    for (uint32_t x = 2; x < 8; ++x) EXPECT_LINEAR(d.image->row<RgbaF>(0)[x].r, r) << x;
    EXPECT_LINEAR(d.image->row<RgbaF>(1)[0].g, g);
    radianceToFloat(second, &r, &g, &b);
    for (uint32_t x = 1; x < 8; ++x) EXPECT_LINEAR(d.image->row<RgbaF>(1)[x].b, b) << x;

    // A coded row with a zero count is damage, not an endless loop; a cut
    // keeps the rows before it.
    std::vector<uint8_t> row = {2, 2, 0, 8};
    for (int c = 0; c < 4; ++c) row.insert(row.end(), {136, uint8_t(100 + c)});
    std::vector<uint8_t> two = row;
    two.insert(two.end(), row.begin(), row.end());
    f = hdrFile(kHead + "-Y 2 +X 8\n", two);
    ASSERT_EQ(decodeBytesFull(f, "c.hdr").rc, RC_OK);
    std::vector<uint8_t> zero = row;
    zero.insert(zero.end(), {2, 2, 0, 8, 0, 0});
    d = decodeBytesFull(hdrFile(kHead + "-Y 2 +X 8\n", zero), "z.hdr");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    for (size_t cut = f.size() - two.size() / 2; cut < f.size(); ++cut) {
        d = decodeBytesFull(std::vector<uint8_t>(f.begin(), f.begin() + long(cut)), "t.hdr");
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << cut;
        ASSERT_TRUE(d.image);
        EXPECT_GT(d.image->row<RgbaF>(0)[7].r, 0.0f) << cut;
    }

    // Repeats make 2000 x 2000 of eight bytes a row: whole. Fewer bytes than
    // one record a row cannot be: damaged, refused before any image is made.
    std::vector<uint8_t> repeats;
    for (uint32_t y = 0; y < 2000; ++y) repeats.insert(repeats.end(), {1, 1, 1, 255, 1, 1, 1, 7});
    d = decodeBytesFull(hdrFile(kHead + "-Y 2000 +X 2000\n", repeats), "big.hdr");
    EXPECT_EQ(d.rc, RC_OK);
    repeats.resize(2000 * 4 / 16);
    setAllocationCap(uint64_t(1) << 20);
    d = decodeBytesFull(hdrFile(kHead + "-Y 2000 +X 2000\n", repeats), "few.hdr");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    // Rows wider than any coded row are flat: less than one of them is
    // refused likewise.
    d = decodeBytesFull(hdrFile(kHead + "-Y 1 +X 100000\n", repeats), "wide.hdr");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);

    // Larger than memory allows: too large when the data holds a record a
    // row, or every flat row; a lie when it cannot.
    repeats.clear();
    for (uint32_t y = 0; y < 2000; ++y) repeats.insert(repeats.end(), {1, 1, 1, 255, 1, 1, 1, 7});
    EXPECT_EQ(decodeBytesFull(hdrFile(kHead + "-Y 2000 +X 2000\n", repeats), "big.hdr").rc, RC_OUT_OF_MEMORY);
    repeats.resize(2000 * 4 - 40);
    d = decodeBytesFull(hdrFile(kHead + "-Y 2000 +X 2000\n", repeats), "short.hdr");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    std::vector<uint8_t> flat(size_t(40000) * 4 * 10, 0x80);
    EXPECT_EQ(decodeBytesFull(hdrFile(kHead + "-Y 10 +X 40000\n", flat), "flat.hdr").rc, RC_OUT_OF_MEMORY);
    flat.resize(flat.size() - 40000 * 4);
    d = decodeBytesFull(hdrFile(kHead + "-Y 10 +X 40000\n", flat), "flat.hdr");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    setAllocationCap(0);
}

TEST(RadianceWriter, ImageMagickReadsWhatWeWrite)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    // 8-bit input is written as linear light.
    auto linear = [](uint8_t v) {
        double c = v / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    for (uint32_t w : {7u, 8u, 61u}) {
        Ref<Image> img = rampImage(w, 6, false);
        fs::path out = dir / ("w" + std::to_string(w) + ".hdr");
        ASSERT_EQ(writeAs(u"hdr", img.get(), out, u"RLE", CF_AUTO), RC_OK);
        std::vector<uint8_t> bytes = readFile(out);
        std::string text(bytes.begin(), bytes.end());
        size_t data = text.find("-Y 6 +X " + std::to_string(w) + "\n");
        ASSERT_NE(data, std::string::npos);
        data = text.find('\n', data) + 1;
        // Seven pixels are too few to code; eight are coded.
        if (w == 7) EXPECT_EQ(bytes.size() - data, 7u * 4 * 6);
        else EXPECT_EQ(bytes[data], 2);
        Pnm p;
        ASSERT_TRUE(magick16(out, p));
        int bad = 0;
        for (uint32_t y = 0; y < 6; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                Rgba8 s = img->row<Rgba8>(y)[x];
                double want[3] = {linear(s.r), linear(s.g), linear(s.b)};
                double top = std::max(want[0], std::max(want[1], want[2]));
                for (uint32_t c = 0; c < 3; ++c) {
                    double got = p.at(x, y, c) / 65535.0;
                    if (!(got <= want[c] + 1e-4 && want[c] - got <= top / 127 + 1e-4) && ++bad < 4)
                        ADD_FAILURE() << w << " at " << x << "," << y << " channel " << c << ": " << got << " for "
                                      << want[c];
                }
            }
        EXPECT_EQ(bad, 0);
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK);
        expectMagickAgrees(d.image.get(), p, "ours " + std::to_string(w));
    }
}

TEST(RadianceWriter, PixelsCommentsAndFailures)
{
    uint8_t px[4];
    // 1.0 is 0.5 x 2^1: mantissas scaled by 0.5 x 255.9999 and cut.
    radianceFromFloat(px, 1.0f, 0.5f, 0.25f);
    EXPECT_EQ(px[0], 127);
    EXPECT_EQ(px[1], 63);
    EXPECT_EQ(px[2], 31);
    EXPECT_EQ(px[3], 129);
    radianceFromFloat(px, NAN, INFINITY, -INFINITY);
    EXPECT_EQ(px[3], 0);
    radianceFromFloat(px, NAN, 2.0f, 1e-35f);
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[1], 127);
    EXPECT_EQ(px[3], 130);
    radianceFromFloat(px, 1e-33f, 0, 0);
    EXPECT_EQ(px[3], 0);
    // Large values keep their size through a round trip.
    radianceFromFloat(px, 3000.0f, 12.0f, 0.0f);
    float r, g, b;
    radianceToFloat(px, &r, &g, &b);
    EXPECT_NEAR(r, 3000.0f, 3000.0f / 128);
    EXPECT_NEAR(g, 12.0f, 3000.0f / 128);

    // Coded rows decode back to their pixels.
    std::vector<uint8_t> row(4 * 300);
    for (uint32_t i = 0; i < row.size(); ++i) row[i] = uint8_t(i % 4 == 3 ? 130 : (i / 40) * 7 + (i % 13 == 0));
    std::vector<uint8_t> coded(4 + 5 * 300);
    uint32_t n = radianceEncodeRow(coded.data(), row.data(), 300);
    coded.resize(n);
    Decoded d = decodeBytesFull(hdrFile(kHead + "-Y 1 +X 300\n", coded), "e.hdr");
    ASSERT_EQ(d.rc, RC_OK);
    for (uint32_t x = 0; x < 300; ++x) {
        radianceToFloat(&row[4 * x], &r, &g, &b);
        EXPECT_LINEAR(d.image->row<RgbaF>(0)[x].r, r) << x;
        EXPECT_LINEAR(d.image->row<RgbaF>(0)[x].b, b) << x;
    }

    TempDir dir;
    Ref<Image> img = rampImage(4, 2, false);
    img->info()->set(INFO_COMMENTS, u"two\nlines \u00e9");
    ASSERT_EQ(writeAs(u"hdr", img.get(), dir / "c.hdr", u"RLE", CF_AUTO), RC_OK);
    std::vector<uint8_t> bytes = readFile(dir / "c.hdr");
    std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.rfind("#?RADIANCE\n# two lines \xe9\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 4\n", 0), 0u);
    d = decodeFileFull(dir / "c.hdr");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMMENTS)), u"two lines \u00e9");

    // Wide rows are always coded: their flat first pixel could look like a
    // coded row's header.
    Ref<Image> wide = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(32600, 1)));
    for (uint32_t x = 0; x < 32600; ++x) wide->row<Rgba8>(0)[x] = {uint8_t(x * 7), uint8_t(x * 13), uint8_t(x), 255};
    ASSERT_EQ(writeAs(u"hdr", wide.get(), dir / "w.hdr", u"RLE", CF_AUTO), RC_OK);
    bytes = readFile(dir / "w.hdr");
    text.assign(bytes.begin(), bytes.end());
    size_t data = text.find("+X 32600\n") + 9;
    EXPECT_EQ(bytes[data], 2);
    EXPECT_EQ(bytes[data + 2], 32600 >> 8);
    d = decodeFileFull(dir / "w.hdr");
    EXPECT_EQ(d.rc, RC_OK);

    EXPECT_EQ(writeAs(u"hdr", img.get(), dir / "no" / "x.hdr", u"RLE", CF_AUTO), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rampImage(300, 300, false);
        EXPECT_EQ(writeAs(u"hdr", big.get(), "/dev/full", u"RLE", CF_AUTO), RC_WRITE_FAILED);
    }
}
