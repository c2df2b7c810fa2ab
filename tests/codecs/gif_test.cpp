// GIF reading against files made by ImageMagick, netpbm and gifsicle, decoded
// by giftopnm and ImageMagick; hand-built streams for the LZW corner cases and
// hostile headers; writing read back by giftopnm, ImageMagick and gifsicle.
#include "codecs/more/gif.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/format_table.h"
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
Decoded decodeGifBytes(const std::vector<uint8_t>& bytes, bool allFrames = true)
{
    return decodeBytesFull(bytes, "input.gif", allFrames);
}

Decoded decodeGifFile(const fs::path& path) { return decodeGifBytes(readFile(path)); }

// The oracle's decode of image `index` as 8-bit RGBA: giftopnm for the
// colours, its alpha output for the transparency.
bool oracleFrame(const fs::path& gif, int index, Pnm& rgb, Pnm& alpha)
{
    std::string base = gif.string() + "." + std::to_string(index);
    std::string cmd = "giftopnm --image=" + std::to_string(index + 1) + " --alphaout=" + shellQuote(base + ".a.pgm") +
                      " " + shellQuote(gif.string()) + " > " + shellQuote(base + ".ppm") + " 2>/dev/null";
    if (run(cmd) != 0 || !readPnm(base + ".ppm", rgb)) return false;
    if (!readPnm(base + ".a.pgm", alpha)) alpha = Pnm();
    return true;
}

void expectFrameEquals(Image* frame, const Pnm& rgb, const Pnm& alpha, const std::string& what)
{
    ASSERT_TRUE(frame) << what;
    Ref<Image> rgba = Ref<Image>::adopt(imageConvertNew(frame, false, false, PF_RGBA8));
    ASSERT_TRUE(rgba) << what;
    ASSERT_EQ(rgba->width, rgb.width) << what;
    ASSERT_EQ(rgba->height, rgb.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < rgb.height; ++y)
        for (uint32_t x = 0; x < rgb.width; ++x) {
            Rgba8 q = rgba->row<Rgba8>(y)[x];
            bool transparent = alpha.width && alpha.at(x, y, 0) == 0;
            bool ok = transparent ? q.a == 0
                                  : q.a == 255 && q.r == rgb.at(x, y, 0) && q.g == rgb.at(x, y, 1) &&
                                        q.b == rgb.at(x, y, 2);
            if (!ok && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << int(q.r) << " " << int(q.g) << " "
                              << int(q.b) << " " << int(q.a) << " oracle " << rgb.at(x, y, 0) << " "
                              << rgb.at(x, y, 1) << " " << rgb.at(x, y, 2);
        }
    EXPECT_EQ(bad, 0) << what;
}

// Every frame of `gif` equal to giftopnm's decode of the same image.
void expectAllFramesMatchOracle(const fs::path& gif, const std::string& what, size_t wantFrames = 0)
{
    Decoded d = decodeGifFile(gif);
    ASSERT_EQ(d.rc, RC_OK) << what;
    auto frames = d.frames();
    if (wantFrames) {
        EXPECT_EQ(frames.size(), wantFrames) << what;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        Pnm rgb, alpha;
        ASSERT_TRUE(oracleFrame(gif, int(i), rgb, alpha)) << what << " frame " << i;
        expectFrameEquals(frames[i], rgb, alpha, what + " frame " + std::to_string(i));
    }
}

void le16(std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8)); }

// A reference LZW coder of the tests' own: a dictionary of strings, codes
// packed least significant bit first. With clearWhenFull it starts over once
// 4096 codes exist; without, it keeps coding with the full table.
std::vector<uint8_t> referenceLzw(const std::vector<uint8_t>& pixels, uint32_t minSize, bool clearWhenFull)
{
    std::vector<uint8_t> bytes;
    uint32_t acc = 0, nbits = 0;
    uint32_t clear = 1u << minSize, width = minSize + 1, next = clear + 2;
    std::map<std::string, uint32_t> dict;
    auto reset = [&] {
        dict.clear();
        for (uint32_t i = 0; i < clear; ++i) dict[std::string(1, char(i))] = i;
        next = clear + 2;
        width = minSize + 1;
    };
    auto put = [&](uint32_t code) {
        acc |= code << nbits;
        nbits += width;
        while (nbits >= 8) bytes.push_back(uint8_t(acc)), acc >>= 8, nbits -= 8;
    };
    reset();
    put(clear);
    std::string w;
    for (uint8_t p : pixels) {
        std::string wc = w + char(p);
        if (dict.count(wc)) {
            w = wc;
            continue;
        }
        put(dict[w]);
        if (next < 4096) {
            dict[wc] = next++;
            if (next - 1 == (1u << width) && width < 12) ++width;
        } else if (clearWhenFull) {
            put(clear);
            reset();
        }
        w = std::string(1, char(p));
    }
    put(dict[w]);
    put(clear + 1);
    if (nbits) bytes.push_back(uint8_t(acc));
    std::vector<uint8_t> out = {uint8_t(minSize)};
    for (size_t i = 0; i < bytes.size(); i += 255) {
        size_t n = std::min<size_t>(255, bytes.size() - i);
        out.push_back(uint8_t(n));
        out.insert(out.end(), bytes.begin() + ptrdiff_t(i), bytes.begin() + ptrdiff_t(i + n));
    }
    out.push_back(0);
    return out;
}

// A one-image GIF89a of a grey table of 2^bits entries around `data`.
std::vector<uint8_t> gifAround(uint32_t w, uint32_t h, uint32_t bits, const std::vector<uint8_t>& data,
                               const std::vector<uint8_t>& extensions = {})
{
    std::vector<uint8_t> v = {'G', 'I', 'F', '8', '9', 'a'};
    le16(v, w);
    le16(v, h);
    v.push_back(uint8_t(0x80 | (bits - 1) << 4 | (bits - 1)));
    v.push_back(0);
    v.push_back(0);
    for (uint32_t i = 0; i < (1u << bits); ++i) {
        uint8_t g = uint8_t(i * 255 / ((1u << bits) - 1));
        v.insert(v.end(), {g, uint8_t(255 - g), uint8_t(i * 7)});
    }
    v.insert(v.end(), extensions.begin(), extensions.end());
    v.push_back(',');
    le16(v, 0);
    le16(v, 0);
    le16(v, w);
    le16(v, h);
    v.push_back(0);
    v.insert(v.end(), data.begin(), data.end());
    v.push_back(';');
    return v;
}

std::vector<uint8_t> noisePixels(uint32_t count, uint32_t colours, uint32_t seed)
{
    std::vector<uint8_t> px(count);
    uint32_t s = seed;
    for (uint32_t i = 0; i < count; ++i) {
        s = s * 1103515245u + 12345u;
        // Mostly runs with noise between them, so strings grow long.
        px[i] = uint8_t(((s >> 16) % 5 == 0 ? (s >> 8) : i / 7) % colours);
    }
    return px;
}

void expectIndices(Image* img, const std::vector<uint8_t>& px, const std::string& what)
{
    ASSERT_TRUE(img) << what;
    ASSERT_EQ(img->pixelFormat, PF_INDEXED8) << what;
    int bad = 0;
    for (uint32_t y = 0; y < img->height; ++y)
        for (uint32_t x = 0; x < img->width; ++x)
            if (img->row<uint8_t>(y)[x] != px[size_t(y) * img->width + x] && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y;
    EXPECT_EQ(bad, 0) << what;
}

class GifFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        QUILLON_REQUIRE_TOOL("giftopnm");
        src = dir / "src.ppm";
        // Rich enough in colours to fill a 256-entry table.
        ASSERT_EQ(run("convert -seed 5 -size 61x37 plasma:fractal -fill '#20c040' -draw 'circle 20,18 30,22' "
                      "-depth 8 " +
                      shellQuote(src.string())),
                  0);
    }
    fs::path make(const std::string& name, const std::string& command)
    {
        fs::path out = dir / name;
        std::string cmd = command;
        for (size_t at; (at = cmd.find("SRC")) != std::string::npos;) cmd.replace(at, 3, shellQuote(src.string()));
        for (size_t at; (at = cmd.find("OUT")) != std::string::npos;) cmd.replace(at, 3, shellQuote(out.string()));
        EXPECT_EQ(run(cmd), 0) << cmd;
        return out;
    }
    TempDir dir;
    fs::path src;
};

} // namespace

TEST_F(GifFiles, StillImagesOfEveryCodeSizeAndLayoutMatchGiftopnm)
{
    QUILLON_REQUIRE_TOOL("pamtogif");
    struct Case {
        const char* name;
        const char* command;
    } cases[] = {
        {"c2.gif", "convert SRC -colors 2 OUT"},
        {"c4.gif", "convert SRC -colors 4 OUT"},
        {"c8.gif", "convert SRC -colors 8 OUT"},
        {"c16.gif", "convert SRC -colors 16 OUT"},
        {"c32.gif", "convert SRC -colors 32 OUT"},
        {"c64.gif", "convert SRC -colors 64 OUT"},
        {"c128.gif", "convert SRC -colors 128 OUT"},
        {"c256.gif", "convert SRC -colors 256 OUT"},
        {"interlaced.gif", "convert SRC -colors 200 -interlace GIF OUT"},
        {"interlaced3.gif", "convert SRC -crop 61x3+0+0 +repage -colors 9 -interlace GIF OUT"},
        {"pamtogif.gif", "pnmquant 100 SRC 2>/dev/null | pamtogif > OUT"},
        {"pamtogif-il.gif", "pnmquant 7 SRC 2>/dev/null | pamtogif -interlace > OUT"},
        {"pamtogif-raw.gif", "pnmquant 30 SRC 2>/dev/null | pamtogif -nolzw > OUT"},
        {"transparent.gif", "convert SRC -fuzz 20% -transparent red -colors 50 OUT"},
        {"flat.gif", "convert -size 300x40 xc:'#336699' OUT"},
    };
    for (const Case& c : cases) {
        fs::path f = make(c.name, c.command);
        expectAllFramesMatchOracle(f, c.name, 1);
    }
    // The code sizes really were 2 to 8: the first byte of the data.
    for (uint32_t colours : {2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u}) {
        auto bytes = readFile(dir / ("c" + std::to_string(colours) + ".gif"));
        uint32_t bits = (bytes[10] & 7) + 1;
        EXPECT_EQ(1u << bits, colours);
    }
    Decoded d = decodeGifFile(dir / "interlaced.gif");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMPRESSION)), u"LZW");
}

TEST_F(GifFiles, AnimationsKeepLocalTablesOffsetsTimingDisposalAndLoop)
{
    QUILLON_REQUIRE_TOOL("gifsicle");
    make("a.gif", "convert SRC -colors 16 OUT");
    make("b.gif", "convert SRC -rotate 180 -crop 30x20+5+9 +repage -colors 64 OUT");
    make("c.gif", "convert -size 20x11 xc:red -fill blue -draw 'rectangle 5,3 12,8' -transparent red OUT");
    fs::path a = dir / "a.gif", b = dir / "b.gif", c = dir / "c.gif";
    fs::path anim = dir / "anim.gif";
    ASSERT_EQ(run("gifsicle --loopcount=0 --delay 7 " + shellQuote(a.string()) +
                  " --delay 25 --disposal background --position 9,4 " + shellQuote(b.string()) +
                  " --delay 100 --disposal previous --position 31,17 " + shellQuote(c.string()) + " > " +
                  shellQuote(anim.string())),
              0);
    expectAllFramesMatchOracle(anim, "anim", 3);
    Decoded d = decodeGifFile(anim);
    ASSERT_EQ(d.rc, RC_OK);
    auto f = d.frames();
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0]->frameInfo.duration, 70u);
    EXPECT_EQ(f[1]->frameInfo.duration, 250u);
    EXPECT_EQ(f[2]->frameInfo.duration, 1000u);
    EXPECT_EQ(f[1]->frameInfo.dispose, 1);
    EXPECT_EQ(f[2]->frameInfo.dispose, 2);
    EXPECT_EQ(f[1]->frameInfo.x, 9);
    EXPECT_EQ(f[1]->frameInfo.y, 4);
    EXPECT_EQ(f[2]->frameInfo.x, 31);
    EXPECT_EQ(f[2]->frameInfo.y, 17);
    EXPECT_EQ(f[1]->width, 30u);
    EXPECT_EQ(f[1]->height, 20u);
    EXPECT_EQ(f[2]->frameInfo.blend, 1);
    EXPECT_EQ(f[1]->frameInfo.blend, 0);
    for (Image* frame : f) {
        EXPECT_EQ(frame->frameInfo.loop, 1);
        EXPECT_EQ(frame->frameInfo.canvasWidth, 61u);
        EXPECT_EQ(frame->frameInfo.canvasHeight, 37u);
    }
    // Loop count 1 plays once; without the block it does not loop either.
    fs::path once = dir / "once.gif", none = dir / "none.gif";
    ASSERT_EQ(run("gifsicle --loopcount=1 " + shellQuote(anim.string()) + " > " + shellQuote(once.string())), 0);
    ASSERT_EQ(run("gifsicle --no-loopcount " + shellQuote(anim.string()) + " > " + shellQuote(none.string())), 0);
    for (const fs::path& p : {once, none}) {
        Decoded e = decodeGifFile(p);
        ASSERT_EQ(e.rc, RC_OK);
        for (Image* frame : e.frames()) EXPECT_EQ(frame->frameInfo.loop, 0) << p;
    }
    // The user-input flag ends a page: frames after it are the next page.
    auto bytes = readFile(anim);
    size_t gce = 0;
    int seen = 0;
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0x21 && bytes[i + 1] == 0xF9 && bytes[i + 2] == 4 && ++seen == 2) {
            gce = i;
            break;
        }
    ASSERT_NE(gce, 0u);
    bytes[gce + 3] |= 2;
    Decoded p = decodeGifBytes(bytes);
    ASSERT_EQ(p.rc, RC_OK);
    auto pf = p.frames();
    ASSERT_EQ(pf.size(), 3u);
    EXPECT_EQ(pf[1]->frameInfo.duration, kPageEndDuration);
    EXPECT_EQ(std::u16string(pf[0]->info()->get(INFO_PAGE)), u"1:2");
    EXPECT_EQ(std::u16string(pf[2]->info()->get(INFO_PAGE)), u"2:2");
}

TEST(GifLzw, CornerCasesDecodeAsImageMagickDoes)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    struct Case {
        const char* name;
        uint32_t w, h, bits;
        std::vector<uint8_t> pixels;
        bool clearWhenFull;
    } cases[] = {
        // One colour: every string after the first few is the KwKwK case.
        {"kwkwk", 97, 13, 2, std::vector<uint8_t>(97 * 13, 1), true},
        // Long enough to fill the table: coded on with the full table, and
        // with clear codes.
        {"full-no-clear", 300, 120, 4, noisePixels(300 * 120, 16, 7), false},
        {"full-clear", 300, 120, 4, noisePixels(300 * 120, 16, 7), true},
        {"full-8bit", 256, 256, 8, noisePixels(256 * 256, 256, 3), false},
        {"bits2", 41, 29, 2, noisePixels(41 * 29, 3, 11), false},
    };
    for (const Case& c : cases) {
        auto data = referenceLzw(c.pixels, std::max(2u, c.bits), c.clearWhenFull);
        auto bytes = gifAround(c.w, c.h, c.bits, data);
        Decoded d = decodeGifBytes(bytes);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        expectIndices(d.image.get(), c.pixels, c.name);
        // ImageMagick reads the same colours from the same bytes.
        fs::path f = dir / (std::string(c.name) + ".gif");
        writeFile(f, bytes);
        fs::path pam = dir / (std::string(c.name) + ".pam");
        ASSERT_EQ(run("convert " + shellQuote(f.string()) + " -depth 8 pam:" + shellQuote(pam.string())), 0);
        Pnm p;
        ASSERT_TRUE(readPnm(pam, p));
        Pnm none;
        expectFrameEquals(d.image.get(), p, none, c.name);
    }
}

TEST(GifLzw, ImpossibleCodesAndSizesStopAtTheImage)
{
    std::vector<uint8_t> px = noisePixels(40 * 30, 4, 5);
    auto good = referenceLzw(px, 2, true);
    std::vector<uint8_t> out(px.size() + 8192, 0xEE);
    EXPECT_EQ(gifLzwDecode(out.data(), px.size(), good.data(), good.size()), px.size());
    // Nothing is written past the image, however long the last string.
    std::fill(out.begin(), out.end(), 0xEE);
    std::vector<uint8_t> flat(5000, 3);
    auto runs = referenceLzw(flat, 2, true);
    EXPECT_EQ(gifLzwDecode(out.data(), 10, runs.data(), runs.size()), 10u);
    EXPECT_EQ(out[10], 0xEE);
    // Minimum code sizes outside 2..11 decode nothing.
    for (uint8_t bad : {0, 1, 12, 200}) {
        auto copy = good;
        copy[0] = bad;
        EXPECT_EQ(gifLzwDecode(out.data(), px.size(), copy.data(), copy.size()), 0u) << int(bad);
    }
    // A code above the next free one ends decoding: clear (4), then 1, then
    // code 7 while the next free code is 6.
    std::vector<uint8_t> jump = {2, 2, uint8_t(4 | 1 << 3 | (7 & 3) << 6), uint8_t(7 >> 2), 0};
    EXPECT_EQ(gifLzwDecode(out.data(), 100, jump.data(), jump.size()), 1u);
}

TEST(GifReader, TruncatedFilesAreReportedAndKeepTheirEarlierRows)
{
    std::vector<uint8_t> px = noisePixels(64 * 48, 16, 9);
    auto whole = gifAround(64, 48, 4, referenceLzw(px, 4, true));
    ASSERT_EQ(decodeGifBytes(whole).rc, RC_OK);
    // Cut inside the screen or table: the header says so.
    for (size_t cut : {14u, 20u, 13u + 47u}) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(cut));
        EXPECT_EQ(decodeGifBytes(part).rc, RC_CORRUPT_FILE) << cut;
    }
    // Cut inside the pixel data: reported, and what was there is kept.
    size_t dataStart = 13 + 48 + 10;
    std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(dataStart + (whole.size() - dataStart) / 2));
    Decoded d = decodeGifBytes(part);
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    for (uint32_t y = 0; y < 10; ++y)
        for (uint32_t x = 0; x < 64; ++x) ASSERT_EQ(d.image->row<uint8_t>(y)[x], px[y * 64 + x]) << x << "," << y;
    for (uint32_t x = 0; x < 64; ++x) EXPECT_EQ(d.image->row<uint8_t>(47)[x], 0);
    // Cut inside an extension after the image: what followed is lost.
    auto ext = whole;
    ext.pop_back();
    ext.insert(ext.end(), {0x21, 0xFE, 10, 'a', 'b'});
    EXPECT_EQ(decodeGifBytes(ext).rc, RC_CORRUPT_FILE);
    // A file that simply ends after the image's data still reads.
    auto noTrailer = whole;
    noTrailer.pop_back();
    EXPECT_EQ(decodeGifBytes(noTrailer).rc, RC_OK);
}

TEST(GifReader, HostileHeadersFailWithTheirCode)
{
    setAllocationCap(uint64_t(64) << 20);
    std::vector<uint8_t> px(8 * 8, 1);
    auto whole = gifAround(8, 8, 2, referenceLzw(px, 2, true));
    size_t desc = 13 + 12;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"trailer first", {'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0, 0, 0, ';'}, RC_CORRUPT_FILE},
        {"no signature", {'G', 'I', 'X', '8', '9', 'a', 8, 0, 8, 0, 0, 0, 0, ';'}, RC_UNKNOWN_FORMAT},
        {"stray byte", {'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0, 0, 0, 'x', ';'}, RC_CORRUPT_FILE},
        {"table past the end", {'G', 'I', 'F', '8', '9', 'a', 8, 0, 8, 0, 0x87, 0, 0, 1, 2, 3}, RC_CORRUPT_FILE},
    };
    for (const Case& c : cases) EXPECT_EQ(decodeGifBytes(c.bytes).rc, c.rc) << c.name;
    // A zero-sized image.
    auto zero = whole;
    zero[6] = zero[8] = 0;
    zero[desc + 5] = zero[desc + 7] = 0;
    EXPECT_EQ(decodeGifBytes(zero).rc, RC_CORRUPT_FILE);
    // A few bytes of data claiming 2000 x 2000 or 65535 x 65535: more than
    // LZW could ever make of them, so damaged, and refused before any image
    // is made; as a later frame, the animation ends before it.
    for (uint32_t side : {2000u, 65535u}) {
        auto huge = whole;
        huge[desc + 5] = huge[desc + 7] = uint8_t(side);
        huge[desc + 6] = huge[desc + 8] = uint8_t(side >> 8);
        Decoded d = decodeGifBytes(huge);
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << side;
        EXPECT_EQ(d.image.get(), nullptr) << side;
        auto second = whole;
        second.pop_back();
        second.insert(second.end(), huge.begin() + ptrdiff_t(desc), huge.end());
        d = decodeGifBytes(second);
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << side;
        ASSERT_EQ(d.frames().size(), 1u) << side;
        expectIndices(d.image.get(), px, "first frame");
    }
    // Data enough to fill its size: it reaches the cap.
    setAllocationCap(uint64_t(256) << 10);
    std::vector<uint8_t> noise = noisePixels(600 * 500, 16, 3);
    EXPECT_EQ(decodeGifBytes(gifAround(600, 500, 4, referenceLzw(noise, 4, true))).rc, RC_OUT_OF_MEMORY);
    setAllocationCap(uint64_t(64) << 20);
    // A local table that runs past the end of the file.
    auto local = whole;
    local[desc + 9] = 0x87;
    local.resize(desc + 10 + 30);
    EXPECT_EQ(decodeGifBytes(local).rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
    // A file of 70,000 one-pixel images: the chain stops at its cap.
    auto many = whole;
    many.pop_back();
    std::vector<uint8_t> one = {',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x4C, 0x01, 0};
    for (int i = 0; i < 70000; ++i) many.insert(many.end(), one.begin(), one.end());
    many.push_back(';');
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(many.data(), many.size(), "many.gif", false));
    Ref<ImageReader> reader;
    ASSERT_EQ(imageSourceOpen(reader, src.get(), true), RC_OK);
    uint32_t chain = 0;
    for (ImageReader* r = reader.get(); r; r = r->nextFrame()) ++chain;
    EXPECT_EQ(chain, ImageReader::kMaxFrames);
}

TEST(GifReader, ControlBlockCommentAndBackgroundApplyWhereTheyBelong)
{
    std::vector<uint8_t> px(4 * 2, 1);
    auto data = referenceLzw(px, 2, true);
    // Transparent index 1, then a comment in two sub-blocks with a byte of
    // Windows-1252's upper range.
    std::vector<uint8_t> ext = {0x21, 0xF9, 4, 0x09, 3, 0, 1, 0, 0x21, 0xFE, 3, 'a', 0x80, 'b', 2, 'c', 'd', 0};
    auto bytes = gifAround(4, 2, 2, data, ext);
    bytes[11] = 2;  // background index
    // A second image without its own control block.
    bytes.pop_back();
    bytes.insert(bytes.end(), {',', 0, 0, 0, 0, 4, 0, 2, 0, 0});
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(';');
    Decoded d = decodeGifBytes(bytes);
    ASSERT_EQ(d.rc, RC_OK);
    auto f = d.frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0]->palette()[1] >> 24, 0u);
    EXPECT_EQ(f[0]->frameInfo.duration, 30u);
    EXPECT_EQ(f[0]->frameInfo.dispose, 1);
    EXPECT_EQ(f[0]->alphaKind, ALPHA_STRAIGHT);
    // The control block was used up by the first image.
    EXPECT_EQ(f[1]->palette()[1] >> 24, 0xFFu);
    EXPECT_EQ(f[1]->frameInfo.duration, 0u);
    EXPECT_EQ(std::u16string(f[0]->info()->get(INFO_COMMENTS)), u"a\u20acbcd");
    // Background: entry 2 of the grey table, see-through beside a first
    // image that has a transparent colour.
    EXPECT_EQ(f[0]->frameInfo.backgroundColour, (170u << 16) | (85u << 8) | 14u);
}

namespace {

// A palette image of `colours` distinct entries (entry `transparent` fully
// transparent when it is not -1) with runs and noise.
Ref<Image> paletteImage(uint32_t w, uint32_t h, uint32_t colours, int transparent = -1, uint32_t seed = 1)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(w, h)));
    for (uint32_t i = 0; i < 256; ++i)
        img->palette()[i] =
            0xFF000000u | ((i * 37 + seed * 50) & 255) << 16 | ((i * 91) & 255) << 8 | ((i * 13 + seed) & 255);
    if (transparent >= 0) img->palette()[transparent] &= 0x00FFFFFF;
    auto px = noisePixels(w * h, colours, seed);
    for (uint32_t y = 0; y < h; ++y) std::memcpy(img->row<uint8_t>(y), &px[size_t(y) * w], w);
    img->indexedView()->paletteChanged();
    if (transparent >= 0) img->alphaKind = ALPHA_STRAIGHT;
    return img;
}

void link(Image* before, Ref<Image> after)
{
    after->frameInfo.prev = before;
    before->frameInfo.next = after.release();
}

ResultCode writeGif(Image* img, const fs::path& path, const char16_t* sub, uint32_t mask, uint32_t* bits = nullptr,
                    bool allFrames = true)
{
    registerAllFormats();
    int32_t i = formatFindByExtension(std::u16string_view(u"gif"), true);
    EXPECT_GE(i, 0);
    const FormatDescriptor* d = formatRegistry().at(i);
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, mask, 0, allFrames, nullptr, bits);
}

std::string gifsicleInfo(const fs::path& path)
{
    return runOutput("gifsicle --info " + shellQuote(path.string()) + " 2>&1");
}

// The original frame's colours against an oracle's decode of the written
// file (transparent pixels only as transparent).
void expectWritten(Image* original, const fs::path& gif, int index, const std::string& what, bool useAlpha = true)
{
    Pnm rgb, alpha;
    ASSERT_TRUE(oracleFrame(gif, index, rgb, alpha)) << what;
    if (!useAlpha) alpha = Pnm();
    expectFrameEquals(original, rgb, alpha, what);
}

} // namespace

TEST(GifWriter, EveryDepthBothLayoutsAndTransparencyReadBackByTheTools)
{
    QUILLON_REQUIRE_TOOL("giftopnm");
    QUILLON_REQUIRE_TOOL("gifsicle");
    TempDir dir;
    for (uint32_t bits = 1; bits <= 8; ++bits)
        for (bool interlaced : {false, true})
            for (bool transparent : {false, true}) {
                uint32_t colours = 1u << bits;
                std::string name = "b" + std::to_string(bits) + (interlaced ? "i" : "") + (transparent ? "t" : "");
                int index = transparent ? int(colours - 1) : -1;
                Ref<Image> img = paletteImage(37 + bits, 5 + 3 * bits, colours, index, bits);
                fs::path out = dir / (name + ".gif");
                uint32_t got = 0;
                ASSERT_EQ(writeGif(img.get(), out, interlaced ? u"Interlaced" : u"Normal", 1u << (bits - 1), &got),
                          RC_OK)
                    << name;
                EXPECT_EQ(got, bits) << name;
                expectWritten(img.get(), out, 0, name);
                std::string info = gifsicleInfo(out);
                EXPECT_NE(info.find("global color table [" + std::to_string(colours) + "]"), std::string::npos)
                    << name << info;
                EXPECT_EQ(info.find("interlaced") != std::string::npos, interlaced) << name << info;
                EXPECT_EQ(info.find("transparent " + std::to_string(colours - 1)) != std::string::npos, transparent)
                    << name << info;
                auto bytes = readFile(out);
                EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 6), transparent ? "GIF89a" : "GIF87a") << name;
                // The minimum code size: the bits, at least 2.
                size_t data = 13 + 3 * colours + (transparent ? 8 : 0) + 10;
                EXPECT_EQ(bytes[data], std::max(2u, bits)) << name;
                // Our own reader agrees, indices and all.
                Decoded d = decodeGifBytes(bytes);
                ASSERT_EQ(d.rc, RC_OK) << name;
                for (uint32_t y = 0; y < img->height; ++y)
                    ASSERT_EQ(std::memcmp(d.image->row<uint8_t>(y), img->row<uint8_t>(y), img->width), 0) << name;
            }
}

TEST(GifWriter, LargeImagesFillTheCodeTableAndStillDecode)
{
    QUILLON_REQUIRE_TOOL("giftopnm");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    Ref<Image> img = paletteImage(613, 419, 256, -1, 4);
    fs::path out = dir / "big.gif";
    ASSERT_EQ(writeGif(img.get(), out, u"Normal", CF_256_COLOURS), RC_OK);
    expectWritten(img.get(), out, 0, "giftopnm");
    fs::path pam = dir / "big.pam";
    ASSERT_EQ(run("convert " + shellQuote(out.string()) + " -depth 8 pam:" + shellQuote(pam.string())), 0);
    Pnm p, none;
    ASSERT_TRUE(readPnm(pam, p));
    expectFrameEquals(img.get(), p, none, "ImageMagick");
}

TEST(GifWriter, AnimationsKeepTimingDisposalLoopAndLocalTablesOnlyWhereNeeded)
{
    QUILLON_REQUIRE_TOOL("giftopnm");
    QUILLON_REQUIRE_TOOL("gifsicle");
    TempDir dir;
    Ref<Image> a = paletteImage(40, 30, 16, 15, 1);
    Ref<Image> b = paletteImage(17, 9, 16, 15, 1);   // same palette: global table
    Ref<Image> c = paletteImage(11, 23, 16, -1, 2);  // own colours: local table
    Ref<Image> e = paletteImage(16, 8, 16, 15, 1);
    a->frameInfo.canvasWidth = 30;  // smaller than the frames: the screen grows
    a->frameInfo.canvasHeight = 30;
    a->frameInfo.loop = 1;
    a->frameInfo.duration = 104;
    b->frameInfo = {0, 0, 0, 0, 3, 5, 250, 1, 1};
    c->frameInfo = {0, 0, 0, 0, 30, 12, 1000, 2, 0};
    e->frameInfo = {0, 0, 0, 0, 1, 1, kPageEndDuration, 0, 1};
    Image *bp = b.get(), *cp = c.get(), *ep = e.get();
    link(a.get(), b);
    link(bp, c);
    link(cp, e);
    fs::path out = dir / "anim.gif";
    ASSERT_EQ(writeGif(a.get(), out, u"Normal", CF_16_COLOURS), RC_OK);
    std::string info = gifsicleInfo(out);
    EXPECT_NE(info.find("4 images"), std::string::npos) << info;
    EXPECT_NE(info.find("logical screen 41x35"), std::string::npos) << info;
    EXPECT_NE(info.find("loop forever"), std::string::npos) << info;
    EXPECT_NE(info.find("+ image #1 17x9 at 3,5 transparent 15"), std::string::npos) << info;
    EXPECT_NE(info.find("disposal background delay 0.25s"), std::string::npos) << info;
    EXPECT_NE(info.find("+ image #2 11x23 at 30,12"), std::string::npos) << info;
    EXPECT_NE(info.find("disposal previous delay 1.00s"), std::string::npos) << info;
    EXPECT_NE(info.find("delay 0.10s"), std::string::npos) << info;
    // The last frame waits for the user (giftopnm and gifsicle do not show
    // the flag): bit 1 of its control block's flags.
    auto bytes = readFile(out);
    size_t lastControl = 0;
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0x21 && bytes[i + 1] == 0xF9 && bytes[i + 2] == 4) lastControl = i;
    EXPECT_EQ(bytes[lastControl + 3] & 2, 2);
    // Exactly one frame needed a table of its own.
    size_t locals = 0;
    for (size_t at = 0; (at = info.find("local color table", at)) != std::string::npos; ++at) ++locals;
    EXPECT_EQ(locals, 1u) << info;
    Image* frames[] = {a.get(), bp, cp, ep};
    // giftopnm keeps an earlier frame's transparent index for a frame that
    // has none, so that frame's colours alone are compared.
    for (int i = 0; i < 4; ++i) expectWritten(frames[i], out, i, "frame " + std::to_string(i), i != 2);
    // Read back by us: the same fields.
    Decoded d = decodeGifFile(out);
    ASSERT_EQ(d.rc, RC_OK);
    auto f = d.frames();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0]->frameInfo.duration, 100u);
    EXPECT_EQ(f[1]->frameInfo.dispose, 1);
    EXPECT_EQ(f[2]->frameInfo.dispose, 2);
    EXPECT_EQ(f[2]->frameInfo.x, 30);
    EXPECT_EQ(f[3]->frameInfo.duration, kPageEndDuration);
    EXPECT_EQ(f[0]->frameInfo.loop, 1);
    // Without the loop flag there is no loop block.
    a->frameInfo.loop = 0;
    ASSERT_EQ(writeGif(a.get(), out, u"Normal", CF_16_COLOURS), RC_OK);
    EXPECT_EQ(gifsicleInfo(out).find("loop"), std::string::npos);
    // Asked for the head frame only: one still image.
    ASSERT_EQ(writeGif(a.get(), out, u"Normal", CF_16_COLOURS, nullptr, false), RC_OK);
    info = gifsicleInfo(out);
    EXPECT_NE(info.find("1 image"), std::string::npos) << info;
    EXPECT_NE(info.find("logical screen 40x30"), std::string::npos) << info;
}

TEST(GifWriter, CommentsFailuresAndTheCallersImage)
{
    QUILLON_REQUIRE_TOOL("gifsicle");
    TempDir dir;
    Ref<Image> img = paletteImage(9, 7, 4, -1, 3);
    std::u16string comment(300, u'x');
    comment += u"\u00e9\u0141";
    img->info()->set(INFO_AUTHOR, comment.c_str());
    std::vector<uint8_t> before;
    for (uint32_t y = 0; y < 7; ++y) before.insert(before.end(), img->row<uint8_t>(y), img->row<uint8_t>(y) + 9);
    fs::path out = dir / "c.gif";
    ASSERT_EQ(writeGif(img.get(), out, u"Normal", CF_4_COLOURS), RC_OK);
    std::string info = runOutput("gifsicle --info --extension-info " + shellQuote(out.string()) + " 2>&1");
    EXPECT_NE(info.find("comment"), std::string::npos) << info;
    Decoded d = decodeGifFile(out);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMMENTS)), std::u16string(300, u'x') + u"\u00e9L");
    for (uint32_t y = 0; y < 7; ++y) EXPECT_EQ(std::memcmp(img->row<uint8_t>(y), &before[y * 9], 9), 0);
    EXPECT_EQ(writeGif(img.get(), dir / "no" / "x.gif", u"Normal", CF_4_COLOURS), RC_CREATE_FAILED);
    EXPECT_EQ(writeGif(img.get(), out, u"Normal", CF_RGB24), RC_UNSUPPORTED_COLOUR_FORMAT);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = paletteImage(400, 300, 256, -1, 5);
        EXPECT_EQ(writeGif(big.get(), "/dev/full", u"Normal", CF_256_COLOURS), RC_WRITE_FAILED);
    }
}

namespace {

// The frames as a player shows them: the screen filled with the first
// frame's background, then each frame laid on what the one before left
// (the files here keep every frame in place).
std::vector<Ref<Image>> composite(const Decoded& d)
{
    std::vector<Ref<Image>> shown;
    Image* head = d.image.get();
    const uint32_t w = head->frameInfo.canvasWidth, h = head->frameInfo.canvasHeight;
    Ref<Image> canvas = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    const uint32_t bg = head->frameInfo.backgroundColour;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            canvas->row<Rgba8>(y)[x] = {uint8_t(bg), uint8_t(bg >> 8), uint8_t(bg >> 16), uint8_t(bg >> 24)};
    for (Image* f : d.frames()) {
        EXPECT_EQ(f->frameInfo.dispose, 0);
        Ref<Image> top = Ref<Image>::adopt(imageConvertNew(f, false, false, PF_RGBA8));
        for (uint32_t y = 0; y < top->height; ++y)
            for (uint32_t x = 0; x < top->width; ++x) {
                const uint64_t cx = uint64_t(f->frameInfo.x) + x, cy = uint64_t(f->frameInfo.y) + y;
                const Rgba8 p = top->row<Rgba8>(y)[x];
                if (cx < w && cy < h && !(f->frameInfo.blend && p.a == 0)) canvas->row<Rgba8>(uint32_t(cy))[cx] = p;
            }
        shown.push_back(Ref<Image>::adopt(imageConvertNew(canvas.get(), false, false, PF_RGBA8)));
    }
    return shown;
}

// Colours where the oracle is visible; transparency where it is not.
void expectShownAs(Image* shown, const Pnm& oracle, const std::string& what)
{
    ASSERT_GE(oracle.channels, 3u) << what;
    ASSERT_EQ(shown->width, oracle.width) << what;
    ASSERT_EQ(shown->height, oracle.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < oracle.height; ++y)
        for (uint32_t x = 0; x < oracle.width; ++x) {
            const Rgba8 q = shown->row<Rgba8>(y)[x];
            const uint32_t alpha = oracle.channels == 4 ? oracle.at(x, y, 3) : 255;
            const bool ok = alpha == 0 ? q.a == 0
                                       : q.a == alpha && q.r == oracle.at(x, y, 0) && q.g == oracle.at(x, y, 1) &&
                                             q.b == oracle.at(x, y, 2);
            if (!ok && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << int(q.r) << " " << int(q.g) << " "
                              << int(q.b) << " " << int(q.a) << " oracle " << oracle.at(x, y, 0) << " "
                              << oracle.at(x, y, 1) << " " << oracle.at(x, y, 2) << " " << alpha;
        }
    EXPECT_EQ(bad, 0) << what;
}

} // namespace

TEST_F(GifFiles, FramesAreClippedToTheScreenAsImageMagickCoalescesThem)
{
    QUILLON_REQUIRE_TOOL("gifsicle");
    make("a.gif", "convert SRC -resize 100x100! -colors 16 OUT");
    make("b.gif", "convert SRC -crop 20x20+3+2 +repage -colors 8 OUT");
    make("c.gif", "convert SRC -crop 20x20+30+10 +repage -colors 8 -interlace GIF OUT");
    auto q = [&](const char* name) { return shellQuote((dir / name).string()); };
    // gifsicle grows the screen to hold every frame; the screen is set back
    // to the first frame's 100 x 100 afterwards.
    struct Case {
        const char* name;
        const char* position;
        const char* frame;
        uint32_t width, height;  // of the last frame, once clipped
    } cases[] = {
        {"edge.gif", "90,85", "b.gif", 10, 15},
        {"edge-interlaced.gif", "85,90", "c.gif", 15, 10},
        {"far.gif", "65515,65515", "b.gif", 1, 1},
        {"below.gif", "50,120", "b.gif", 1, 1},
        // Touching the right and bottom edges from inside, whole, and from
        // outside, where nothing of it is on the screen.
        {"inside-edges.gif", "80,80", "b.gif", 20, 20},
        {"right-edge.gif", "100,37", "b.gif", 1, 1},
        {"bottom-edge.gif", "37,100", "c.gif", 1, 1},
    };
    for (const Case& c : cases) {
        const fs::path file = dir / c.name;
        ASSERT_EQ(run("gifsicle " + q("a.gif") + " --position " + c.position + " " + q(c.frame) + " > " +
                      shellQuote(file.string())),
                  0)
            << c.name;
        auto bytes = readFile(file);
        bytes[6] = 100, bytes[7] = 0, bytes[8] = 100, bytes[9] = 0;
        writeFile(file, bytes);

        Decoded d = decodeGifBytes(bytes);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        auto f = d.frames();
        ASSERT_EQ(f.size(), 2u) << c.name;
        for (Image* frame : f) {
            EXPECT_EQ(frame->frameInfo.canvasWidth, 100u) << c.name;
            EXPECT_LE(frame->frameInfo.x + frame->width, 100u) << c.name;
            EXPECT_LE(frame->frameInfo.y + frame->height, 100u) << c.name;
        }
        EXPECT_EQ(f[1]->width, c.width) << c.name;
        EXPECT_EQ(f[1]->height, c.height) << c.name;
        const fs::path shown = dir / "shown-%d.pam";
        ASSERT_EQ(run("convert " + shellQuote(file.string()) + " -coalesce -depth 8 " + shellQuote(shown.string())), 0);
        auto ours = composite(d);
        for (size_t i = 0; i < ours.size(); ++i) {
            Pnm oracle;
            ASSERT_TRUE(readPnm(dir / ("shown-" + std::to_string(i) + ".pam"), oracle)) << c.name;
            expectShownAs(ours[i].get(), oracle, std::string(c.name) + " frame " + std::to_string(i));
        }
    }
    // A screen smaller than the first frame (0 x 0 from some writers) is
    // taken to be the frame's size, as every reader shows such files.
    auto bytes = readFile(dir / "a.gif");
    bytes[6] = bytes[7] = bytes[8] = bytes[9] = 0;
    Decoded d = decodeGifBytes(bytes);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->width, 100u);
    EXPECT_EQ(d.image->frameInfo.canvasHeight, 100u);
}

// A first frame with a transparent index leaves the screen around it
// see-through, as Pillow shows it, whatever the background index: the
// transparent index itself, the 0 of writers that mean none, or another
// colour, which is still what a picture without alpha is flattened onto, as
// ImageMagick flattens it.
TEST(GifReader, ATransparentFirstFrameLeavesTheScreenTransparent)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    std::vector<uint8_t> px(20 * 10);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i / 3 % 4);
    for (uint8_t background : {2, 0, 3}) {
        const std::string what = "background " + std::to_string(background);
        // Screen 40 x 30, the frame 20 x 10 at 5, 5 with transparent index
        // 2; a second opaque frame at 10, 12.
        std::vector<uint8_t> control = {0x21, 0xF9, 4, 0x01, 10, 0, 2, 0};
        auto bytes = gifAround(40, 30, 2, {}, control);
        bytes.resize(bytes.size() - 11);  // the empty image and the trailer
        bytes[11] = background;
        for (uint8_t at : {5, 10}) {
            bytes.insert(bytes.end(), {',', at, 0, uint8_t(at + 2 * (at == 10)), 0, 20, 0, 10, 0, 0});
            auto data = referenceLzw(px, 2, true);
            bytes.insert(bytes.end(), data.begin(), data.end());
        }
        bytes.push_back(';');
        const fs::path file = dir / "bg.gif";
        writeFile(file, bytes);

        Decoded d = decodeGifBytes(bytes);
        ASSERT_EQ(d.rc, RC_OK) << what;
        EXPECT_EQ(d.image->frameInfo.backgroundColour >> 24, 0u) << what;
        auto ours = composite(d);
        ASSERT_EQ(ours.size(), 2u);
        for (int i = 0; i < 2; ++i) {
            Pnm oracle;
            ASSERT_TRUE(oracleDecode(pillowDecoder(true, i), file, oracle))
                << what;
            expectShownAs(ours[size_t(i)].get(), oracle, what + " frame " + std::to_string(i));
        }
        if (background != 3) continue;
        // The first frame written without alpha: its transparent pixels take
        // the background's colour.
        registerAllFormats();
        const fs::path flat = dir / "flat.png";
        const FormatDescriptor* png = formatRegistry().at(formatFindByExtension(std::u16string_view(u"png"), true));
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(png->createWriter(flat, png));
        ASSERT_EQ(w->write(d.image.get(), u"Normal", CF_RGB24, 0, false, nullptr, nullptr), RC_OK);
        ASSERT_EQ(w->output.close(), RC_OK);
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("convert IN -delete 1--1 -alpha remove -depth 8 pam:-", file, oracle));
        Decoded written = decodeFileFull(flat);
        ASSERT_EQ(written.rc, RC_OK);
        expectEqualPixels(written.image.get(), oracle, what + " flattened", false);
    }
}

TEST(GifReader, XmpWrittenByExiftoolFillsTheInformation)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    fs::path f = dir / "x.gif";
    ASSERT_EQ(run("convert -size 8x6 xc:red " + shellQuote(f.string()) +
                  " && exiftool -q -overwrite_original -XMP-dc:Title='Harbour at dawn' -XMP-dc:Creator='Ann Bell' " +
                  shellQuote(f.string())),
              0);
    Decoded d = decodeGifFile(f);
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_TRUE(d.image->info()->get(INFO_TITLE));
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_TITLE)), u"Harbour at dawn");
    ASSERT_TRUE(d.image->info()->get(INFO_AUTHOR));
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_AUTHOR)), u"Ann Bell");
    // The pixels are untouched by the packet around them.
    Ref<Image> rgba = Ref<Image>::adopt(imageConvertNew(d.image.get(), false, false, PF_RGBA8));
    EXPECT_EQ(rgba->row<Rgba8>(5)[7].r, 255);
}

// A frame with a palette of its own that does not blend clears what the one
// before drew: that one is disposed of, and what stays of it comes back with
// the clearing frame, in a table of both palettes' colours, as ImageMagick
// composes the file.
TEST(GifWriter, AFrameThatClearsRedrawsWhatStaysInATableOfBothPalettes)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("gifsicle");
    TempDir dir;
    Ref<Image> a = paletteImage(20, 16, 16, -1, 1), b = paletteImage(8, 6, 16, 15, 2);
    b->frameInfo = {0, 0, 0, 0, 5, 4, 100, 0, 0};
    std::memset(b->row<uint8_t>(2), 15, 5);
    Ref<Image> shown = Ref<Image>::adopt(imageConvertNew(a.get(), false, false, PF_RGBA8));
    Ref<Image> top = Ref<Image>::adopt(imageConvertNew(b.get(), false, false, PF_RGBA8));
    link(a.get(), b);
    const fs::path out = dir / "c.gif";
    ASSERT_EQ(writeGif(a.get(), out, u"Normal", CF_16_COLOURS), RC_OK);
    EXPECT_NE(gifsicleInfo(out).find("local color table [32]"), std::string::npos) << gifsicleInfo(out);
    ASSERT_EQ(run("convert " + shellQuote(out.string()) + " -coalesce -depth 8 " +
                  shellQuote((dir / "s-%d.pam").string())),
              0);
    for (int i = 0; i < 2; ++i) {
        if (i) {
            ASSERT_EQ(imageBlitRect(shown.get(), {5, 4}, top.get(), {0, 0}, {8, 6}), RC_OK);
        }
        Pnm oracle;
        ASSERT_TRUE(readPnm(dir / ("s-" + std::to_string(i) + ".pam"), oracle));
        expectShownAs(shown.get(), oracle, "frame " + std::to_string(i));
    }
}
