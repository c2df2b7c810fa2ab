// Animations converted as a user converts them (read through the registry,
// written with the automatic colour format) must show, frame for frame,
// what their sources show: sources made by ImageMagick and composed by its
// -coalesce, our APNG files composed by apngdis and our WebP files by
// Pillow's reader (libwebp's compositor).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/format_table.h"
#include "core/image_writer.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Reads dir/prefix<first>.pam, the next number and so on, until one is
// missing.
std::vector<Pnm> numberedFrames(const fs::path& dir, const std::string& prefix, int first)
{
    std::vector<Pnm> frames;
    for (int i = first;; ++i) {
        Pnm p;
        if (!readPnm(dir / (prefix + std::to_string(i) + ".pam"), p)) break;
        frames.push_back(std::move(p));
    }
    return frames;
}

fs::path freshFolder(const fs::path& dir, const std::string& name)
{
    fs::path sub = dir / name;
    fs::remove_all(sub);
    fs::create_directories(sub);
    return sub;
}

// ImageMagick's frames, each in colour (its -coalesce alone would lay every
// frame on a canvas as grey as the first).
std::vector<Pnm> coalesced(const fs::path& source, const fs::path& dir)
{
    fs::path sub = freshFolder(dir, "coalesced");
    run("convert " + shellQuote(source.string()) + " -colorspace sRGB -coalesce PAM:" +
        shellQuote((sub / "%d.pam").string()));
    return numberedFrames(sub, "", 0);
}

// apngdis's composed frames and their delays ("num/den").
std::vector<Pnm> apngdisFrames(const fs::path& png, const fs::path& dir, std::vector<std::string>* delays)
{
    fs::path sub = freshFolder(dir, "apngdis");
    fs::copy_file(png, sub / "a.png", fs::copy_options::overwrite_existing);
    if (run("cd " + shellQuote(sub.string()) + " && apngdis a.png > /dev/null") != 0) return {};
    for (int i = 1; fs::exists(sub / ("apngframe" + std::to_string(i) + ".png")); ++i) {
        std::string name = (sub / ("apngframe" + std::to_string(i))).string();
        run("pngtopam -alphapam " + shellQuote(name + ".png") + " > " + shellQuote(name + ".pam"));
        std::string text = runOutput("cat " + shellQuote(name + ".txt"));
        if (delays) delays->push_back(text.substr(0, text.find('\n')));
    }
    return numberedFrames(sub, "apngframe", 1);
}

// Pillow's composed frames, as PAM files it writes itself.
std::vector<Pnm> pillowFrames(const fs::path& file, const fs::path& dir)
{
    const char* script = R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
for i in range(getattr(im, "n_frames", 1)):
    im.seek(i)
    c = im.convert("RGBA")
    with open("%s%d.pam" % (sys.argv[2], i), "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % c.size)
        f.write(c.tobytes())
)";
    fs::path sub = freshFolder(dir, "pillow");
    writeFile(sub / "frames.py", std::string(script));
    run(std::string(kSystemPython) + " " + shellQuote((sub / "frames.py").string()) + " " +
        shellQuote(file.string()) + " " + shellQuote((sub / "f").string()));
    return numberedFrames(sub, "f", 0);
}

struct Rgba {
    uint32_t r, g, b, a;
    bool operator==(const Rgba& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

Rgba pixel(const Pnm& p, uint32_t x, uint32_t y)
{
    auto s = [&](uint32_t c) { return uint32_t(p.at(x, y, c)) * 255 / p.maxval; };
    switch (p.channels) {
    case 1: return {s(0), s(0), s(0), 255};
    case 2: return {s(0), s(0), s(0), s(1)};
    case 3: return {s(0), s(1), s(2), 255};
    default: return {s(0), s(1), s(2), s(3)};
    }
}

// Every frame the same size and every visible pixel the same (a pixel
// transparent in both is the same whatever its colour); with a `tolerance`,
// the channels of each frame differ by at most that much on average.
void expectSameFrames(const std::vector<Pnm>& ours, const std::vector<Pnm>& source, const std::string& what,
                      double tolerance = 0)
{
    ASSERT_FALSE(source.empty()) << what;
    ASSERT_EQ(ours.size(), source.size()) << what;
    for (size_t i = 0; i < ours.size(); ++i) {
        const Pnm &a = ours[i], &b = source[i];
        ASSERT_EQ(a.width, b.width) << what << " frame " << i;
        ASSERT_EQ(a.height, b.height) << what << " frame " << i;
        uint32_t bad = 0;
        uint64_t difference = 0;
        std::string first;
        for (uint32_t y = 0; y < a.height; ++y)
            for (uint32_t x = 0; x < a.width; ++x) {
                Rgba p = pixel(a, x, y), q = pixel(b, x, y);
                if ((p.a == 0 && q.a == 0) || p == q) continue;
                for (auto [u, v] : {std::pair{p.r, q.r}, {p.g, q.g}, {p.b, q.b}, {p.a, q.a}})
                    difference += u > v ? u - v : v - u;
                if (!bad++)
                    first = std::to_string(x) + "," + std::to_string(y) + ": ours " + std::to_string(p.r) + " " +
                            std::to_string(p.g) + " " + std::to_string(p.b) + " " + std::to_string(p.a) +
                            ", source " + std::to_string(q.r) + " " + std::to_string(q.g) + " " +
                            std::to_string(q.b) + " " + std::to_string(q.a);
            }
        if (tolerance) {
            EXPECT_LE(double(difference) / (4.0 * a.width * a.height), tolerance) << what << " frame " << i;
        } else {
            EXPECT_EQ(bad, 0u) << what << " frame " << i << ", first at " << first;
        }
    }
}

// With `apply`, `frames` (RGBA) made clear wherever `source`'s frames are,
// so that only what the source shows is compared.
std::vector<Pnm> clearWhereClear(std::vector<Pnm> frames, const std::vector<Pnm>& source, bool apply)
{
    for (size_t i = 0; apply && i < frames.size() && i < source.size(); ++i) {
        Pnm& f = frames[i];
        if (f.channels != 4 || f.width != source[i].width || f.height != source[i].height) continue;
        for (uint32_t y = 0; y < f.height; ++y)
            for (uint32_t x = 0; x < f.width; ++x)
                if (pixel(source[i], x, y).a == 0) f.samples[(size_t(y) * f.width + x) * 4 + 3] = 0;
    }
    return frames;
}

// Reads `source` with every frame and writes it to `target` (its format
// from the name) in `colours`, the automatic colour format unless told, as
// the batch does.
ResultCode convertAnimation(const fs::path& source, const fs::path& target, const char16_t* subFormat,
                            ColourFormatFlags colours = CF_AUTO)
{
    registerAllFormats();
    Decoded d = decodeFileFull(source);
    if (failed(d.rc)) return d.rc;
    const FormatDescriptor* desc = formatRegistry().at(formatFindByExtension(target, true));
    if (!desc) return RC_GENERAL_FAILURE;
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(desc->createWriter(target, desc));
    ResultCode rc = w->write(d.image.get(), subFormat, colours, 0, true, nullptr, nullptr);
    ResultCode closed = w->output.close();
    return failed(rc) ? rc : closed;
}

// The colour type byte of a PNG's header.
int pngColourType(const fs::path& png)
{
    std::vector<uint8_t> bytes = readFile(png);
    return bytes.size() > 25 ? bytes[25] : -1;
}

} // namespace

// Pages and frames that each carry a palette of their own keep their
// colours: one palette when it holds every frame's colours, true colour
// when it cannot. The pages of a TIFF wait for their reader, which the
// file keeps as the longest delay in milliseconds.
TEST(AnimationWrite, ApngFramesKeepTheirColoursAndPagesTheirDelay)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    struct Case {
        const char* name;
        const char* make;
        int colourType;
    };
    const Case cases[] = {
        // Three one-colour palette pages: one palette holds them all.
        {"pages.tif", "-size 16x12 xc:red xc:lime xc:blue -type palette", 3},
        // A grey page before a colour one.
        {"mixed.tif", "-depth 8 \\( -size 16x12 gradient: -colorspace gray \\) \\( -size 16x12 xc:orange \\)", 2},
        // A two-colour first frame before two frames of 256 colours each:
        // no palette holds them.
        {"frames.gif",
         "-size 20x14 xc:white -fill black -draw 'rectangle 2,2 8,8' \\( -seed 3 -size 20x14 plasma: \\) "
         "\\( -seed 9 -size 20x14 plasma:red-blue \\) -set delay 10 -loop 0",
         2},
    };
    for (const Case& c : cases) {
        TempDir dir;
        fs::path source = dir / c.name, out = dir / "out.png";
        ASSERT_EQ(run(std::string("convert ") + c.make + " " + shellQuote(source.string())), 0) << c.name;
        ASSERT_EQ(convertAnimation(source, out, nullptr), RC_OK) << c.name;
        EXPECT_EQ(pngColourType(out), c.colourType) << c.name;
        std::vector<std::string> delays;
        expectSameFrames(apngdisFrames(out, dir.path(), &delays), coalesced(source, dir.path()), c.name);
        if (std::string(c.name) == "pages.tif") {
            EXPECT_EQ(delays, (std::vector<std::string>{"delay=65535/1000", "delay=65535/1000", "delay=0/1000"}));
        }
        // Asked for a palette too small for them all, the frames share one
        // made over all of them.
        ASSERT_EQ(convertAnimation(source, out, nullptr, CF_256_COLOURS), RC_OK) << c.name;
        EXPECT_EQ(pngColourType(out), 3) << c.name;
        expectSameFrames(apngdisFrames(out, dir.path(), nullptr), coalesced(source, dir.path()), c.name, 3);
    }
}

// A first frame smaller than its canvas is laid on the background, and
// still disposes as its source does: the next frame no longer shows it.
TEST(AnimationWrite, ApngFirstFrameOnACanvasDisposesAsItsSource)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    fs::path source = dir / "dispose.gif", out = dir / "out.png";
    // The first frame holds every colour (one with a transparent pixel), so
    // that one palette serves both frames.
    ASSERT_EQ(run("convert -dispose Background -page 30x30+5+5 \\( -size 10x10 xc:red -alpha set -fill none "
                  "-draw 'color 0,0 point' -fill blue -draw 'point 9,9' \\) -page +15+15 -size 10x10 xc:blue "
                  "-loop 0 " +
                  shellQuote(source.string())),
              0);
    ASSERT_EQ(convertAnimation(source, out, nullptr), RC_OK);
    expectSameFrames(apngdisFrames(out, dir.path(), nullptr), coalesced(source, dir.path()), "dispose");
}

// Frames at odd positions move to even ones and grow by a pixel: whatever
// that pixel replaces stays as it was, and what the grown frame's disposal
// clears beyond the frame comes back with the next one.
TEST(AnimationWrite, WebpPaddingLeavesTheCanvasAsItWas)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    struct Case {
        const char* name;
        const char* make;
    };
    const Case cases[] = {
        // Frames reduced to what changed, at odd places, drawn without
        // blending.
        {"optimised.gif",
         "-size 41x31 -seed 5 plasma: -colors 64 -write mpr:bg +delete "
         "\\( mpr:bg -fill red -draw 'circle 9,9 13,9' \\) \\( mpr:bg -fill red -draw 'circle 14,12 18,12' \\) "
         "\\( mpr:bg -fill blue -draw 'circle 21,15 25,15' \\) \\( mpr:bg -fill blue -draw 'rectangle 27,19 33,24' \\) "
         "-set delay 10 -loop 0 -layers OptimizeFrame"},
        // A frame at an odd place disposed of over a picture, then a frame
        // elsewhere, and again with a frame after it that blends over the
        // place.
        {"disposed.gif",
         "-dispose None -seed 7 -size 41x31 plasma: -colors 32 -dispose Background -page +5+5 -size 9x7 xc:red "
         "-dispose None -page +21+13 -size 7x5 xc:blue -page +3+3 -size 5x5 xc:yellow -set delay 10 -loop 0"},
        {"blended.gif",
         "-dispose None -seed 7 -size 41x31 plasma: -colors 32 -dispose Background -page +5+5 -size 9x7 xc:red "
         "-dispose None -page +3+3 \\( -size 7x7 xc:none -fill blue -draw 'rectangle 3,0 6,6' \\) "
         "-page +21+13 -size 7x5 xc:yellow -set delay 10 -loop 0"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        fs::path source = dir / c.name, out = dir / "out.webp";
        ASSERT_EQ(run(std::string("convert ") + c.make + " " + shellQuote(source.string())), 0) << c.name;
        ASSERT_EQ(convertAnimation(source, out, u"Lossless"), RC_OK) << c.name;
        std::string info = runOutput("webpmux -info " + shellQuote(out.string()));
        EXPECT_NE(info.find("Number of frames: 4"), std::string::npos) << info;
        expectSameFrames(pillowFrames(out, dir.path()), coalesced(source, dir.path()), c.name);
    }
}

// GIFs on a screen larger than their first frame, converted to APNG (and
// WebP and GIF where the first frame is transparent): every frame, composed
// by a decoder of our file, shows what ImageMagick's -coalesce shows of the
// source. A transparent first frame leaves the screen transparent whatever
// its background index says; an opaque one lies on the background, and
// disposing of it clears or restores the frame alone, so the background
// around it stays.
TEST(AnimationWrite, GifScreensShowAsTheirSource)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("gifsicle");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    struct Case {
        const char* name;
        const char* make;
        const char* premise;  // what gifsicle must find in the file
        bool everyFormat;
    };
    // The first frames hold the background's colour, so that it has an
    // index of its own.
    const Case cases[] = {
        // The background index (yellow) is neither 0 nor the transparent
        // index.
        {"transparent-first.gif",
         "-background yellow -dispose None \\( -size 63x87 xc:blue -fill red -draw 'rectangle 30,40 50,80' "
         "-fill yellow -draw 'rectangle 0,0 5,5' \\( -size 11x11 xc:none \\) -geometry +10+10 -compose copy "
         "-composite -repage 100x100+0+0 \\) -page +60+70 -size 30x20 xc:lime",
         "background 1\n  loop forever\n  + image #0 63x87 transparent 3", true},
        {"disposed.gif",
         "-background red -dispose Background -page 100x100+0+0 \\( -size 50x50 xc:blue -fill red "
         "-draw 'point 25,25' \\) -dispose None -page +50+50 -size 50x50 xc:lime",
         "global color table [2]\n  background 0\n  loop forever\n  + image #0 50x50\n    disposal background",
         false},
        {"restored.gif",
         "-background red -dispose Previous -page 100x100+0+0 \\( -size 50x50 xc:blue -fill red "
         "-draw 'point 25,25' \\) -dispose None -page +50+50 -size 50x50 xc:lime",
         "global color table [2]\n  background 0\n  loop forever\n  + image #0 50x50\n    disposal previous",
         false},
        // The frame that gives back the background is disposed of in turn,
        // and the last blends over what that leaves.
        {"disposed-twice.gif",
         "-background red -dispose Background -page 100x100+10+20 \\( -size 50x50 xc:blue -fill red "
         "-draw 'point 25,25' \\) -page +60+10 -size 30x30 xc:lime -dispose None -page +5+70 "
         "\\( -size 20x20 xc:none -fill blue -draw 'rectangle 5,5 14,14' \\)",
         "background 0\n  loop forever\n  + image #0 50x50 at 10,20\n    disposal background delay 0.10s\n"
         "  + image #1 30x30 at 60,10\n    local color table [2]\n    disposal background",
         false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path source = dir / c.name;
        ASSERT_EQ(run(std::string("convert ") + c.make + " -set delay 10 -loop 0 " + shellQuote(source.string())), 0)
            << c.name;
        const std::string info = runOutput("gifsicle --info " + shellQuote(source.string()));
        ASSERT_NE(info.find(c.premise), std::string::npos) << c.name << "\n" << info;
        const std::vector<Pnm> shown = coalesced(source, dir.path());
        ASSERT_GE(shown.size(), 2u) << c.name;

        const fs::path png = dir / "out.png", webp = dir / "out.webp", gif = dir / "out.gif";
        // In a palette, as the automatic format chooses, and in true colour;
        // without alpha only what the source shows opaque can be the same.
        for (ColourFormatFlags colours : {CF_AUTO, CF_RGBA32, CF_RGBA64, CF_RGB24}) {
            const std::string what = std::string(c.name) + " in " + std::to_string(colours) + " as APNG by ";
            ASSERT_EQ(convertAnimation(source, png, nullptr, colours), RC_OK) << what;
            EXPECT_EQ(pngColourType(png), colours == CF_AUTO ? 3 : colours == CF_RGB24 ? 2 : 6) << what;
            if (colours != CF_AUTO) {
                EXPECT_EQ(readFile(png)[24], colours == CF_RGBA64 ? 16 : 8) << what;
            }
            const bool opaqueOnly = colours == CF_RGB24;
            expectSameFrames(clearWhereClear(apngdisFrames(png, dir.path(), nullptr), shown, opaqueOnly), shown,
                             what + "apngdis");
            expectSameFrames(clearWhereClear(pillowFrames(png, dir.path()), shown, opaqueOnly), shown,
                             what + "Pillow");
        }
        if (!c.everyFormat) continue;
        ASSERT_EQ(convertAnimation(source, webp, u"Lossless"), RC_OK) << c.name;
        expectSameFrames(pillowFrames(webp, dir.path()), shown, std::string(c.name) + " as WebP by Pillow");
        ASSERT_EQ(convertAnimation(source, gif, nullptr), RC_OK) << c.name;
        expectSameFrames(coalesced(gif, dir.path()), shown, std::string(c.name) + " as GIF by ImageMagick");
    }
}
