// WebP reading against files made by cwebp, img2webp and webpmux, decoded by
// dwebp; hand-patched containers for hostile chunks; writing checked by
// webpinfo, webpmux and dwebp.
#include "codecs/more/webp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Decodes from exactly the file's bytes (no padding to hide over-reads).
Decoded decodeWebpBytes(const std::vector<uint8_t>& bytes, bool allFrames = true)
{
    return decodeBytesFull(bytes, "input.webp", allFrames);
}

Decoded decodeWebpFile(const fs::path& path) { return decodeWebpBytes(readFile(path)); }

bool dwebp(const fs::path& webp, Pnm& out)
{
    fs::path pam = webp.string() + ".pam";
    if (run("dwebp -quiet -pam " + shellQuote(webp.string()) + " -o " + shellQuote(pam.string())) != 0) return false;
    return readPnm(pam, out);
}

// Our frame against dwebp's RGBA decode, every channel within `tolerance`.
void expectMatches(Image* frame, const Pnm& p, int tolerance, const std::string& what, bool compareAlpha = true)
{
    ASSERT_TRUE(frame) << what;
    ASSERT_EQ(frame->pixelFormat, PF_RGBA8) << what;
    ASSERT_EQ(frame->width, p.width) << what;
    ASSERT_EQ(frame->height, p.height) << what;
    ASSERT_EQ(p.channels, 4u) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            Rgba8 q = frame->row<Rgba8>(y)[x];
            int d = std::max({std::abs(q.r - int(p.at(x, y, 0))), std::abs(q.g - int(p.at(x, y, 1))),
                              std::abs(q.b - int(p.at(x, y, 2))),
                              compareAlpha ? std::abs(q.a - int(p.at(x, y, 3))) : 0});
            if (d > tolerance && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << int(q.r) << " " << int(q.g) << " "
                              << int(q.b) << " " << int(q.a) << " dwebp " << p.at(x, y, 0) << " " << p.at(x, y, 1)
                              << " " << p.at(x, y, 2) << " " << p.at(x, y, 3);
        }
    EXPECT_EQ(bad, 0) << what;
}

// One frame line of `webpmux -info`.
struct MuxFrame {
    uint32_t width, height;
    bool alpha;
    int32_t x, y;
    uint32_t duration;
    bool disposeBackground, blend;
    std::string compression;
};

std::vector<MuxFrame> muxInfo(const fs::path& webp, uint32_t* loopCount = nullptr)
{
    std::istringstream in(runOutput("webpmux -info " + shellQuote(webp.string())));
    std::vector<MuxFrame> frames;
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("Loop Count :");
        if (at != std::string::npos && loopCount) *loopCount = uint32_t(std::stoul(line.substr(at + 12)));
        std::istringstream l(line);
        std::string no, alpha, dispose, blend, size;
        MuxFrame f;
        if (!(l >> no) || no.empty() || no.back() != ':' || no == "No.:") continue;
        if (!(l >> f.width >> f.height >> alpha >> f.x >> f.y >> f.duration >> dispose >> blend >> size >>
              f.compression))
            continue;
        f.alpha = alpha == "yes";
        f.disposeBackground = dispose == "background";
        f.blend = blend == "yes";
        frames.push_back(f);
    }
    return frames;
}

// The frames of an animation checked field by field against webpmux, and
// pixel by pixel against dwebp's decode of each frame taken out by webpmux.
void expectAnimationMatches(const fs::path& webp, const std::string& what)
{
    uint32_t loop = 99;
    auto mux = muxInfo(webp, &loop);
    ASSERT_FALSE(mux.empty()) << what;
    Decoded d = decodeWebpFile(webp);
    ASSERT_EQ(d.rc, RC_OK) << what;
    auto frames = d.frames();
    ASSERT_EQ(frames.size(), mux.size()) << what;
    for (size_t i = 0; i < mux.size(); ++i) {
        std::string w = what + " frame " + std::to_string(i + 1);
        const FrameInfo& fi = frames[i]->frameInfo;
        EXPECT_EQ(frames[i]->width, mux[i].width) << w;
        EXPECT_EQ(frames[i]->height, mux[i].height) << w;
        EXPECT_EQ(fi.x, mux[i].x) << w;
        EXPECT_EQ(fi.y, mux[i].y) << w;
        EXPECT_EQ(fi.duration, mux[i].duration) << w;
        EXPECT_EQ(fi.dispose, mux[i].disposeBackground ? 1 : 0) << w;
        EXPECT_EQ(fi.blend, mux[i].blend ? 1 : 0) << w;
        EXPECT_EQ(fi.loop, loop != 1 ? 1 : 0) << w;
        EXPECT_EQ(frames[i]->alphaKind, mux[i].alpha ? ALPHA_STRAIGHT : ALPHA_NONE) << w;
        fs::path one = webp.string() + "." + std::to_string(i + 1) + ".webp";
        ASSERT_EQ(run("webpmux -get frame " + std::to_string(i + 1) + " " + shellQuote(webp.string()) + " -o " +
                      shellQuote(one.string()) + " >/dev/null 2>&1"),
                  0)
            << w;
        Pnm p;
        ASSERT_TRUE(dwebp(one, p)) << w;
        expectMatches(frames[i], p, 0, w);
    }
}

class WebpFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        QUILLON_REQUIRE_TOOL("cwebp");
        QUILLON_REQUIRE_TOOL("dwebp");
        QUILLON_REQUIRE_TOOL("webpmux");
        ASSERT_EQ(run("convert -seed 2 -size 41x29 plasma:fractal " + q("opaque.png")), 0);
        ASSERT_EQ(run("convert " + q("opaque.png") + " -alpha set -channel A -fx 'i/w' +channel " + q("alpha.png")), 0);
        ASSERT_EQ(
            run("convert " + q("opaque.png") + " -fill '#00ff00' -draw 'rectangle 11,9 20,16' " + q("changed.png")), 0);
    }
    std::string q(const std::string& name) const { return shellQuote((dir / name).string()); }
    fs::path make(const std::string& name, const std::string& command)
    {
        EXPECT_EQ(run("(" + command + ") >/dev/null 2>&1"), 0) << command;
        return dir / name;
    }
    TempDir dir;
};

} // namespace

TEST_F(WebpFiles, StillImagesMatchDwebp)
{
    struct Case {
        const char* name;
        std::string command;
        int tolerance;
        uint32_t bits;
        const char16_t* compression;
    } cases[] = {
        {"ll.webp", "cwebp -lossless " + q("opaque.png") + " -o " + q("ll.webp"), 0, 24, u"Lossless VP8"},
        {"lla.webp", "cwebp -lossless " + q("alpha.png") + " -o " + q("lla.webp"), 0, 32, u"Lossless VP8"},
        {"lossy.webp", "cwebp -q 60 " + q("opaque.png") + " -o " + q("lossy.webp"), 1, 24, u"Lossy VP8"},
        {"lossya.webp", "cwebp -q 60 -alpha_q 50 " + q("alpha.png") + " -o " + q("lossya.webp"), 1, 32,
         u"Lossy VP8"},
        {"lossyraw.webp", "cwebp -q 90 -alpha_method 0 " + q("alpha.png") + " -o " + q("lossyraw.webp"), 1, 32,
         u"Lossy VP8"},
        {"nearll.webp", "cwebp -near_lossless 40 " + q("alpha.png") + " -o " + q("nearll.webp"), 0, 32,
         u"Lossless VP8"},
    };
    for (const Case& c : cases) {
        fs::path f = make(c.name, c.command);
        Decoded d = decodeWebpFile(f);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(dwebp(f, p)) << c.name;
        expectMatches(d.image.get(), p, c.tolerance, c.name);
        EXPECT_EQ(d.reader->bitsPerPixel, c.bits) << c.name;
        EXPECT_EQ(d.image->alphaKind, c.bits == 32 ? ALPHA_STRAIGHT : ALPHA_NONE) << c.name;
        EXPECT_EQ(d.field(INFO_COMPRESSION), c.compression) << c.name;
        EXPECT_EQ(d.frames().size(), 1u) << c.name;
    }
}

TEST_F(WebpFiles, AnimationsKeepOffsetsTimingDisposeBlendAndLoop)
{
    QUILLON_REQUIRE_TOOL("img2webp");
    // Frames placed by hand: odd sizes, even offsets, both disposals, both
    // blends, lossless and lossy with alpha.
    make("f1.webp", "cwebp -lossless " + q("opaque.png") + " -o " + q("f1.webp"));
    make("f2.webp", "convert " + q("alpha.png") + " -crop 13x7+2+3 +repage " + q("s.png") + " && cwebp -q 70 " +
                        q("s.png") + " -o " + q("f2.webp"));
    make("f3.webp", "convert " + q("changed.png") + " -crop 9x11+0+0 +repage " + q("t.png") + " && cwebp -lossless " +
                        q("t.png") + " -o " + q("f3.webp"));
    fs::path placed = make("placed.webp", "webpmux -frame " + q("f1.webp") + " +100+0+0+0+b -frame " + q("f2.webp") +
                                              " +250+12+6+1-b -frame " + q("f3.webp") +
                                              " +17+30+18+0+b -loop 1 -bgcolor 255,10,20,30 -o " + q("placed.webp"));
    expectAnimationMatches(placed, "placed");
    Decoded d = decodeWebpFile(placed);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.field(INFO_COMPRESSION), u"Mixed VP8");
    auto f = d.frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]->frameInfo.canvasWidth, 41u);
    EXPECT_EQ(f[2]->frameInfo.canvasHeight, 29u);
    // The colour is kept for flattening; the canvas itself starts clear.
    EXPECT_EQ(f[1]->frameInfo.backgroundColour, 0x000A141Eu);
    EXPECT_EQ(f[1]->frameInfo.dispose, 1);
    EXPECT_EQ(f[1]->frameInfo.blend, 0);
    EXPECT_EQ(f[0]->frameInfo.loop, 0);

    // Frames the encoder cut down to what changed.
    fs::path chosen = make("chosen.webp", "img2webp -loop 0 -lossless -d 100 " + q("opaque.png") + " -d 250 " +
                                              q("changed.png") + " -lossy -q 70 -d 70 " + q("alpha.png") +
                                              " -lossless -d 40 " + q("changed.png") + " -o " + q("chosen.webp"));
    expectAnimationMatches(chosen, "img2webp");
    auto mux = muxInfo(chosen);
    ASSERT_GE(mux.size(), 2u);
    EXPECT_NE(mux[1].x, 0);  // the case really has a sub-frame
}

TEST_F(WebpFiles, ExifAndXmpChunksReachTheInformation)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    make("ll.webp", "cwebp -lossless " + q("opaque.png") + " -o " + q("ll.webp"));
    make("e.jpg", "convert " + q("opaque.png") + " " + q("e.jpg") +
                      " && exiftool -q -overwrite_original -Artist='Ann Bell' -Make=Quill " + q("e.jpg") +
                      " && exiftool -q -b -exif " + q("e.jpg") + " > " + q("exif.bin"));
    fs::path with = make("m.webp", "webpmux -set exif " + q("exif.bin") + " " + q("ll.webp") + " -o " + q("m.webp"));
    Decoded d = decodeWebpFile(with);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.field(INFO_AUTHOR), u"Ann Bell");
    EXPECT_EQ(d.field(INFO_CAMERA_MAKE), u"Quill");
    // And an XMP packet beside it.
    make("x.xmp", "exiftool -q -o " + q("x.xmp") + " -XMP-dc:Title='Harbour at dawn' " + q("e.jpg"));
    fs::path both = make("mx.webp", "webpmux -set xmp " + q("x.xmp") + " " + q("m.webp") + " -o " + q("mx.webp"));
    Decoded x = decodeWebpFile(both);
    ASSERT_EQ(x.rc, RC_OK);
    EXPECT_EQ(x.field(INFO_TITLE), u"Harbour at dawn");
    EXPECT_EQ(x.field(INFO_AUTHOR), u"Ann Bell");
}

TEST(WebpReader, TruncatedFilesAreReportedAndKeepTheirEarlierRows)
{
    QUILLON_REQUIRE_TOOL("cwebp");
    TempDir dir;
    ASSERT_EQ(run("convert -seed 4 -size 64x96 plasma:fractal " + shellQuote((dir / "a.png").string())), 0);
    for (const char* option : {"-lossless", "-q 80"}) {
        fs::path f = dir / "a.webp";
        ASSERT_EQ(run(std::string("cwebp -quiet ") + option + " " + shellQuote((dir / "a.png").string()) + " -o " +
                      shellQuote(f.string())),
                  0);
        auto whole = readFile(f);
        Decoded full = decodeWebpBytes(whole);
        ASSERT_EQ(full.rc, RC_OK) << option;
        // Cut inside the header chunks.
        for (size_t cut : {12u, 31u}) {
            std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(cut));
            EXPECT_EQ(decodeWebpBytes(part).rc, RC_UNKNOWN_FORMAT) << cut;
        }
        std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(whole.size() * 2 / 3));
        Decoded d = decodeWebpBytes(part);
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << option;
        ASSERT_TRUE(d.image);
        // The first rows decoded as in the whole file; the last ones blank.
        for (uint32_t y = 0; y < 8; ++y)
            EXPECT_EQ(std::memcmp(d.image->row<Rgba8>(y), full.image->row<Rgba8>(y), 64 * 4), 0) << option << y;
        for (uint32_t x = 0; x < 64; ++x) EXPECT_EQ(d.image->row<Rgba8>(95)[x].a, 0) << option;
    }
}

TEST(WebpReader, HostileContainersFailWithTheirCode)
{
    QUILLON_REQUIRE_TOOL("cwebp");
    QUILLON_REQUIRE_TOOL("webpmux");
    TempDir dir;
    setAllocationCap(uint64_t(64) << 20);
    ASSERT_EQ(run("convert -size 9x7 xc:red " + shellQuote((dir / "a.png").string()) + " && cwebp -quiet -lossless " +
                  shellQuote((dir / "a.png").string()) + " -o " + shellQuote((dir / "a.webp").string())),
              0);
    auto simple = readFile(dir / "a.webp");
    ASSERT_EQ(decodeWebpBytes(simple).rc, RC_OK);
    auto chunk = [](const char* tag, const std::vector<uint8_t>& payload) {
        uint32_t n = uint32_t(payload.size());
        std::vector<uint8_t> v = {uint8_t(tag[0]), uint8_t(tag[1]), uint8_t(tag[2]), uint8_t(tag[3]),
                                  uint8_t(n),      uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
        v.insert(v.end(), payload.begin(), payload.end());
        if (n & 1) v.push_back(0);
        return v;
    };
    auto riff = [](const std::vector<uint8_t>& chunks) {
        std::vector<uint8_t> v = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
        uint32_t n = uint32_t(chunks.size() + 4);
        v[4] = uint8_t(n), v[5] = uint8_t(n >> 8), v[6] = uint8_t(n >> 16), v[7] = uint8_t(n >> 24);
        v.insert(v.end(), chunks.begin(), chunks.end());
        return v;
    };
    std::vector<uint8_t> image(simple.begin() + 12, simple.end());  // the VP8L chunk
    std::vector<uint8_t> vp8x = {0x02, 0, 0, 0, 40, 0, 0, 30, 0, 0};
    // A frame whose only content is another frame: nothing nests.
    std::vector<uint8_t> anmfHeader = {0, 0, 0, 0, 0, 0, 8, 0, 0, 6, 0, 0, 100, 0, 0, 0};
    std::vector<uint8_t> inner = anmfHeader;
    inner.insert(inner.end(), image.begin(), image.end());
    std::vector<uint8_t> outer = anmfHeader;
    auto innerChunk = chunk("ANMF", inner);
    outer.insert(outer.end(), innerChunk.begin(), innerChunk.end());
    auto anim = chunk("ANIM", {0, 0, 0, 0, 0, 0});
    auto good = chunk("VP8X", vp8x);
    good.insert(good.end(), anim.begin(), anim.end());
    auto goodFrame = chunk("ANMF", inner);
    auto nested = good;
    auto outerChunk = chunk("ANMF", outer);
    nested.insert(nested.end(), outerChunk.begin(), outerChunk.end());
    good.insert(good.end(), goodFrame.begin(), goodFrame.end());
    EXPECT_EQ(decodeWebpBytes(riff(good)).rc, RC_OK);
    EXPECT_EQ(decodeWebpBytes(riff(nested)).rc, RC_CORRUPT_FILE);

    // A chunk that claims more than the file holds.
    auto lying = riff(chunk("VP8X", {0, 0, 0, 0, 8, 0, 0, 6, 0, 0}));
    auto exif = chunk("EXIF", std::vector<uint8_t>(10, 'x'));
    exif[4] = exif[5] = exif[6] = exif[7] = 0xFF;
    lying.insert(lying.end(), image.begin(), image.end());
    lying.insert(lying.end(), exif.begin(), exif.end());
    lying[12 + 8] = 0x08;  // the Exif flag
    EXPECT_EQ(decodeWebpBytes(lying).rc, RC_CORRUPT_FILE);

    // The probe: a first chunk of another kind, too short a file.
    auto other = riff(chunk("ICCP", std::vector<uint8_t>(24, 0)));
    EXPECT_EQ(webpProbe(Ref<MappedFile>::adopt(memoryStreamCreate(other.data(), other.size(), "x", false)).get()),
              RC_CORRUPT_FILE);
    EXPECT_EQ(decodeWebpBytes(other).rc, RC_CORRUPT_FILE);
    // A lossy header without its start code, and one of 16383 x 16383.
    std::vector<uint8_t> vp8 = {0x10, 0x02, 0x00, 0x9D, 0x01, 0x2A, 8, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    auto lossy = riff(chunk("VP8 ", vp8));
    EXPECT_EQ(decodeWebpBytes(lossy).rc, RC_CORRUPT_FILE);  // the data is no real frame
    auto noStart = vp8;
    noStart[4] = 0x02;
    EXPECT_EQ(decodeWebpBytes(riff(chunk("VP8 ", noStart))).rc, RC_CORRUPT_FILE);
    auto huge = vp8;
    huge[6] = huge[8] = 0xFF;
    huge[7] = huge[9] = 0x3F;
    EXPECT_EQ(decodeWebpBytes(riff(chunk("VP8 ", huge))).rc, RC_OUT_OF_MEMORY);
    setAllocationCap(0);
}

namespace {

// Smooth gradients (lossy coding keeps them close), or with `detail` a
// pattern that wraps around and is hard to compress.
Ref<Image> rgbaImage(uint32_t w, uint32_t h, bool alpha, uint32_t seed = 0, bool detail = true)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img->row<Rgba8>(y)[x] = {uint8_t(x * 4 + seed), uint8_t(y * 6),
                                     uint8_t(detail ? (x * y + seed * 7) & 255 : (x + y) * 2),
                                     uint8_t(alpha ? (detail ? (x * 23 + y * 5) & 255 : 40 + x * 3) : 255)};
    img->alphaKind = alpha ? ALPHA_STRAIGHT : ALPHA_NONE;
    return img;
}

void link(Image* before, Ref<Image> after)
{
    after->frameInfo.prev = before;
    before->frameInfo.next = after.release();
}

ResultCode writeWebp(Image* img, const fs::path& path, const char16_t* sub, uint32_t mask, int32_t quality = 0,
                     bool allFrames = true)
{
    registerAllFormats();
    int32_t i = formatFindByExtension(std::u16string_view(u"webp"), true);
    EXPECT_GE(i, 0);
    const FormatDescriptor* d = formatRegistry().at(i);
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, mask, quality, allFrames, nullptr, nullptr);
}

void expectValid(const fs::path& webp)
{
    std::string out = runOutput("webpinfo " + shellQuote(webp.string()) + " 2>&1");
    EXPECT_NE(out.find("No error detected"), std::string::npos) << out;
}

// The original against dwebp's decode of what was written.
void expectDwebpSees(Image* original, const fs::path& webp, int tolerance, bool alpha, const std::string& what)
{
    Pnm p;
    ASSERT_TRUE(dwebp(webp, p)) << what;
    ASSERT_EQ(p.width, original->width) << what;
    ASSERT_EQ(p.height, original->height) << what;
    double total = 0;
    int worst = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            Rgba8 q = original->row<Rgba8>(y)[x];
            int d = std::max({std::abs(q.r - int(p.at(x, y, 0))), std::abs(q.g - int(p.at(x, y, 1))),
                              std::abs(q.b - int(p.at(x, y, 2)))});
            // Colour under full transparency need not survive.
            if (alpha && q.a == 0) d = 0;
            d = std::max(d, std::abs((alpha ? q.a : 255) - int(p.at(x, y, 3))));
            worst = std::max(worst, d);
            total += d;
        }
    if (tolerance == 0) {
        EXPECT_EQ(worst, 0) << what;
    } else {
        EXPECT_LT(total / (p.width * p.height), tolerance) << what;
    }
}

} // namespace

TEST(WebpWriter, StillImagesReadBackByDwebpAndWebpinfo)
{
    QUILLON_REQUIRE_TOOL("dwebp");
    QUILLON_REQUIRE_TOOL("webpinfo");
    TempDir dir;
    struct Case {
        const char* name;
        bool alpha;
        const char16_t* sub;
        uint32_t mask;
        int32_t quality;
        int tolerance;
        const char* chunk;
    } cases[] = {
        {"ll24", false, u"Lossless", CF_RGB24, 0, 0, "VP8L"},
        {"ll32", true, u"Lossless", CF_RGBA32, 0, 0, "VP8L"},
        {"q90", false, u"Lossy, by Quality:", CF_RGB24, 90, 4, "VP8 "},
        {"q90a", true, u"Lossy, by Quality:", CF_RGBA32, 90, 4, "VP8X"},
        {"q5", false, u"Lossy, by Quality:", CF_RGB24, 5, 25, "VP8 "},
    };
    for (const Case& c : cases) {
        Ref<Image> img = rgbaImage(53, 37, c.alpha, 0, c.tolerance == 0);
        fs::path out = dir / (std::string(c.name) + ".webp");
        ASSERT_EQ(writeWebp(img.get(), out, c.sub, c.mask, c.quality), RC_OK) << c.name;
        expectValid(out);
        expectDwebpSees(img.get(), out, c.tolerance, c.alpha, c.name);
        auto bytes = readFile(out);
        // Without metadata the library's own file, simple unless alpha
        // needs the extended one.
        EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), c.chunk) << c.name;
        Decoded d = decodeWebpBytes(bytes);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(dwebp(out, p));
        expectMatches(d.image.get(), p, 1, c.name);
    }
    // A lower quality gives a smaller file.
    EXPECT_LT(fs::file_size(dir / "q5.webp"), fs::file_size(dir / "q90.webp"));
}

TEST(WebpWriter, MetadataBecomesExifAndXmpChunks)
{
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("webpinfo");
    TempDir dir;
    Ref<Image> img = rgbaImage(20, 10, false);
    img->info()->set(INFO_TITLE, u"Harbour at dawn");
    img->info()->set(INFO_AUTHOR, u"Ann Bell");
    img->info()->set(INFO_COPYRIGHT, u"CC BY");
    img->info()->set(INFO_CAMERA_MAKE, u"Quill");
    img->info()->set(INFO_CAMERA_MODEL, u"One");
    fs::path out = dir / "m.webp";
    ASSERT_EQ(writeWebp(img.get(), out, u"Lossless", CF_RGB24), RC_OK);
    expectValid(out);
    fs::path exif = dir / "exif.bin";
    ASSERT_EQ(run("webpmux -get exif " + shellQuote(out.string()) + " -o " + shellQuote(exif.string()) + " >/dev/null"),
              0);
    std::string tags = runOutput("exiftool -s -Artist -Make -Copyright " + shellQuote(exif.string()));
    EXPECT_NE(tags.find("Ann Bell"), std::string::npos) << tags;
    EXPECT_NE(tags.find("Quill"), std::string::npos) << tags;
    Decoded d = decodeWebpFile(out);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.field(INFO_AUTHOR), u"Ann Bell");
    EXPECT_EQ(d.field(INFO_TITLE), u"Harbour at dawn");
    std::string xmpTags = runOutput("exiftool -s -XMP:Title " + shellQuote(out.string()));
    EXPECT_NE(xmpTags.find("Harbour at dawn"), std::string::npos) << xmpTags;
    expectDwebpSees(img.get(), out, 0, false, "with metadata");
    // The packet the XMP builder makes for this record is stored as it is.
    XmpBuildState counter;
    size_t n = xmpBuild(counter, img->info());
    ASSERT_GT(n, 0u);
    fs::path xmp = dir / "xmp.bin";
    ASSERT_EQ(
        run("webpmux -get xmp " + shellQuote(out.string()) + " -o " + shellQuote(xmp.string()) + " >/dev/null"), 0);
    std::vector<uint8_t> packet(n);
    XmpBuildState filler(packet.data());
    xmpBuild(filler, img->info());
    EXPECT_EQ(readFile(xmp), packet);
}

TEST(WebpWriter, AnimationsKeepTheirFieldsAndPadOddOffsets)
{
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL("webpinfo");
    QUILLON_REQUIRE_TOOL("dwebp");
    TempDir dir;
    Ref<Image> a = rgbaImage(30, 20, false, 1);
    Ref<Image> b = rgbaImage(11, 7, true, 2);
    Ref<Image> c = rgbaImage(9, 9, true, 3);
    a->frameInfo.canvasWidth = 30;
    a->frameInfo.canvasHeight = 20;
    a->frameInfo.loop = 1;
    a->frameInfo.duration = 120;
    a->frameInfo.backgroundColour = 0xFF102030;
    a->frameInfo.dispose = 1;
    b->frameInfo = {0, 0, 0xFF102030, 0, 3, 4, 0x2000000, 0, 0};  // odd x, a duration past 24 bits
    c->frameInfo = {0, 0, 0, 0, 26, 15, 40, 1, 1};          // past the canvas
    Image *bp = b.get(), *cp = c.get();
    link(a.get(), b);
    link(bp, c);
    fs::path out = dir / "anim.webp";
    ASSERT_EQ(writeWebp(a.get(), out, u"Lossless", CF_RGBA32), RC_OK);
    expectValid(out);
    uint32_t loop = 99;
    auto mux = muxInfo(out, &loop);
    ASSERT_EQ(mux.size(), 3u);
    EXPECT_EQ(loop, 0u);
    std::string info = runOutput("webpmux -info " + shellQuote(out.string()));
    EXPECT_NE(info.find("Canvas size: 35 x 24"), std::string::npos) << info;
    EXPECT_NE(info.find("Background color : 0xFF102030"), std::string::npos) << info;
    EXPECT_EQ(mux[0].duration, 120u);
    EXPECT_TRUE(mux[0].disposeBackground);
    // Placed at 2 with a column of padding, which replaces the canvas there
    // (the frame does not blend) with what the canvas holds: nothing, as the
    // frame before it is disposed of.
    EXPECT_EQ(mux[1].x, 2);
    EXPECT_EQ(mux[1].y, 4);
    EXPECT_EQ(mux[1].width, 12u);
    EXPECT_EQ(mux[1].duration, 0xFFFFFFu);
    EXPECT_FALSE(mux[1].blend);
    EXPECT_EQ(mux[2].x, 26);
    EXPECT_EQ(mux[2].y, 14);
    EXPECT_EQ(mux[2].height, 10u);
    EXPECT_TRUE(mux[2].blend);
    EXPECT_TRUE(mux[2].disposeBackground);
    // Each frame's pixels as dwebp sees them.
    Image* frames[] = {a.get(), bp, cp};
    int32_t padX[] = {0, 1, 0}, padY[] = {0, 0, 1};
    for (int i = 0; i < 3; ++i) {
        fs::path one = dir / ("f" + std::to_string(i) + ".webp");
        ASSERT_EQ(run("webpmux -get frame " + std::to_string(i + 1) + " " + shellQuote(out.string()) + " -o " +
                      shellQuote(one.string()) + " >/dev/null"),
                  0);
        Pnm p;
        ASSERT_TRUE(dwebp(one, p));
        ASSERT_EQ(p.width, frames[i]->width + uint32_t(padX[i])) << i;
        for (uint32_t y = 0; y < frames[i]->height; ++y)
            for (uint32_t x = 0; x < frames[i]->width; ++x) {
                Rgba8 q = frames[i]->row<Rgba8>(y)[x];
                uint32_t px = x + uint32_t(padX[i]), py = y + uint32_t(padY[i]);
                ASSERT_EQ(p.at(px, py, 3), q.a) << i << " " << x << "," << y;
                if (q.a) {
                    ASSERT_EQ(p.at(px, py, 0), q.r) << i << " " << x << "," << y;
                }
            }
        if (i == 1) {
            EXPECT_EQ(p.at(0, 0, 3), 0u);
        } else if (i == 2) {
            EXPECT_EQ(p.at(0, 0, 3), 0u);
        }
    }
    // Our own reader agrees.
    Decoded d = decodeWebpFile(out);
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_EQ(d.frames().size(), 3u);
    EXPECT_EQ(d.frames()[1]->frameInfo.x, 2);
    // The head frame alone when not every frame is asked for.
    ASSERT_EQ(writeWebp(a.get(), out, u"Lossless", CF_RGBA32, 0, false), RC_OK);
    EXPECT_EQ(muxInfo(out).size(), 0u);
    EXPECT_EQ(decodeWebpFile(out).frames().size(), 1u);
}

TEST(WebpWriter, FailuresAreReported)
{
    TempDir dir;
    Ref<Image> img = rgbaImage(300, 200, false);
    EXPECT_EQ(writeWebp(img.get(), dir / "no" / "x.webp", u"Lossless", CF_RGB24), RC_CREATE_FAILED);
    EXPECT_EQ(writeWebp(img.get(), dir / "x.webp", u"Lossless", CF_RGB48), RC_UNSUPPORTED_COLOUR_FORMAT);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(writeWebp(img.get(), "/dev/full", u"Lossless", CF_RGB24), RC_WRITE_FAILED);
        img->info()->set(INFO_AUTHOR, u"Ann Bell");
        img->info()->set(INFO_CAMERA_MAKE, u"Quill");
        img->info()->set(INFO_CAMERA_MODEL, u"One");
        EXPECT_EQ(writeWebp(img.get(), "/dev/full", u"Lossy, by Quality:", CF_RGB24, 50), RC_WRITE_FAILED);
    }
}

TEST(WebpWriter, AnimationsCrossBetweenGifAndWebp)
{
    QUILLON_REQUIRE_TOOL("gifsicle");
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    auto p = [&](const char* name) { return shellQuote((dir / name).string()); };
    ASSERT_EQ(run("convert -seed 3 -size 31x21 plasma:fractal -colors 32 " + p("a.gif") +
                  " && convert -size 9x5 xc:red -fill blue -draw 'point 3,2' -transparent red " + p("b.gif") +
                  " && gifsicle --loopcount=0 --delay 8 " + p("a.gif") + " --delay 30 --disposal background " +
                  "--position 7,3 " + p("b.gif") + " > " + p("anim.gif")),
              0);
    registerAllFormats();
    auto convertTo = [&](const fs::path& from, const fs::path& to, const char16_t* sub, uint32_t mask) {
        Decoded d = decodeWebpFile(from);
        EXPECT_EQ(d.rc, RC_OK);
        if (failed(d.rc)) return d;
        const FormatDescriptor* desc = formatRegistry().at(formatFindByExtension(to, true));
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(desc->createWriter(to, desc));
        EXPECT_EQ(w->write(d.image.get(), sub, mask, 0, true, nullptr, nullptr), RC_OK);
        return d;
    };
    Decoded gif = convertTo(dir / "anim.gif", dir / "anim.webp", u"Lossless", CF_AUTO);
    expectValid(dir / "anim.webp");
    uint32_t loop = 99;
    auto mux = muxInfo(dir / "anim.webp", &loop);
    ASSERT_EQ(mux.size(), 2u);
    EXPECT_EQ(loop, 0u);
    EXPECT_EQ(mux[0].duration, 80u);
    EXPECT_EQ(mux[1].duration, 300u);
    EXPECT_EQ(mux[1].x, 6);  // 7, padded by a column
    EXPECT_EQ(mux[1].y, 2);
    EXPECT_TRUE(mux[1].alpha);
    EXPECT_TRUE(mux[1].disposeBackground);
    // The frames' pixels survive: the GIF's second frame inside the padding.
    Decoded webp = decodeWebpFile(dir / "anim.webp");
    ASSERT_EQ(webp.rc, RC_OK);
    auto wf = webp.frames();
    ASSERT_EQ(wf.size(), 2u);
    Ref<Image> g1 = Ref<Image>::adopt(imageConvertNew(gif.frames()[1], false, false, PF_RGBA8));
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 9; ++x) {
            Rgba8 a = g1->row<Rgba8>(y)[x], b = wf[1]->row<Rgba8>(y + 1)[x + 1];
            ASSERT_EQ(a.a, b.a) << x << "," << y;
            if (a.a) {
                ASSERT_EQ(a.b, b.b) << x << "," << y;
            }
        }

    // And back to GIF: two frames, the same timing and placement.
    convertTo(dir / "anim.webp", dir / "back.gif", u"Normal", CF_AUTO);
    std::string info = runOutput("gifsicle --info " + p("back.gif"));
    EXPECT_NE(info.find("2 images"), std::string::npos) << info;
    EXPECT_NE(info.find("loop forever"), std::string::npos) << info;
    EXPECT_NE(info.find("at 6,2"), std::string::npos) << info;
    EXPECT_NE(info.find("delay 0.30s"), std::string::npos) << info;
}
