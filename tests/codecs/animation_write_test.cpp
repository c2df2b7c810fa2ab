// Animations converted as a user converts them (read through the registry,
// written with the automatic colour format) must show, frame for frame,
// what their sources show: sources made by ImageMagick and composed by its
// -coalesce, our APNG files composed by apngdis and our WebP files by
// Pillow's reader (libwebp's compositor). A palette picture's transparency,
// written the same way, stays where the output can hold it.
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
// frame on a canvas as grey as the first); with `compose` false, each page
// as it is.
std::vector<Pnm> coalesced(const fs::path& source, const fs::path& dir, bool compose = true)
{
    fs::path sub = freshFolder(dir, "coalesced");
    run("convert " + shellQuote(source.string()) + " -colorspace sRGB " + (compose ? "-coalesce " : "") + "PAM:" +
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

// libwebp's own compositor, through its demux library, which composes in
// colour with alpha whatever the file's alpha flag says.
std::vector<Pnm> libwebpFrames(const fs::path& file, const fs::path& dir)
{
    const char* script = R"(
import ctypes as C, sys
lib = C.CDLL("libwebpdemux.so.2")
class Options(C.Structure): _fields_ = [("mode", C.c_int), ("threads", C.c_int), ("pad", C.c_uint32 * 7)]
class Info(C.Structure): _fields_ = [(n, C.c_uint32) for n in ("w", "h", "loop", "bg", "n", "p1", "p2", "p3", "p4")]
class Data(C.Structure): _fields_ = [("bytes", C.c_char_p), ("size", C.c_size_t)]
lib.WebPAnimDecoderNewInternal.restype = C.c_void_p
lib.WebPAnimDecoderGetInfo.argtypes = [C.c_void_p, C.c_void_p]
lib.WebPAnimDecoderGetNext.argtypes = [C.c_void_p, C.c_void_p, C.c_void_p]
raw = open(sys.argv[1], "rb").read()
data, options, info, pixels, stamp = Data(raw, len(raw)), Options(), Info(), C.c_void_p(), C.c_int()
lib.WebPAnimDecoderOptionsInitInternal(C.byref(options), 0x0107)
options.mode = 1  # RGBA
decoder = C.c_void_p(lib.WebPAnimDecoderNewInternal(C.byref(data), C.byref(options), 0x0107))
lib.WebPAnimDecoderGetInfo(decoder, C.byref(info))
for i in range(info.n):
    if not lib.WebPAnimDecoderGetNext(decoder, C.byref(pixels), C.byref(stamp)): sys.exit(1)
    with open("%s%d.pam" % (sys.argv[2], i), "wb") as f:
        f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (info.w, info.h))
        f.write(C.string_at(pixels, info.w * info.h * 4))
)";
    fs::path sub = freshFolder(dir, "libwebp");
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
                            ColourFormatFlags colours = CF_AUTO, int32_t parameter = 0)
{
    registerAllFormats();
    Decoded d = decodeFileFull(source);
    if (failed(d.rc)) return d.rc;
    const FormatDescriptor* desc = formatRegistry().at(formatFindByExtension(target, true));
    if (!desc) return RC_GENERAL_FAILURE;
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(desc->createWriter(target, desc));
    ResultCode rc = w->write(d.image.get(), subFormat, colours, parameter, true, nullptr, nullptr);
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

// GIFs whose frames a WebP decoder would compose otherwise than their
// source, converted to WebP: every frame, composed by Pillow and by
// libwebp's own compositor, shows what ImageMagick's -coalesce shows of the
// source (lossy files within an average difference of 8 a channel, which
// their saturated edges reach). Decoders start on a clear canvas whatever
// the background; WebP has no disposal to the previous picture; a frame
// disposed of to the background clears all the file holds of it; and
// Pillow reads a file without the alpha flag as opaque.
TEST(AnimationWrite, WebpFromGifShowsAsItsSource)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("gifsicle");
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    struct Case {
        const char* name;
        const char* make;
        const char* premise[2];  // what gifsicle must find in the file
        bool opaque;             // no frame holds or shows a clear pixel, nor is widened: no alpha
    };
    const Case cases[] = {
        // A first frame at an odd place on a larger screen, kept.
        {"screen.gif",
         "-background yellow -dispose None -page 60x40+7+5 \\( -size 30x20 xc:blue -fill yellow -draw 'point 3,3' \\) "
         "-page +40+24 -size 10x10 xc:lime",
         {"0: #FFFF00       1: #0000FF\n  background 0", "+ image #0 30x20 at 7,5"}, true},
        // The first frame disposed of to the background it lies on; then,
        // on a screen it fills, a frame disposed of where the next does not
        // lie.
        {"disposed.gif",
         "-background red -dispose Background -page 100x100+0+0 \\( -size 50x50 xc:blue -fill red "
         "-draw 'point 25,25' \\) -dispose None -page +50+50 -size 50x50 xc:lime",
         {"0: #FF0000       1: #0000FF\n  background 0", "+ image #0 50x50\n    disposal background"}, false},
        {"disposed-later.gif",
         "-dispose None -size 40x30 xc:navy -dispose Background -page +4+6 -size 10x8 xc:red -dispose None "
         "-page +20+10 -size 8x8 xc:lime",
         {"+ image #0 40x30\n    disposal asis", "0: #FF0000       1: #000000\n    disposal background"}, false},
        // Frames disposed of to the previous picture: one laid on the
        // background, one after it (at an odd place), one filling the
        // screen (and no frame at an odd place).
        {"restored.gif",
         "-background red -dispose Previous -page 100x100+0+0 \\( -size 50x50 xc:blue -fill red -draw 'point 25,25' "
         "\\) -page +41+41 -size 30x30 xc:lime -dispose None -page +45+45 -size 20x20 xc:blue",
         {"0: #FF0000       1: #0000FF\n  background 0",
          "+ image #0 50x50\n    disposal previous delay 0.10s\n  + image #1 30x30 at 41,41"},
         false},
        {"restored-whole.gif",
         "-background red -dispose Previous \\( -size 40x30 xc:navy -fill red -draw 'point 5,5' \\) -dispose None "
         "-page +6+4 -size 10x10 xc:lime",
         {"0: #FF0000       1: #000080\n  background 0", "+ image #0 40x30\n    disposal previous"}, false},
        // A chain of disposals, then a frame that blends over what the one
        // before it restored: clear, as the first two frames left it.
        {"chain.gif",
         "-background red -dispose Background -page 60x40+4+4 \\( -size 30x20 xc:blue -fill red -draw 'point 1,1' "
         "\\) -page +10+8 -size 20x16 xc:lime -dispose Previous -page +13+11 -size 16x12 xc:yellow -dispose None "
         "-page +8+6 \\( -size 24x20 xc:none -fill navy -draw 'rectangle 12,0 23,19' \\)",
         {"0: #FF0000       1: #0000FF\n  background 0",
          "disposal background delay 0.10s\n  + image #2 16x12 at 13,11\n    local color table [2]\n"
          "    |   0: #FFFF00       1: #000000\n    disposal previous delay 0.10s\n  + image #3 24x20 at 8,6 trans"},
         false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const fs::path source = dir / c.name, webp = dir / "out.webp";
        ASSERT_EQ(run(std::string("convert ") + c.make + " -set delay 10 -loop 0 " + shellQuote(source.string())), 0)
            << c.name;
        const std::string info = runOutput("gifsicle --info --color-info " + shellQuote(source.string()));
        for (const char* premise : c.premise)
            ASSERT_NE(info.find(premise), std::string::npos) << c.name << "\n" << info;
        const std::vector<Pnm> shown = coalesced(source, dir.path());
        for (bool lossy : {false, true}) {
            const std::string what = std::string(c.name) + (lossy ? " lossy" : " lossless");
            ASSERT_EQ(convertAnimation(source, webp, lossy ? u"Lossy, by Quality:" : u"Lossless", CF_AUTO, 90), RC_OK)
                << what;
            const double tolerance = lossy ? 8 : 0;
            expectSameFrames(pillowFrames(webp, dir.path()), shown, what + " by Pillow", tolerance);
            expectSameFrames(libwebpFrames(webp, dir.path()), shown, what + " by libwebp", tolerance);
            if (c.opaque) {
                const std::string mux = runOutput("webpmux -info " + shellQuote(webp.string()));
                EXPECT_EQ(mux.find("transparency"), std::string::npos) << what << "\n" << mux;
            }
        }
    }
}

// An animation made by libwebp's own tools, whose first frame leaves part
// of the canvas uncovered, names an opaque white background that decoders
// do not paint: every output shows that part clear, as libwebp composes it.
TEST(AnimationWrite, WebpBackgroundHintLeavesTheCanvasClear)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("img2webp");
    QUILLON_REQUIRE_TOOL("webpmux");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    const fs::path a = dir / "a.png", b = dir / "b.png", source = dir / "source.webp";
    ASSERT_EQ(run("convert -size 100x80 xc:none -fill red -draw 'rectangle 20,20 60,60' " + shellQuote(a.string())), 0);
    ASSERT_EQ(run("convert -size 100x80 xc:none -fill blue -draw 'rectangle 40,30 90,70' " + shellQuote(b.string())), 0);
    ASSERT_EQ(run("img2webp -lossless " + shellQuote(a.string()) + " " + shellQuote(b.string()) + " -o " +
                  shellQuote(source.string()) + " >/dev/null 2>&1"),
              0);
    const std::string mux = runOutput("webpmux -info " + shellQuote(source.string()));
    ASSERT_NE(mux.find("Background color : 0xFFFFFFFF"), std::string::npos) << mux;
    ASSERT_NE(mux.find("1:    41    41    no       20       20"), std::string::npos) << mux;
    const std::vector<Pnm> shown = libwebpFrames(source, dir.path());
    ASSERT_EQ(shown.size(), 2u);
    const fs::path png = dir / "out.png", webp = dir / "out.webp";
    ASSERT_EQ(convertAnimation(source, png, u"Normal"), RC_OK);
    expectSameFrames(apngdisFrames(png, dir.path(), nullptr), shown, "APNG by apngdis", 0);
    ASSERT_EQ(convertAnimation(source, webp, u"Lossless"), RC_OK);
    expectSameFrames(libwebpFrames(webp, dir.path()), shown, "WebP by libwebp", 0);
}

// A screen wider than any WebP frame can be is not laid out, nor is what a
// disposal to the previous picture owes across it given back: the frames
// keep their size (the second grown by a column to an even place), as the
// conversion succeeds.
TEST(AnimationWrite, WebpScreenWiderThanAFrameKeepsItsFirstFrame)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("webpmux");
    TempDir dir;
    const fs::path source = dir / "wide.gif", webp = dir / "out.webp";
    ASSERT_EQ(run("convert -background red -dispose Previous -page 16400x8+0+0 \\( -size 10x8 xc:blue -fill red "
                  "-draw 'point 1,1' \\) -dispose None -page +16391+0 -size 8x8 xc:lime -set delay 10 -loop 0 " +
                  shellQuote(source.string())),
              0);
    ASSERT_EQ(convertAnimation(source, webp, u"Lossless"), RC_OK);
    const std::string mux = runOutput("webpmux -info " + shellQuote(webp.string()));
    EXPECT_NE(mux.find("Canvas size: 16400 x 8"), std::string::npos) << mux;
    EXPECT_NE(mux.find("  1:    10     8"), std::string::npos) << mux;
    EXPECT_NE(mux.find("  2:     9     8"), std::string::npos) << mux;
}

// A first frame that reaches past its canvas is laid on a background as
// large as both; disposed of to the previous picture, it leaves that
// background, under the next frame, as libwebp composes the file.
TEST(AnimationWrite, WebpFirstFramePastItsCanvasIsLaidOnABackgroundThatHoldsIt)
{
    QUILLON_REQUIRE_TOOL(kSystemPython);
    const Rgba8 red = {0, 0, 255, 255}, blue = {255, 0, 0, 255}, lime = {0, 255, 0, 255};
    Ref<Image> frames[2];
    for (int i = 0; i < 2; ++i) {
        const uint32_t side = i ? 4 : 10;
        frames[i] = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(side, side)));
        for (uint32_t r = 0; r < side; ++r) std::fill_n(frames[i]->row<Rgba8>(r), side, i ? lime : blue);
        frames[i]->frameInfo = {12, 8, 0xFFFF0000u, 1, i ? 0 : 5, i ? 0 : 3, 100, uint8_t(i ? 0 : 2), 0};
    }
    frames[1]->frameInfo.prev = frames[0].get();
    frames[0]->frameInfo.next = frames[1].release();
    TempDir dir;
    const fs::path webp = dir / "out.webp";
    registerAllFormats();
    const FormatDescriptor* desc = formatRegistry().at(formatFindByExtension(webp, true));
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(desc->createWriter(webp, desc));
    ASSERT_EQ(w->write(frames[0].get(), u"Lossless", CF_RGB24, 0, true, nullptr, nullptr), RC_OK);
    ASSERT_EQ(w->output.close(), RC_OK);
    std::vector<Pnm> expected(2, Pnm{15, 13, 4, 255, {}});
    for (uint32_t i = 0; i < 2; ++i)
        for (uint32_t y = 0; y < 13; ++y)
            for (uint32_t x = 0; x < 15; ++x) {
                const Rgba8 c = i ? (x < 4 && y < 4 ? lime : red) : (x >= 5 && y >= 3 ? blue : red);
                expected[i].samples.insert(expected[i].samples.end(), {c.r, c.g, c.b, c.a});
            }
    expectSameFrames(libwebpFrames(webp, dir.path()), expected, "past its canvas");
}

// Two pictures stored as one TIFF by tiffcp and by ImageMagick, the second
// smaller, are two pages: every output holds both, as ImageMagick reads the
// source (a TIFF its pages as they are, a GIF or APNG as they show).
TEST(AnimationWrite, SmallerSecondTiffPageStaysAPageInEveryFormat)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("tiffcp");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    const std::string a = shellQuote((dir / "a.tif").string()), b = shellQuote((dir / "b.tif").string());
    ASSERT_EQ(run("convert -size 64x48 xc:yellow -fill red -draw 'rectangle 40,30 63,47' " + a), 0);
    ASSERT_EQ(run("convert -size 30x20 xc:blue " + b), 0);
    for (const std::string make : {"tiffcp", "convert"}) {
        const fs::path source = dir / "two.tif", tiff = dir / "out.tiff", gif = dir / "out.gif", png = dir / "out.png";
        ASSERT_EQ(run(make + " " + a + " " + b + " " + shellQuote(source.string())), 0) << make;
        const std::vector<Pnm> pages = coalesced(source, dir.path(), false), shown = coalesced(source, dir.path());
        ASSERT_EQ(pages.size(), 2u) << make;
        ASSERT_EQ(convertAnimation(source, tiff, nullptr), RC_OK) << make;
        expectSameFrames(coalesced(tiff, dir.path(), false), pages, make + " to TIFF");
        ASSERT_EQ(convertAnimation(source, gif, nullptr), RC_OK) << make;
        expectSameFrames(coalesced(gif, dir.path()), shown, make + " to GIF");
        ASSERT_EQ(convertAnimation(source, png, nullptr), RC_OK) << make;
        expectSameFrames(apngdisFrames(png, dir.path(), nullptr), shown, make + " to APNG");
    }
}

// Animated PNGs by Pillow whose later frames do not blend, so that their
// clear pixels clear what earlier frames drew, written as GIF: every frame,
// composed by ImageMagick, shows what Pillow shows of the source. In the
// second, the last frame clears where the one before it did not draw, and
// what that one drew stays.
TEST(AnimationWrite, ApngFramesThatClearShowClearInGif)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    const char* frames[] = {
        "[new(6, 4), box(new(6, 4), 0, 0, 3, 4, C)]",
        "[new(8, 8), box(new(8, 8), 1, 1, 3, 3, B), box(box(new(8, 8), 1, 1, 3, 3, B), 4, 4, 8, 8, C)]",
    };
    for (const char* list : frames) {
        TempDir dir;
        const fs::path source = dir / "a.png", gif = dir / "a.gif";
        ASSERT_EQ(run(std::string(kSystemPython) + " -c \"from PIL import Image\n"
                      "B, C = (0, 0, 255, 255), (0, 0, 0, 0)\n"
                      "def new(w, h): return Image.new('RGBA', (w, h), (255, 0, 0, 255))\n"
                      "def box(im, x0, y0, x1, y1, c):\n"
                      "    for y in range(y0, y1):\n"
                      "        for x in range(x0, x1): im.putpixel((x, y), c)\n"
                      "    return im\n"
                      "f = " + list + "\n"
                      "f[0].save('" + source.string() + "', save_all=True, append_images=f[1:], "
                      "blend=[0] * len(f), disposal=[0] * len(f), duration=100, loop=0)\""),
                  0);
        ASSERT_EQ(convertAnimation(source, gif, nullptr), RC_OK) << list;
        expectSameFrames(coalesced(gif, dir.path()), pillowFrames(source, dir.path()), list);
    }
}

// A palette GIF whose transparent entry hides magenta, on a yellow
// background, written with "Auto": the transparency stays in the palette of
// PNG and GIF, and in a colour format with alpha in TIFF, BMP, TGA and Sun
// raster, whose palettes cannot hold it. A palette format named, or a
// sub-format without alpha, shows the background there, never the hidden
// colour. Read back by ImageMagick and by Pillow where it reads the alpha.
TEST(AnimationWrite, PaletteTransparencyStaysOrTakesTheBackground)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    const fs::path source = dir / "t.gif";
    ASSERT_EQ(run(std::string(kSystemPython) + " -c \"from PIL import Image; im = Image.new('P', (8, 6), 1); "
                  "im.putpalette([255, 0, 255, 0, 0, 255, 255, 255, 0]); im.paste(0, (0, 0, 4, 3)); im.save('" +
                  source.string() + "', transparency=0, background=2, optimize=False)\""),
              0);
    struct Case {
        const char* out;
        const char16_t* sub;
        ColourFormatFlags colours;
        bool clear;   // else the corner is yellow
        bool pillow;  // Pillow reads the file's alpha (not a 32-bit BMP's or Sun raster's)
        bool magick = true;  // ImageMagick reads the file (not a one-channel indexed PSD)
    };
    const Case cases[] = {
        {"a.tiff", nullptr, CF_AUTO, true, true},         {"a.bmp", nullptr, CF_AUTO, true, false},
        {"a.tga", nullptr, CF_AUTO, true, true},          {"a.ras", nullptr, CF_AUTO, true, false},
        {"a.png", nullptr, CF_AUTO, true, true},          {"a.gif", nullptr, CF_AUTO, true, true},
        {"a.webp", u"Lossless", CF_AUTO, true, true},     {"p.tiff", nullptr, CF_256_COLOURS, false, true},
        {"p.bmp", u"RLE compressed", CF_AUTO, false, true}, {"p.tga", nullptr, CF_256_COLOURS, false, true},
        {"p.ras", nullptr, CF_256_COLOURS, false, true},   {"p.pcx", nullptr, CF_256_COLOURS, false, true},
        {"p.psd", nullptr, CF_AUTO, false, true, false},
    };
    for (const Case& c : cases) {
        const fs::path out = dir / c.out;
        ASSERT_EQ(convertAnimation(source, out, c.sub, c.colours), RC_OK) << c.out;
        if (out.extension() == ".png") {
            EXPECT_EQ(pngColourType(out), 3);
        }
        for (const std::string& reader : {std::string("convert IN -auto-orient pam:-"), pillowDecoder(true)}) {
            if (reader == "convert IN -auto-orient pam:-" ? !c.magick : !c.pillow) continue;
            Pnm p;
            ASSERT_TRUE(oracleDecode(reader, out, p)) << c.out << " " << reader;
            const Rgba corner = pixel(p, 0, 0);
            EXPECT_TRUE(c.clear ? corner.a == 0 : corner == (Rgba{255, 255, 0, 255})) << c.out << " " << reader;
            EXPECT_EQ(pixel(p, 7, 5), (Rgba{0, 0, 255, 255})) << c.out << " " << reader;
        }
    }
}
