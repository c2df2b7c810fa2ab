// Photoshop documents: ImageMagick's files decoded as ImageMagick decodes
// them, hand-built depths, modes and run-length streams, hostile headers,
// and every writer format read back by ImageMagick, with IPTC and XMP
// checked by exiftool.
#include "codecs/more/psd.h"

#include <unistd.h>

#include <array>
#include <cfloat>
#include <cmath>

#include "codecs/metadata_test_util.h"
#include "codecs/raster_oracle.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

struct Doc {
    uint32_t version = 1, channels = 3, height = 2, width = 2, depth = 8, mode = 3;
    std::vector<uint8_t> modeData, resources, layers;
    uint32_t compression = 0;
    std::vector<uint8_t> data;  // after the compression word
};

std::vector<uint8_t> build(const Doc& d)
{
    std::vector<uint8_t> v = {'8', 'B', 'P', 'S'};
    be16(v, d.version);
    v.resize(12, 0);
    be16(v, d.channels);
    be32(v, d.height);
    be32(v, d.width);
    be16(v, d.depth);
    be16(v, d.mode);
    for (const std::vector<uint8_t>* s : {&d.modeData, &d.resources}) {
        be32(v, uint32_t(s->size()));
        v.insert(v.end(), s->begin(), s->end());
    }
    if (d.version == 2) be32(v, 0);
    be32(v, uint32_t(d.layers.size()));
    v.insert(v.end(), d.layers.begin(), d.layers.end());
    be16(v, d.compression);
    v.insert(v.end(), d.data.begin(), d.data.end());
    return v;
}

std::vector<uint8_t> floats(std::initializer_list<float> values)
{
    std::vector<uint8_t> v;
    for (float f : values) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        be32(v, bits);
    }
    return v;
}

// ImageMagick writes the merged image of a document with transparency as
// it is; Photoshop stores it blended with white, the white of the
// document's own model in stored terms. These options, after the conversion
// to the model, blend an image so: colours (or grey) towards full scale,
// ink towards none, and ImageMagick's Lab, whose a and b are offset by half
// their range, towards full lightness and neutral a and b.
const char* const kBlendRgb = " -channel RGB -fx 'u*a+1-a' +channel";
const char* const kBlendCmyk = " -channel CMYK -fx 'u*a' +channel";
const char* const kBlendLab = " -channel R -fx 'u*a+1-a' -channel GB -fx 'u*a+0.5*(1-a)' +channel";

// ImageMagick 6.9.11 refuses every indexed document ("improper image
// header"), its own included; Pillow reads them.
const std::string kPillow = pillowDecoder();

// ImageMagick's decode of `file` at 16 bits per sample, as sRGB with
// `toSrgb`.
bool magick16(const fs::path& file, Pnm& out, bool toSrgb = false)
{
    fs::path pam = file;
    pam += ".16.pam";
    return run("convert " + shellQuote(file.string()) + " -alpha off" + (toSrgb ? " -colorspace sRGB" : "") +
               " -depth 16 pam:" + shellQuote(pam.string())) == 0 &&
           readPnm(pam, out);
}

// Colours within `tolerance` of the oracle's, at the oracle's depth: 16-bit
// images compare their own samples, others their 8-bit display form.
void expectClose(Image* image, const Pnm& p, const std::string& what, int tolerance)
{
    ASSERT_TRUE(image) << what;
    const bool wide = p.maxval > 255;
    Ref<Image> rgba = wide ? Ref<Image>() : asRgba8(image);
    ASSERT_EQ(image->width, p.width) << what;
    ASSERT_EQ(image->height, p.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            int ours[3];
            if (!wide) {
                Rgba8 q = rgba->row<Rgba8>(y)[x];
                ours[0] = q.r, ours[1] = q.g, ours[2] = q.b;
            } else if (image->pixelFormat == PF_GRAY16) {
                ours[0] = ours[1] = ours[2] = image->row<uint16_t>(y)[x];
            } else {
                Rgba16 q = image->row<Rgba16>(y)[x];
                ours[0] = q.r, ours[1] = q.g, ours[2] = q.b;
            }
            for (uint32_t c = 0; c < 3; ++c) {
                int theirs = p.at(x, y, p.channels >= 3 ? c : 0);
                if (std::abs(ours[c] - theirs) > tolerance && ++bad <= 3)
                    ADD_FAILURE() << what << " at " << x << "," << y << " channel " << c << ": " << ours[c]
                                  << " vs " << theirs;
            }
        }
    EXPECT_EQ(bad, 0) << what;
}

// A pixel's channels at 8 or 16 bits, red first, alpha last.
std::array<int, 4> samplesAt(Image* image, uint32_t x, uint32_t y)
{
    switch (image->pixelFormat) {
    case PF_RGBA8: {
        Rgba8 q = image->row<Rgba8>(y)[x];
        return {q.r, q.g, q.b, q.a};
    }
    case PF_RGBA16: {
        Rgba16 q = image->row<Rgba16>(y)[x];
        return {q.r, q.g, q.b, q.a};
    }
    case PF_GRAY8: {
        int v = image->row<uint8_t>(y)[x];
        return {v, v, v, 255};
    }
    case PF_GRAY16: {
        int v = image->row<uint16_t>(y)[x];
        return {v, v, v, 65535};
    }
    default: return {-1, -1, -1, -1};
    }
}

// Our decode of a document blended with white against the colours it was
// blended from, `truth` (colours or grey, then alpha, at our depth): where
// our alpha is not zero, the colours within `tolerance` and what rounding
// the blend in the file (`fileMax` full scale) cost them, a stored level
// (ImageMagick's blend is not always the nearest) over the alpha, `spread`
// times over where a conversion mixes channels; with `alpha`, the alpha equal to the truth's (8-bit alpha the
// nearest to 16-bit truth).
void expectBlendUndone(Image* image, const Pnm& truth, uint32_t fileMax, int tolerance, double spread, bool alpha,
                       const std::string& what)
{
    ASSERT_TRUE(image) << what;
    ASSERT_EQ(image->width, truth.width) << what;
    ASSERT_EQ(image->height, truth.height) << what;
    const int full = image->pixelFormat == PF_RGBA16 ? 65535 : 255;
    const bool narrowed = truth.maxval == 65535 && full == 255;
    int bad = 0;
    for (uint32_t y = 0; y < truth.height; ++y)
        for (uint32_t x = 0; x < truth.width; ++x) {
            const std::array<int, 4> ours = samplesAt(image, x, y);
            const int theirs = truth.at(x, y, truth.channels - 1);
            bool ok = !alpha || (narrowed ? std::abs(ours[3] * 257 - theirs) <= 128 : ours[3] == theirs);
            int allowed = tolerance;
            if (ours[3] != full && ours[3] != 0)
                allowed += 1 + int(std::ceil(spread * full / ours[3] * (narrowed ? 255 : truth.maxval) / fileMax));
            for (uint32_t c = 0; c < 3 && ours[3] != 0; ++c)
                ok = ok && std::abs(ours[c] - int(truth.at(x, y, truth.channels >= 3 ? c : 0))) <= allowed;
            if (!ok && ++bad <= 3)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << ours[0] << " " << ours[1] << " "
                              << ours[2] << " " << ours[3] << ", truth " << truth.at(x, y, 0) << " ... alpha "
                              << theirs << " (within " << allowed << ")";
        }
    EXPECT_EQ(bad, 0) << what;
}

} // namespace

TEST(PsdReader, ImageMagickFilesInEveryModeDecodeAsImageMagickDoes)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    fs::path src = dir / "src.ppm";
    ASSERT_TRUE(makeSwirlPicture(src));
    const std::string s = shellQuote(src.string());
    struct Case {
        const char* name;
        std::string options;
        PixelFormat format;
        int tolerance;
    } cases[] = {
        {"rgb8", "", PF_RGBA8, 0},
        {"rgb16", "-depth 16", PF_RGBA16, 0},
        {"grey8", "-colorspace gray", PF_GRAY8, 0},
        {"grey16", "-colorspace gray -depth 16", PF_GRAY16, 0},
        {"indexed", "-colors 50 -type palette", PF_INDEXED8, 0},
        // Rounding of the ink-to-RGB products differs by one.
        {"cmyk", "-colorspace cmyk", PF_RGBA8, 1},
        {"cmyk16", "-colorspace cmyk -depth 16", PF_RGBA16, 1},
        // A fourth channel, which ImageMagick marks as the merged image's
        // transparency by a negative layer count, the colours blended with
        // white as Photoshop stores them, which ImageMagick takes back out
        // (cutting off where we round a half up).
        {"extra channel", std::string("-alpha set -channel A -fx 'i/w' +channel") + kBlendRgb, PF_RGBA8, 1},
    };
    for (const char* compression : {"None", "RLE"}) {
        for (const Case& c : cases) {
            const std::string what = std::string(c.name) + " " + compression;
            fs::path file = dir / "in.psd";
            ASSERT_EQ(run("convert " + s + " " + c.options + " -compress " + compression + " " +
                          shellQuote(file.string())),
                      0)
                << what;
            Decoded d = decodeFileFull(file);
            ASSERT_EQ(d.rc, RC_OK) << what;
            EXPECT_EQ(d.reader->pixelFormat, c.format) << what;
            const char16_t* method = d.reader->info.get(INFO_COMPRESSION);
            EXPECT_EQ(method && std::u16string(method) == u"RLE", std::string(compression) == "RLE") << what;
            Pnm p;
            const bool extra = std::string(c.name) == "extra channel";
            const bool ink = std::string(c.name).rfind("cmyk", 0) == 0;
            if (c.format == PF_RGBA16 || c.format == PF_GRAY16) ASSERT_TRUE(magick16(file, p, ink)) << what;
            else if (c.format == PF_INDEXED8) ASSERT_TRUE(oracleDecode(kPillow, file, p)) << what;
            else ASSERT_TRUE(oracleDecode("convert IN[0] -alpha off -colorspace sRGB ppm:-", file, p)) << what;
            expectClose(d.image.get(), p, what, c.tolerance);
            if (extra) {
                EXPECT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT);
                EXPECT_EQ(d.image->row<Rgba8>(5)[0].a, 0);
            }
            if (ink) {
                EXPECT_EQ(u16ToUtf8(d.field(INFO_COLOUR_MODEL)), "CMYK") << what;
            }
        }
    }
}

// Documents with layers whose count is negative keep the merged image's
// transparency in the channel after the colours, as ImageMagick writes it,
// and the merged colours, which are blended with white, are taken back
// out of the blend: as ImageMagick does, and as near the colours they were
// blended from (Pillow's decode of the document before the blend, since
// Pillow shows the blend as stored) as the blend's rounding leaves them.
TEST(PsdReader, LayeredDocumentsKeepTheMergedTransparency)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const std::string pillowRgba = pillowDecoder(true);
    struct Case {
        const char* name;
        std::string command;
    } cases[] = {
        {"square", "-size 20x20 xc:none -fill red -draw 'rectangle 5,5 14,14'"},
        {"soft", "-size 23x17 gradient:red-blue -alpha set -channel A -fx 'j/h' +channel"},
    };
    for (const Case& c : cases)
        for (const char* compression : {"None", "RLE"}) {
            const std::string what = std::string(c.name) + " " + compression;
            const fs::path plain = dir / "plain.psd", file = dir / "layered.psd";
            // Pillow reads 8-bit documents only.
            for (const auto& [path, blend] : {std::pair{plain, ""}, std::pair{file, kBlendRgb}})
                ASSERT_EQ(run("convert " + c.command + blend + " -depth 8 -compress " + compression + " " +
                              shellQuote(path.string())),
                          0)
                    << what;
            Decoded d = decodeFileFull(file);
            ASSERT_EQ(d.rc, RC_OK) << what;
            EXPECT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT) << what;
            Pnm truth, magick;
            ASSERT_TRUE(oracleDecode(pillowRgba, plain, truth)) << what;
            ASSERT_EQ(truth.channels, 4u) << what;
            expectBlendUndone(d.image.get(), truth, 255, 0, 1, true, what + " Pillow before the blend");
            ASSERT_TRUE(oracleDecode("convert IN[0] -alpha off ppm:-", file, magick)) << what;
            // ImageMagick cuts off the colours it takes out of the blend,
            // where we round a half up.
            expectClose(d.image.get(), magick, what + " ImageMagick", 1);
        }

    // Hand-built: the count in a large document's 8-byte layer length, and a
    // count that is not negative, whose fourth channel stays unread and
    // whose colours are as stored. With the transparency, blue 200 at alpha
    // 100 was blended from (200 - 155) * 255 / 100 = 114.75, green 40 from
    // less than nothing, and a fully transparent pixel keeps what is stored.
    // Red 230 at alpha 100 was 255 - 63.75 = 191.25: to the nearest, 191,
    // where cutting off what the blend took (63) gives 192, and cutting off
    // 114.75 gives 114. The same samples at 16 bits (times 257) keep those
    // fractions: 29490.75 and 49151.25.
    for (uint32_t depth : {8u, 16u})
        for (int16_t count : {-1, 1})
            for (uint32_t version : {1u, 2u}) {
                const std::string what = std::to_string(depth) + " bits, count " + std::to_string(count) +
                                         " version " + std::to_string(version);
                Doc doc;
                doc.version = version, doc.channels = 4, doc.width = 3, doc.height = 1, doc.depth = depth;
                if (version == 2) be32(doc.layers, 0);
                be32(doc.layers, 2);
                be16(doc.layers, uint16_t(count));
                for (uint32_t v : {10, 20, 230, 30, 40, 255, 50, 200, 128, 0, 100, 100}) {
                    if (depth == 8) doc.data.push_back(uint8_t(v));
                    else be16(doc.data, v * 257);
                }
                Decoded d = decodeBytesFull(build(doc), "l.psd");
                ASSERT_EQ(d.rc, RC_OK) << what;
                const int k = depth == 8 ? 1 : 257, full = 255 * k;
                const std::array<int, 4> clear = samplesAt(d.image.get(), 0, 0), soft = samplesAt(d.image.get(), 1, 0),
                                         edge = samplesAt(d.image.get(), 2, 0);
                EXPECT_EQ(soft[2], count < 0 ? (depth == 8 ? 115 : 29491) : 200 * k) << what;
                EXPECT_EQ(soft[1], count < 0 ? 0 : 40 * k) << what;
                EXPECT_EQ(edge[0], count < 0 ? (depth == 8 ? 191 : 49151) : 230 * k) << what;
                EXPECT_EQ(edge[1], full) << what;
                EXPECT_EQ(clear[2], 50 * k) << what;
                EXPECT_EQ(clear[3], count < 0 ? 0 : full) << what;
                EXPECT_EQ(soft[3], count < 0 ? 100 * k : full) << what;
            }
}

namespace {

// The length word of a version-1 document's layer and mask section, after
// the colour-mode data and the image resources.
size_t layerSectionAt(const std::vector<uint8_t>& f)
{
    size_t at = 26;
    for (int i = 0; i < 2 && at + 4 <= f.size(); ++i) at += 4 + loadU32be(&f[at]);
    return at;
}

// The layer count in the layer info, 0 when there is none.
int layerInfoCount(const std::vector<uint8_t>& f)
{
    const size_t at = layerSectionAt(f);
    if (at + 10 > f.size() || loadU32be(&f[at]) < 6 || loadU32be(&f[at + 4]) < 2) return 0;
    return int16_t(loadU16be(&f[at + 8]));
}

std::vector<uint8_t> withLayerCount(std::vector<uint8_t> f, int16_t count)
{
    const size_t at = layerSectionAt(f) + 8;
    f[at] = uint8_t(uint16_t(count) >> 8), f[at + 1] = uint8_t(count);
    return f;
}

// The same document with an empty layer and mask section.
std::vector<uint8_t> withoutLayers(const std::vector<uint8_t>& f)
{
    const size_t at = layerSectionAt(f);
    std::vector<uint8_t> v(f.begin(), f.begin() + long(at));
    be32(v, 0);
    v.insert(v.end(), f.begin() + long(at + 4 + loadU32be(&f[at])), f.end());
    return v;
}

// The same document with its layer info moved into a tagged block `key`
// ("Lr16" or "Lr32") after an empty layer info and the global mask info
// `globalMask`, as 16- and 32-bit documents may keep it.
std::vector<uint8_t> withLayersIn(const std::vector<uint8_t>& f, const char* key,
                                  const std::vector<uint8_t>& globalMask = {})
{
    const size_t at = layerSectionAt(f);
    const size_t infoLength = loadU32be(&f[at + 4]);
    const auto info = f.begin() + long(at + 8);
    std::vector<uint8_t> section(4, 0);
    be32(section, uint32_t(globalMask.size()));
    section.insert(section.end(), globalMask.begin(), globalMask.end());
    for (const char* c : {"8BIM", key}) section.insert(section.end(), c, c + 4);
    be32(section, uint32_t(infoLength));
    section.insert(section.end(), info, info + long(infoLength));
    if (infoLength & 1) section.push_back(0);
    std::vector<uint8_t> v(f.begin(), f.begin() + long(at));
    be32(v, uint32_t(section.size()));
    v.insert(v.end(), section.begin(), section.end());
    v.insert(v.end(), f.begin() + long(at + 4 + loadU32be(&f[at])), f.end());
    return v;
}

// Every channel of the merged image as one sample of a PAM, from Pillow's
// raw and PackBits decoders. Pillow's own PSD reader keeps no merged
// transparency for grey, CMYK or Lab (and refuses ImageMagick's layered grey
// documents), so the planes are found here - PackBits ones by their row
// counts, which our reader does not use - and Pillow decodes each one.
const char* const kPillowPlanes = R"(import struct, sys
from PIL import Image
b = open(sys.argv[1], 'rb').read()
ch, h, w, depth = struct.unpack('>HIIH', b[12:24])
p = 26
for _ in range(3):
    p += 4 + struct.unpack('>I', b[p:p + 4])[0]
rle = struct.unpack('>H', b[p:p + 2])[0] == 1
p += 2
if rle:
    counts = struct.unpack('>%dH' % (ch * h), b[p:p + 2 * ch * h])
    p += 2 * ch * h
mode, raw = ('L', 'L') if depth == 8 else ('I', 'I;16B')
planes = []
for c in range(ch):
    n = sum(counts[c * h:(c + 1) * h]) if rle else w * h * depth // 8
    planes.append(Image.frombytes(mode, (w, h), b[p:p + n], 'packbits' if rle else 'raw', raw).getdata())
    p += n
form = 'B' if depth == 8 else '>H'
sys.stdout.buffer.write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nENDHDR\n' % (w, h, ch, 2 ** depth - 1))
sys.stdout.buffer.write(b''.join(struct.pack(form, planes[c][i]) for i in range(w * h) for c in range(ch)))
)";

bool pillowPlanes(const fs::path& file, Pnm& out)
{
    const fs::path script = file.parent_path() / "planes.py", pam = file.string() + ".planes.pam";
    writeFile(script, std::string(kPillowPlanes));
    return run(std::string(kSystemPython) + " " + shellQuote(script.string()) + " " + shellQuote(file.string()) +
               " > " + shellQuote(pam.string())) == 0 &&
           readPnm(pam, out);
}

// ImageMagick's decode of the merged image (the first of the file's
// images), as stored rather than taken back from a blend with white (unless
// `unblend`), and as sRGB for CMYK and Lab: its grey documents keep their
// alpha only without that conversion.
bool magickMerged(const fs::path& file, uint32_t depth, bool toSrgb, Pnm& out, bool unblend = false)
{
    const fs::path pam = file.string() + ".magick.pam";
    return run(std::string("convert ") + (unblend ? "" : "-define psd:alpha-unblend=off ") +
               shellQuote(file.string() + "[0]") +
               (toSrgb ? " -colorspace sRGB" : "") + " -depth " +
               std::to_string(depth) + " pam:" + shellQuote(pam.string())) == 0 &&
           readPnm(pam, out);
}

// Our colours within `tolerance` of the oracle's (its only channel for
// grey), and our alpha equal to its channel `alpha` (none: not compared),
// or, 8-bit against a 16-bit oracle, the 8-bit value nearest to it.
void expectPixels(Image* image, const Pnm& p, int tolerance, int alpha, const std::string& what)
{
    const bool narrowed = p.maxval == 65535 && image->pixelFormat == PF_RGBA8;
    ASSERT_TRUE(image) << what;
    ASSERT_EQ(image->width, p.width) << what;
    ASSERT_EQ(image->height, p.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            const std::array<int, 4> ours = samplesAt(image, x, y);
            bool ok = true;
            for (uint32_t c = 0; c < 3 && tolerance >= 0; ++c)
                ok = ok && std::abs(ours[c] - int(p.at(x, y, p.channels >= 3 ? c : 0))) <= tolerance;
            const int theirs = alpha >= 0 ? int(p.at(x, y, uint32_t(alpha))) : 0;
            if (alpha >= 0) ok = ok && (narrowed ? std::abs(ours[3] * 257 - theirs) <= 128 : ours[3] == theirs);
            if (!ok && ++bad <= 3)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << ours[0] << " " << ours[1] << " "
                              << ours[2] << " " << ours[3] << ", oracle " << p.at(x, y, 0) << " ... alpha "
                              << (alpha >= 0 ? int(p.at(x, y, uint32_t(alpha))) : -1);
        }
    EXPECT_EQ(bad, 0) << what;
}

// Transparent pixels the source has: 9 of its 37 columns, a quarter.
const char* const kSourceWithAlpha =
    "-size 37x11 gradient:'#c06040'-'#4070b0' -swirl 90 -fill '#60a070' -draw 'circle 10,5 14,7' "
    "-alpha set -channel A -fx 'i<9 ? 0 : (i+j)/(w+h)' +channel";

} // namespace

// Grey, duotone, CMYK and Lab documents whose layer count is negative keep
// the merged image's transparency, in the channel after the colours, as RGB
// documents do; without such a count the channel is a saved selection and
// the picture stays opaque, as stored. Either way the document names its
// own colour model. ImageMagick writes the grey and CMYK documents; it
// writes Lab as RGB, so its Lab values, written as if RGB, are marked as Lab
// by hand, and duotone is grey marked so. Each is written as it is and
// blended with white as Photoshop stores it: the blend read back is near
// ImageMagick's decode of the document before it, which ImageMagick, taking
// only RGB back out of the blend, is the one to show.
TEST(PsdReader, MergedTransparencyInEveryColourMode)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    // 16-bit documents from a 16-bit source, whose alpha is not 8-bit alpha
    // widened.
    std::string sources[2];
    for (uint32_t depth : {8u, 16u}) {
        const fs::path src = dir / ("src" + std::to_string(depth) + ".png");
        ASSERT_EQ(run(std::string("convert ") + kSourceWithAlpha + " -depth " + std::to_string(depth) + " " +
                      shellQuote(src.string())),
                  0);
        sources[depth / 16] = shellQuote(src.string());
    }
    struct Case {
        const char* name;
        std::string options, blend;
        uint32_t depth, colours, mode;
        PixelFormat format;
        int tolerance;  // of the colours against ImageMagick's
        double spread;  // of the blend's rounding by the conversion to RGB
        const char* model;
    } cases[] = {
        {"grey8", "-colorspace gray -depth 8", kBlendRgb, 8, 1, 1, PF_RGBA8, 0, 1, "L"},
        {"grey16", "-colorspace gray -depth 16", kBlendRgb, 16, 1, 1, PF_RGBA16, 0, 1, "L"},
        {"duotone8", "-colorspace gray -depth 8", kBlendRgb, 8, 1, 8, PF_RGBA8, 0, 1, "L"},
        {"duotone16", "-colorspace gray -depth 16", kBlendRgb, 16, 1, 8, PF_RGBA16, 0, 1, "L"},
        // Rounding of the ink-to-RGB products differs by one.
        {"cmyk8", "-colorspace cmyk -depth 8", kBlendCmyk, 8, 4, 4, PF_RGBA8, 1, 2, "CMYK"},
        {"cmyk16", "-colorspace cmyk -depth 16", kBlendCmyk, 16, 4, 4, PF_RGBA16, 1, 2, "CMYK"},
        // The two conversions from Lab differ a little in rounding and white,
        // and move a saturated colour several levels for a unit of a or b.
        {"lab8", "-colorspace Lab -depth 8", kBlendLab, 8, 3, 9, PF_RGBA8, 3, 5, "Lab"},
        // Brought to 8 bits, which is all the conversion from Lab takes: a
        // and b rounded to whole units move a saturated colour a few levels.
        {"lab16", "-colorspace Lab -depth 16", kBlendLab, 16, 3, 9, PF_RGBA8, 5, 5, "Lab"},
    };
    for (const Case& c : cases)
        for (const char* compression : {"None", "RLE"}) {
            const std::string what = std::string(c.name) + " " + compression;
            const fs::path plain = dir / (std::string(c.name) + compression + "-plain.psd"),
                           file = dir / (std::string(c.name) + compression + ".psd");
            std::vector<uint8_t> bytes;
            for (const auto& [path, blend] : {std::pair{plain, std::string()}, std::pair{file, c.blend}}) {
                const std::string lab = c.mode == 9 ? " -set colorspace sRGB" : "";
                ASSERT_EQ(run("convert " + sources[c.depth / 16] + " " + c.options + blend + lab + " -compress " +
                              compression + " " + shellQuote(path.string())),
                          0)
                    << what;
                bytes = readFile(path);
                ASSERT_GT(bytes.size(), 30u) << what;
                if (c.mode != loadU16be(&bytes[24])) {
                    ASSERT_EQ(loadU16be(&bytes[24]), c.mode == 9 ? 3u : 1u) << what;
                    bytes[25] = uint8_t(c.mode);
                    writeFile(path, bytes);
                }
            }
            ASSERT_EQ(loadU16be(&bytes[12]), c.colours + 1) << what;
            ASSERT_EQ(loadU16be(&bytes[22]), c.depth) << what;
            // ImageMagick marks the merged transparency by a negative count.
            ASSERT_LT(layerInfoCount(bytes), 0) << what;

            Decoded d = decodeFileFull(file);
            ASSERT_EQ(d.rc, RC_OK) << what;
            EXPECT_EQ(d.reader->pixelFormat, c.format) << what;
            EXPECT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT) << what;
            EXPECT_EQ(u16ToUtf8(d.field(INFO_COLOUR_MODEL)), c.model) << what;
            const uint32_t fileMax = c.depth == 8 ? 255 : 65535;
            Pnm truth, stored, planes;
            ASSERT_TRUE(magickMerged(plain, c.depth, c.colours != 1, truth)) << what;
            ASSERT_TRUE(magickMerged(file, c.depth, c.colours != 1, stored)) << what;
            ASSERT_TRUE(pillowPlanes(file, planes)) << what;
            ASSERT_EQ(planes.channels, c.colours + 1) << what;
            if (c.format == PF_RGBA8 && c.depth == 16) {
                // Colours at our depth; the alpha at the file's, which
                // ImageMagick does not bring to 8 bits by rounding.
                ASSERT_TRUE(magickMerged(plain, 8, true, truth)) << what;
                ASSERT_TRUE(magickMerged(file, 8, true, stored)) << what;
                expectPixels(d.image.get(), planes, -1, int(c.colours), what + " Pillow's alpha");
            }
            expectBlendUndone(d.image.get(), truth, fileMax, c.tolerance, c.spread, truth.maxval == fileMax,
                              what + " ImageMagick before the blend");
            expectPixels(d.image.get(), planes, -1, int(c.colours), what + " Pillow's planes");
            uint32_t clear = 0;
            for (uint32_t y = 0; y < planes.height; ++y)
                for (uint32_t x = 0; x < planes.width; ++x) clear += planes.at(x, y, c.colours) == 0;
            EXPECT_EQ(clear, 9u * 11) << what;
            // The file holds the blend: its clear pixels are white.
            for (uint32_t ch = 0; ch < c.colours; ++ch)
                EXPECT_NEAR(planes.at(0, 0, ch), c.mode == 9 && ch ? fileMax / 2 + 1 : fileMax, 1) << what;
            EXPECT_EQ(samplesAt(d.image.get(), 0, 0)[3], 0) << what;

            // The same document read without its transparency (a positive
            // count, or no layers at all) stays opaque, its colours as
            // stored, converted by the decode driver.
            for (const auto& [how, twin] : {std::pair{"positive count", withLayerCount(bytes, 1)},
                                            std::pair{"no layers", withoutLayers(bytes)}}) {
                Decoded o = decodeBytesFull(twin, "o.psd");
                ASSERT_EQ(o.rc, RC_OK) << what << " " << how;
                EXPECT_EQ(o.reader->alphaKind, ALPHA_NONE) << what << " " << how;
                EXPECT_EQ(o.field(INFO_COLOUR_MODEL), d.field(INFO_COLOUR_MODEL)) << what << " " << how;
                expectPixels(o.image.get(), stored, c.tolerance, -1, what + " " + how);
                const std::array<int, 4> clearPixel = samplesAt(o.image.get(), 0, 0);
                EXPECT_EQ(clearPixel[3], c.format == PF_RGBA16 || (c.colours == 1 && c.depth == 16) ? 65535 : 255)
                    << what << " " << how;
            }
        }

    // 32-bit CMYK and Lab, which nothing writes, stay refused, with alpha or
    // not.
    for (uint32_t mode : {4u, 9u})
        for (int16_t count : {-1, 0}) {
            Doc deep;
            deep.mode = mode, deep.depth = 32, deep.width = 1, deep.height = 1;
            deep.channels = (mode == 4 ? 4 : 3) + 1;
            be32(deep.layers, 2);
            be16(deep.layers, uint16_t(count));
            deep.data = floats({0.5f, 0.5f, 0.5f, 0.5f, 1.0f});
            EXPECT_EQ(decodeBytesFull(build(deep), "deep.psd").rc, RC_UNSUPPORTED_SUBFORMAT) << mode << " " << count;
        }

    // Cut CMYK and Lab documents with their transparency: every cut is
    // damage, and what was read is kept.
    for (const char* space : {"cmyk -depth 8", "cmyk -depth 16", "Lab -set colorspace sRGB -depth 16"}) {
        const fs::path small = dir / "small.psd";
        ASSERT_EQ(run("convert -size 9x5 gradient:red-blue -alpha set -channel A -fx 'i/w' +channel -colorspace " +
                      std::string(space) + " -compress RLE " + shellQuote(small.string())),
                  0);
        std::vector<uint8_t> bytes = readFile(small);
        if (std::string(space).rfind("Lab", 0) == 0) bytes[25] = 9;
        expectEveryCutIsDamage(bytes, "small.psd", 30);
    }
    // Rows it never reached are white and opaque, as without transparency.
    for (uint32_t depth : {8u, 16u}) {
        Doc cut;
        cut.mode = 4, cut.depth = depth, cut.channels = 5, cut.width = 1, cut.height = 2;
        be32(cut.layers, 2);
        be16(cut.layers, 0xFFFF);
        cut.data.assign(depth / 8, 0);  // full cyan in the first row
        Decoded d = decodeBytesFull(build(cut), "cut.psd");
        ASSERT_EQ(d.rc, RC_CORRUPT_FILE) << depth;
        ASSERT_TRUE(d.image) << depth;
        const int full = depth == 8 ? 255 : 65535;
        EXPECT_EQ(samplesAt(d.image.get(), 0, 0), (std::array<int, 4>{0, full, full, full})) << depth;
        EXPECT_EQ(samplesAt(d.image.get(), 0, 1), (std::array<int, 4>{full, full, full, full})) << depth;
    }
}

// Soft edges: colours at alpha 0, 1, 17, 128, 254 and 255 in RGB, grey,
// CMYK and Lab documents of 8 and 16 bits, blended with white in the file
// as Photoshop stores them, come back as the colours they were, as near as
// the blend's rounding allows: as ImageMagick takes RGB back out of the
// blend, and as ImageMagick and Pillow decode the document before it. Lab,
// whose conversion here and in ImageMagick parts by several levels on these
// saturated colours, is held to the document before the blend read opaque.
TEST(PsdReader, SoftEdgesComeBackOutOfTheWhiteBlend)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const uint16_t alphas[] = {0, 1, 17, 128, 254, 255};
    const uint16_t colours[][3] = {{45, 165, 225}, {200, 30, 90}, {250, 250, 5}};
    Pnm src;
    src.width = 6, src.height = 3, src.channels = 4, src.maxval = 255;
    for (const auto& colour : colours)
        for (uint16_t alpha : alphas) src.samples.insert(src.samples.end(), {colour[0], colour[1], colour[2], alpha});
    const fs::path source = dir / "soft.pam";
    ASSERT_TRUE(writePnm(source, src));
    const std::string pillowRgba = pillowDecoder(true);
    struct Case {
        const char* name;
        std::string options, blend;
        uint32_t depth, colours, mode;
        int tolerance;  // as in MergedTransparencyInEveryColourMode
        double spread;
    } cases[] = {
        {"rgb8", "", kBlendRgb, 8, 3, 3, 0, 1},
        {"rgb16", "", kBlendRgb, 16, 3, 3, 0, 1},
        {"grey8", "-colorspace gray", kBlendRgb, 8, 1, 1, 0, 1},
        {"grey16", "-colorspace gray", kBlendRgb, 16, 1, 1, 0, 1},
        {"cmyk8", "-colorspace cmyk", kBlendCmyk, 8, 4, 4, 1, 2},
        {"cmyk16", "-colorspace cmyk", kBlendCmyk, 16, 4, 4, 1, 2},
        // ImageMagick writes its blend of Lab cut off, not rounded, and a
        // unit of a or b moves these colours up to ten levels; brought to 8
        // bits, a 16-bit sample a little off may round to the next unit.
        {"lab8", "-colorspace Lab", kBlendLab, 8, 3, 9, 0, 16},
        {"lab16", "-colorspace Lab", kBlendLab, 16, 3, 9, 10, 16},
    };
    for (const Case& c : cases) {
        const std::string what = c.name;
        const fs::path plain = dir / (what + "-plain.psd"), file = dir / (what + ".psd");
        const std::string depth = " -depth " + std::to_string(c.depth);
        for (const auto& [path, blend] : {std::pair{plain, std::string()}, std::pair{file, c.blend}}) {
            const std::string lab = c.mode == 9 ? " -set colorspace sRGB" : "";
            ASSERT_EQ(run("convert " + shellQuote(source.string()) + " " + c.options + blend + lab + depth +
                          " -compress RLE " + shellQuote(path.string())),
                      0)
                << what;
            if (c.mode == 9) {
                std::vector<uint8_t> bytes = readFile(path);
                ASSERT_EQ(loadU16be(&bytes[24]), 3u) << what;
                bytes[25] = 9;
                writeFile(path, bytes);
            }
        }
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << what;
        ASSERT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT) << what;
        const uint32_t fileMax = c.depth == 8 ? 255 : 65535;
        const bool wide = d.image->pixelFormat == PF_RGBA16;
        for (uint32_t x = 0; x < 6; ++x)
            EXPECT_EQ(samplesAt(d.image.get(), x, 0)[3], alphas[x] * (wide ? 257 : 1)) << what << " " << x;

        // The file holds the blend: clear pixels are white.
        Pnm planes;
        ASSERT_TRUE(pillowPlanes(file, planes)) << what;
        for (uint32_t y = 0; y < 3; ++y)
            for (uint32_t ch = 0; ch < c.colours; ++ch)
                EXPECT_NEAR(planes.at(0, y, ch), c.mode == 9 && ch ? fileMax / 2 + 1 : fileMax, 1) << what;
        if (what == "rgb8") {
            // 45, 165, 225 at alpha 17 is stored as 241, 249, 253.
            EXPECT_EQ((std::array<int, 3>{planes.at(2, 0, 0), planes.at(2, 0, 1), planes.at(2, 0, 2)}),
                      (std::array<int, 3>{241, 249, 253}));
            const std::array<int, 4> edge = samplesAt(d.image.get(), 2, 0);
            EXPECT_EQ(edge, (std::array<int, 4>{45, 165, 225, 17}));
            // Fully transparent: what is stored.
            EXPECT_EQ(samplesAt(d.image.get(), 0, 0), (std::array<int, 4>{255, 255, 255, 0}));
        }

        const bool narrowed = c.depth == 16 && !wide && c.colours != 1;
        Pnm truth;
        ASSERT_TRUE(magickMerged(plain, narrowed ? 8 : c.depth, c.colours != 1, truth)) << what;
        if (c.mode == 9) {
            Decoded o = decodeBytesFull(withoutLayers(readFile(plain)), "o.psd");
            ASSERT_EQ(o.rc, RC_OK) << what;
            for (uint32_t y = 0; y < truth.height; ++y)
                for (uint32_t x = 0; x < truth.width; ++x)
                    for (uint32_t ch = 0; ch < 3; ++ch) truth.samples[(y * truth.width + x) * 4 + ch] =
                        uint16_t(samplesAt(o.image.get(), x, y)[ch]);
            expectBlendUndone(d.image.get(), truth, fileMax, c.tolerance, c.spread, false,
                              what + " read before the blend");
        } else {
            expectBlendUndone(d.image.get(), truth, fileMax, c.tolerance, c.spread, true,
                              what + " ImageMagick before the blend");
        }
        if (c.mode == 3) {
            Pnm magick;
            if (wide) ASSERT_TRUE(magick16(file, magick)) << what;
            else ASSERT_TRUE(oracleDecode("convert IN[0] -alpha off ppm:-", file, magick)) << what;
            // ImageMagick cuts off what we round a half up.
            expectClose(d.image.get(), magick, what + " ImageMagick", 1);
        }
        if (what == "rgb8") {
            ASSERT_TRUE(oracleDecode(pillowRgba, plain, truth)) << what;
            expectBlendUndone(d.image.get(), truth, fileMax, 0, 1, true, what + " Pillow before the blend");
        }
    }
}

namespace {

// 32-bit RGB and grey documents with soft transparency, built from the
// format's definition: the colours (linear light, as ImageMagick reads them
// too) and alpha of each document before the blend, and the same document
// blended with white (1) in double precision and stored as floats.
const char* const kFloatDocuments = R"(import struct, sys
w, h = 11, 4
alphas = [0, 1 / 255, 0.01, 0.1, 0.25, 0.5, 0.75, 0.9, 0.99, 1, 0.3]
def document(path, colours, blend):
    planes = []
    for c in range(colours):
        values = [((x * 7 + y * 5 + c * 3) % 11) / 10 for y in range(h) for x in range(w)]
        planes.append([1 + (v - 1) * alphas[i % w] if blend else v for i, v in enumerate(values)])
    planes.append([alphas[x] for y in range(h) for x in range(w)])
    b = b'8BPS' + struct.pack('>H6xHIIHH', 1, colours + 1, h, w, 32, 3 if colours == 3 else 1)
    # No colour-mode data or resources; layer info that is only a count of
    # -1: the last channel is the merged transparency. Raw planes.
    b += struct.pack('>IIIIhH', 0, 0, 6, 2, -1, 0)
    b += b''.join(struct.pack('>f', v) for p in planes for v in p)
    open(path, 'wb').write(b)
for name, colours in (('rgb', 3), ('grey', 1)):
    document('%s/%s-plain.psd' % (sys.argv[1], name), colours, False)
    document('%s/%s.psd' % (sys.argv[1], name), colours, True)
)";

} // namespace

// Float documents with transparency come back out of the white blend too,
// unrounded: near ImageMagick's decode of the document before the blend
// (within its 16 bits and the float blend's rounding over the alpha), and
// near ImageMagick's own taking out of the blend (of RGB only), which
// brings the stored samples to 16 bits first. Clear pixels keep their
// stored white. Alpha that is not a fraction keeps what is stored; colours
// stay at or above zero and finite, and may go above white.
TEST(PsdReader, FloatDocumentsComeBackOutOfTheWhiteBlendUnrounded)
{
    auto srgb = [](float v) { return float(v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055); };
    const float nan = std::nanf("");
    struct Sample {
        float stored, alpha, want;
    } samples[] = {
        {0.5f, 0.0f, 0.5f}, {0.5f, 1.0f, 0.5f}, {0.5f, nan, 0.5f},   {0.5f, -0.5f, 0.5f},
        {0.5f, 2.0f, 0.5f}, {0.5f, 0.25f, 0.0f}, {2.0f, 0.5f, 3.0f}, {3e38f, 1e-30f, FLT_MAX},
    };
    Doc f;
    f.channels = 4, f.depth = 32, f.width = uint32_t(std::size(samples)), f.height = 1;
    be32(f.layers, 2);
    be16(f.layers, 0xFFFF);
    for (int plane = 0; plane < 4; ++plane)
        for (const Sample& s : samples)
            for (uint8_t byte : floats({plane == 3 ? s.alpha : plane == 0 ? s.stored : 1.0f}))
                f.data.push_back(byte);
    Decoded d = decodeBytesFull(build(f), "f.psd");
    ASSERT_EQ(d.rc, RC_OK);
    for (const Sample& s : samples) {
        const RgbaF q = d.image->row<RgbaF>(0)[&s - samples];
        EXPECT_TRUE(std::isfinite(q.r)) << s.stored << " at " << s.alpha;
        EXPECT_FLOAT_EQ(q.r, srgb(s.want)) << s.stored << " at " << s.alpha;
        // White stays white at any alpha.
        EXPECT_FLOAT_EQ(q.g, 1.0f) << s.stored << " at " << s.alpha;
    }

    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const fs::path script = dir / "float.py";
    writeFile(script, std::string(kFloatDocuments));
    const std::string args = shellQuote(script.string()) + " " + shellQuote(dir.path().string());
    ASSERT_EQ(run(std::string(kSystemPython) + " " + args), 0);
    auto linear = [](float v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    for (const std::string name : {"rgb", "grey"}) {
        Decoded e = decodeFileFull(dir / (name + ".psd"));
        ASSERT_EQ(e.rc, RC_OK) << name;
        ASSERT_EQ(e.image->pixelFormat, PF_RGBA_FLOAT) << name;
        EXPECT_EQ(e.reader->alphaKind, ALPHA_STRAIGHT) << name;
        Pnm truth, unblended;
        ASSERT_TRUE(magickMerged(dir / (name + "-plain.psd"), 16, false, truth)) << name;
        ASSERT_TRUE(magickMerged(dir / (name + ".psd"), 16, false, unblended, true)) << name;
        ASSERT_EQ(truth.width, e.image->width) << name;
        ASSERT_EQ(truth.height, e.image->height) << name;
        ASSERT_EQ(truth.channels, name == "rgb" ? 4u : 2u) << name;
        int bad = 0;
        for (uint32_t y = 0; y < truth.height; ++y)
            for (uint32_t x = 0; x < truth.width; ++x) {
                const RgbaF q = e.image->row<RgbaF>(y)[x];
                const float ours[3] = {q.r, q.g, q.b};
                const double a = truth.at(x, y, truth.channels - 1) / 65535.0;
                bool ok = std::abs(q.a - a) <= 1e-5;
                for (uint32_t c = 0; c < 3; ++c) {
                    const uint32_t from = truth.channels == 4 ? c : 0;
                    if (a == 0) {
                        ok = ok && ours[c] == 1.0f;
                        continue;
                    }
                    ok = ok && std::abs(linear(ours[c]) - truth.at(x, y, from) / 65535.0) <= 1e-5 + 1e-7 / a;
                    if (name == "rgb")
                        ok = ok && std::abs(linear(ours[c]) - unblended.at(x, y, from) / 65535.0) <= 2e-5 + 1e-5 / a;
                }
                if (!ok && ++bad <= 3)
                    ADD_FAILURE() << name << " at " << x << "," << y << ": ours " << linear(q.r) << " " << q.a
                                  << ", before the blend " << truth.at(x, y, 0) / 65535.0 << " " << a
                                  << ", ImageMagick " << unblended.at(x, y, 0) / 65535.0;
            }
        EXPECT_EQ(bad, 0) << name;
    }
}

// 16- and 32-bit documents may keep their layers, and so their count, in an
// "Lr16" or "Lr32" block at the end of the layer and mask section, RGB
// documents as much as grey ones.
TEST(PsdReader, LayerCountInLr16AndLr32Blocks)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    // A global layer mask: its overlay colour space and colour, opacity and
    // kind, and a filler byte.
    const std::vector<uint8_t> globalMask = {0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 50, 128, 0};
    for (const char* options : {"", "-colorspace gray"})
        for (const char* compression : {"None", "RLE"})
            for (const std::vector<uint8_t>& mask : {std::vector<uint8_t>(), globalMask}) {
                const std::string what = std::string(options) + " " + compression +
                                         (mask.empty() ? "" : " global mask");
                const fs::path plain = dir / "plain.psd", blended = dir / "blended.psd", file = dir / "lr16.psd";
                for (const auto& [path, blend] : {std::pair{plain, ""}, std::pair{blended, kBlendRgb}})
                    ASSERT_EQ(run(std::string("convert ") + kSourceWithAlpha + " " + options + blend +
                                  " -depth 16 -compress " + compression + " " + shellQuote(path.string())),
                              0)
                        << what;
                const std::vector<uint8_t> moved = withLayersIn(readFile(blended), "Lr16", mask);
                ASSERT_EQ(layerInfoCount(moved), 0) << what;
                writeFile(file, moved);
                Decoded d = decodeFileFull(file);
                ASSERT_EQ(d.rc, RC_OK) << what;
                EXPECT_EQ(d.reader->pixelFormat, PF_RGBA16) << what;
                EXPECT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT) << what;
                EXPECT_EQ(u16ToUtf8(d.field(INFO_COLOUR_MODEL)), std::string(options).empty() ? "RGB" : "L")
                    << what;
                Pnm truth, magick, planes;
                ASSERT_TRUE(magickMerged(plain, 16, false, truth)) << what;
                ASSERT_TRUE(pillowPlanes(file, planes)) << what;
                expectBlendUndone(d.image.get(), truth, 65535, 0, 1, true, what + " ImageMagick before the blend");
                // ImageMagick finds the block only after an empty global mask.
                if (mask.empty()) {
                    ASSERT_TRUE(magickMerged(file, 16, false, magick)) << what;
                    expectPixels(d.image.get(), magick, -1, int(magick.channels) - 1, what + " ImageMagick's alpha");
                }
                expectPixels(d.image.get(), planes, -1, int(planes.channels) - 1, what + " Pillow's planes");
                // A positive count there leaves the extra channel unread.
                std::vector<uint8_t> positive = moved;
                const size_t count = layerSectionAt(moved) + 4 + 4 + 4 + mask.size() + 12;
                ASSERT_EQ(std::string(moved.begin() + long(count) - 8, moved.begin() + long(count) - 4), "Lr16");
                positive[count] = 0, positive[count + 1] = 1;
                Decoded o = decodeBytesFull(positive, "o.psd");
                ASSERT_EQ(o.rc, RC_OK) << what;
                EXPECT_EQ(o.reader->alphaKind, std::string(options).empty() ? ALPHA_STRAIGHT : ALPHA_NONE) << what;
                EXPECT_EQ(samplesAt(o.image.get(), 0, 0)[3], 65535) << what;
                EXPECT_EQ(d.image->row<Rgba16>(0)[0].a, 0) << what;
            }

    // Hand-built 32-bit grey: an "Lr32" block after other blocks, and in a
    // large document an 8-byte block length, for it and for the user mask
    // ("LMsk") before it. The grey is linear light, encoded as sRGB in all
    // three colours; the alpha is taken as it is.
    auto srgb = [](float v) { return float(v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055); };
    for (uint32_t version : {1u, 2u}) {
        Doc g;
        g.version = version, g.mode = 1, g.channels = 2, g.depth = 32, g.width = 2, g.height = 1;
        if (version == 2) be32(g.layers, 0);
        be32(g.layers, 0);                                 // no layer info
        be32(g.layers, 0);                                 // no global mask
        g.layers.insert(g.layers.end(), {'8', 'B', 'I', 'M', 'P', 'a', 't', 't', 0, 0, 0, 3, 1, 2, 3, 0});
        // The user mask: colour space, colour, opacity, a flag and a pad.
        g.layers.insert(g.layers.end(), {'8', 'B', 'I', 'M', 'L', 'M', 's', 'k'});
        if (version == 2) be32(g.layers, 0);
        be32(g.layers, 14);
        g.layers.insert(g.layers.end(), {0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 50, 128, 0});
        g.layers.insert(g.layers.end(), {'8', 'B', 'I', 'M', 'L', 'r', '3', '2'});
        if (version == 2) be32(g.layers, 0);
        be32(g.layers, 4);
        g.layers.insert(g.layers.end(), {0xFF, 0xFF, 0, 0});
        g.data = floats({0.25f, 1.0f, 0.0f, 0.5f});
        Decoded d = decodeBytesFull(build(g), "g.psd");
        ASSERT_EQ(d.rc, RC_OK) << version;
        ASSERT_EQ(d.image->pixelFormat, PF_RGBA_FLOAT) << version;
        const RgbaF a = d.image->row<RgbaF>(0)[0], b = d.image->row<RgbaF>(0)[1];
        EXPECT_FLOAT_EQ(a.r, srgb(0.25f));
        EXPECT_FLOAT_EQ(a.g, a.r);
        EXPECT_FLOAT_EQ(a.b, a.r);
        EXPECT_FLOAT_EQ(a.a, 0.0f);
        EXPECT_FLOAT_EQ(b.r, 1.0f);
        EXPECT_FLOAT_EQ(b.a, 0.5f);
        // A block that claims more than the section holds, or a count cut
        // off: nothing is known of layers, and the picture stays grey.
        const size_t pattLength = (version == 2 ? 4 : 0) + 8 + 8;
        Doc lying = g, cut = g;
        lying.layers[pattLength] = 0x7F;
        cut.layers.resize(cut.layers.size() - 3);
        for (const Doc* h : {&lying, &cut}) {
            Decoded e = decodeBytesFull(build(*h), "h.psd");
            ASSERT_EQ(e.rc, RC_OK) << version;
            EXPECT_EQ(e.image->pixelFormat, PF_GRAY_FLOAT) << version;
        }
    }
}

TEST(PsdReader, HandBuiltDepthsModesAndRuns)
{
    // 32-bit grey and RGB are big-endian floats of linear light, which
    // decoding encodes as sRGB.
    auto srgb = [](float v) { return float(v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055); };
    Doc g;
    g.channels = 1, g.mode = 1, g.depth = 32, g.width = 2, g.height = 1;
    g.data = floats({0.25f, 1.5f});
    Decoded d = decodeBytesFull(build(g), "g.psd");
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_EQ(d.image->pixelFormat, PF_GRAY_FLOAT);
    EXPECT_FLOAT_EQ(d.image->row<float>(0)[0], srgb(0.25f));
    EXPECT_FLOAT_EQ(d.image->row<float>(0)[1], srgb(1.5f));
    Doc f = g;
    f.channels = 3, f.mode = 3, f.width = 1;
    f.data = floats({0.5f, 0.25f, 0.125f});
    d = decodeBytesFull(build(f), "f.psd");
    ASSERT_EQ(d.rc, RC_OK);
    RgbaF px = d.image->row<RgbaF>(0)[0];
    EXPECT_FLOAT_EQ(px.r, srgb(0.5f));
    EXPECT_FLOAT_EQ(px.g, srgb(0.25f));
    EXPECT_FLOAT_EQ(px.b, srgb(0.125f));
    EXPECT_FLOAT_EQ(px.a, 1.0f);
    // Nothing writes 32-bit runs: refused, not guessed.
    f.compression = 1;
    EXPECT_EQ(decodeBytesFull(build(f), "f.psd").rc, RC_UNSUPPORTED_SUBFORMAT);

    // Runs: 0x80 is skipped; a run longer than its channel stops there and
    // the next channel starts at the next code, as does a run across rows.
    Doc r;
    r.channels = 3, r.width = 2, r.height = 2, r.compression = 1;
    r.data.assign(3 * 2 * 2, 0);  // the row counts, which the stream ignores
    r.data.insert(r.data.end(), {0x80, 0xFD, 10});         // red: 4 x 10
    r.data.insert(r.data.end(), {0x81, 20});                // green: 128 x 20, cut at 4
    r.data.insert(r.data.end(), {0x02, 1, 2, 3, 0xFF, 4});  // blue: 1 2 3 | 4
    d = decodeBytesFull(build(r), "r.psd");
    ASSERT_EQ(d.rc, RC_OK);
    Rgba8 a = d.image->row<Rgba8>(1)[0], b = d.image->row<Rgba8>(1)[1];
    EXPECT_EQ(a.r, 10);
    EXPECT_EQ(a.g, 20);
    EXPECT_EQ(a.b, 3);
    EXPECT_EQ(b.b, 4);
    EXPECT_EQ(d.image->row<Rgba8>(0)[1].b, 2);

    // Large-document files: an 8-byte layer length and 4-byte row counts.
    Doc v2 = r;
    v2.version = 2;
    v2.data.insert(v2.data.begin(), 12, 0);
    d = decodeBytesFull(build(v2), "v2.psd");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<Rgba8>(1)[1].b, 4);

    // A short palette is read within its own bytes (two entries here).
    Doc p;
    p.channels = 1, p.mode = 2, p.width = 2, p.height = 1;
    p.modeData = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    p.data = {1, 0};
    d = decodeBytesFull(build(p), "p.psd");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->palette()[0], 0xFF103050u);
    EXPECT_EQ(d.image->palette()[1], 0xFF204060u);
    EXPECT_EQ(d.image->palette()[2], 0xFF000000u);

    // Lab: full lightness with neutral a and b is white.
    Doc lab;
    lab.width = 1, lab.height = 1, lab.mode = 9;
    lab.data = {255, 128, 128};
    d = decodeBytesFull(build(lab), "lab.psd");
    ASSERT_EQ(d.rc, RC_OK);
    Ref<Image> rgb = asRgba8(d.image.get());
    EXPECT_GE(rgb->row<Rgba8>(0)[0].g, 250);
    EXPECT_LE(std::abs(int(rgb->row<Rgba8>(0)[0].r) - int(rgb->row<Rgba8>(0)[0].b)), 3);
}

TEST(PsdReader, HostileHeadersAndCutFiles)
{
    Doc ok;
    ok.data.assign(12, 7);
    auto with = [&](auto change) {
        Doc d = ok;
        change(d);
        return build(d);
    };
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> v = build(ok);
        std::copy(bytes.begin(), bytes.end(), v.begin() + long(at));
        return v;
    };
    setAllocationCap(uint64_t(256) << 20);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"version 3", patched(4, {0, 3}), RC_UNKNOWN_FORMAT},
        {"no width", with([](Doc& d) { d.width = 0; }), RC_CORRUPT_FILE},
        {"bitmap mode", with([](Doc& d) { d.mode = 0, d.depth = 1, d.channels = 1; }), RC_UNSUPPORTED_SUBFORMAT},
        {"multichannel", with([](Doc& d) { d.mode = 7; }), RC_UNSUPPORTED_SUBFORMAT},
        {"two RGB channels", with([](Doc& d) { d.channels = 2; }), RC_UNSUPPORTED_SUBFORMAT},
        {"16-bit indexed", with([](Doc& d) { d.mode = 2, d.depth = 16, d.channels = 1; }),
         RC_UNSUPPORTED_SUBFORMAT},
        {"ZIP", with([](Doc& d) { d.compression = 2; }), RC_UNSUPPORTED_SUBFORMAT},
        {"mode data past the end", patched(26, {0x7F, 0, 0, 0}), RC_CORRUPT_FILE},
        {"resources past the end", patched(30, {0, 0, 1, 0}), RC_CORRUPT_FILE},
        {"layers past the end", patched(34, {0xFF, 0xFF, 0xFF, 0xF0}), RC_CORRUPT_FILE},
        {"row counts past the end", with([](Doc& d) { d.compression = 1, d.data.resize(4); }), RC_CORRUPT_FILE},
        // Sizes the data cannot meet, of pictures no allocation could take:
        // lies, not pictures too large for memory.
        {"lying size", with([](Doc& d) { d.width = 0x40000000, d.height = 0x40000000; }), RC_CORRUPT_FILE},
        {"lying size, runs", with([](Doc& d) { d.width = d.height = 0x40000000, d.compression = 1; }),
         RC_CORRUPT_FILE},
        {"a row of a huge picture",
         with([](Doc& d) { d.mode = 1, d.channels = 1, d.width = d.height = 30000, d.data.assign(30000, 9); }),
         RC_CORRUPT_FILE},
        {"raw planes cut short", with([](Doc& d) { d.data.resize(5); }), RC_CORRUPT_FILE},
        {"runs that stop early", with([](Doc& d) { d.compression = 1, d.data.push_back(0x01); }),
         RC_CORRUPT_FILE},
    };
    for (const Case& c : cases) EXPECT_EQ(decodeBytesFull(c.bytes, "h.psd").rc, c.rc) << c.what;

    // Runs that could not fill the size even at PackBits' greatest
    // expansion: damaged, refused before any image is made; runs that fill
    // it to the last byte are whole.
    Doc grey = ok;
    grey.mode = 1, grey.channels = 1, grey.width = grey.height = 2000, grey.compression = 1;
    std::vector<uint8_t> runs;
    for (uint32_t y = 0; y < 2000; ++y) be16(runs, 32);
    grey.data = runs;
    grey.data.insert(grey.data.end(), {0x81, 0, 0x81, 0});
    setAllocationCap(uint64_t(1) << 20);
    Decoded few = decodeBytesFull(build(grey), "few.psd");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    // Raw planes that cannot fill even the first row: refused likewise.
    Doc raw = grey;
    raw.compression = 0, raw.data.assign(1999, 5);
    few = decodeBytesFull(build(raw), "raw.psd");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    setAllocationCap(0);
    for (uint32_t i = 0; i < 2000 * 2000 / 128; ++i) runs.insert(runs.end(), {0x81, 0});
    grey.data = runs;
    Decoded full = decodeBytesFull(build(grey), "full.psd");
    EXPECT_EQ(full.rc, RC_OK);
    ASSERT_TRUE(full.image);
    EXPECT_EQ(full.image->rowBytesPtr(1999)[1999], 0);
    // Larger than memory allows, runs or raw planes: too large when the
    // data can fill it, a lie when it cannot even at the greatest expansion
    // (twenty runs short) or raw (a row short).
    setAllocationCap(uint64_t(1) << 20);
    EXPECT_EQ(decodeBytesFull(build(grey), "full.psd").rc, RC_OUT_OF_MEMORY);
    grey.data.resize(grey.data.size() - 40);
    few = decodeBytesFull(build(grey), "short.psd");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    raw.data.assign(2000 * 2000, 5);
    EXPECT_EQ(decodeBytesFull(build(raw), "raw.psd").rc, RC_OUT_OF_MEMORY);
    raw.data.resize(raw.data.size() - 2000);
    few = decodeBytesFull(build(raw), "raw.psd");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    setAllocationCap(0);

    // A cut raw file keeps the rows of the planes it has.
    Decoded d = decodeBytesFull(with([](Doc& x) { x.data = {1, 2, 3, 4, 5, 6, 7}; }), "c.psd");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<Rgba8>(1)[1].r, 4);
    EXPECT_EQ(d.image->row<Rgba8>(0)[0].g, 5);
    EXPECT_EQ(d.image->row<Rgba8>(1)[0].g, 7);
    EXPECT_EQ(d.image->row<Rgba8>(1)[1].g, 0);

    // A raw document with its transparency whose alpha plane, the last,
    // ends a sample into its second row, or at the end of its first: the
    // colours are taken out of the blend only where the file holds their
    // alpha, and never by reading past it. Past the cut the colours are as
    // stored, transparent in the cut row and opaque in rows never reached.
    auto srgb = [](float v) { return float(v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055); };
    for (uint32_t depth : {8u, 16u, 32u})
        for (size_t alphaKept : {4u, 3u}) {
            const std::string what = std::to_string(depth) + " bits, alpha cut after " + std::to_string(alphaKept);
            Doc cut;
            cut.channels = 4, cut.width = 3, cut.height = 2, cut.depth = depth;
            be32(cut.layers, 2);
            be16(cut.layers, 0xFFFF);
            const std::vector<uint32_t> colour = {200, 230, 255, 200, 100, 50}, alpha = {100, 100, 0, 100};
            for (int plane = 0; plane < 4; ++plane)
                for (size_t i = 0; i < (plane < 3 ? colour.size() : alphaKept); ++i) {
                    const uint32_t v = plane < 3 ? colour[i] : alpha[i];
                    if (depth == 8) cut.data.push_back(uint8_t(v));
                    else if (depth == 16) be16(cut.data, v * 257);
                    else for (uint8_t byte : floats({v / 255.0f})) cut.data.push_back(byte);
                }
            Decoded c = decodeBytesFull(build(cut), "cut.psd");
            ASSERT_EQ(c.rc, RC_CORRUPT_FILE) << what;
            ASSERT_TRUE(c.image) << what;
            auto at = [&](uint32_t x, uint32_t y) {
                if (depth != 32) {
                    const std::array<int, 4> q = samplesAt(c.image.get(), x, y);
                    return std::array<double, 4>{double(q[0]), double(q[1]), double(q[2]), double(q[3])};
                }
                const RgbaF q = c.image->row<RgbaF>(y)[x];
                return std::array<double, 4>{q.r, q.g, q.b, q.a};
            };
            auto stored = [&](uint32_t v) {
                return depth == 32 ? double(srgb(v / 255.0f)) : v * (depth == 16 ? 257.0 : 1);
            };
            const double full = depth == 8 ? 255 : depth == 16 ? 65535 : 1;
            for (uint32_t x = 1; x < 3; ++x)
                EXPECT_EQ(at(x, 1), (std::array<double, 4>{stored(colour[3 + x]), stored(colour[3 + x]),
                                                           stored(colour[3 + x]), alphaKept == 4 ? 0 : full}))
                    << what << " " << x;
            const std::array<double, 4> first = at(0, 1);
            if (alphaKept == 3) {
                EXPECT_EQ(first[0], stored(200)) << what;
                EXPECT_EQ(first[3], full) << what;
            } else if (depth == 32) {
                EXPECT_NEAR(first[0], srgb(0.45f), 1e-6) << what;
            } else {
                EXPECT_EQ(first[0], depth == 8 ? 115 : 29491) << what;
            }
        }

    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    for (const char* compression : {"None", "RLE"}) {
        fs::path file = dir / "cut.psd";
        ASSERT_EQ(run(std::string("convert -size 9x5 gradient:red-blue -compress ") + compression + " " +
                      shellQuote(file.string())),
                  0);
        expectEveryCutIsDamage(readFile(file), "cut.psd", 30);
    }
}

namespace {

// A VersionInfo resource (1057): a version, whether the merged image is
// real, the writer's and reader's names as counted UTF-16 strings, and the
// file version; its data cut to `keep` bytes.
std::vector<uint8_t> versionInfo(bool realMergedData, size_t keep = SIZE_MAX)
{
    std::vector<uint8_t> data;
    be32(data, 1);
    data.push_back(realMergedData ? 1 : 0);
    for (const std::string name : {"Adobe Photoshop", "Adobe Photoshop CS6"}) {
        be32(data, uint32_t(name.size()));
        for (char ch : name) be16(data, uint8_t(ch));
    }
    be32(data, 1);
    data.resize(std::min(keep, data.size()));
    std::vector<uint8_t> r = {'8', 'B', 'I', 'M', 0x04, 0x21, 0, 0};
    be32(r, uint32_t(data.size()));
    r.insert(r.end(), data.begin(), data.end());
    if (r.size() & 1) r.push_back(0);
    return r;
}

// The same document with `resource` first among its image resources.
std::vector<uint8_t> withResource(const std::vector<uint8_t>& f, const std::vector<uint8_t>& resource)
{
    const size_t at = 26 + 4 + loadU32be(&f[26]);
    std::vector<uint8_t> v(f.begin(), f.begin() + long(at));
    be32(v, uint32_t(loadU32be(&f[at]) + resource.size()));
    v.insert(v.end(), resource.begin(), resource.end());
    v.insert(v.end(), f.begin() + long(at + 4), f.end());
    return v;
}

} // namespace

// A document saved without its merged image holds a placeholder picture
// there, which its VersionInfo resource owns to: such a document is refused
// as a sub-format, not read as that placeholder. One whose resource says
// the merged image is real, or is too short to say anything, or that has
// none, reads as before. exiftool reads the resource as built here.
TEST(PsdReader, DocumentsWithoutARealMergedImageAreRefused)
{
    Doc doc;
    doc.data.assign(12, 255);  // a white page
    for (bool real : {false, true}) {
        Doc d = doc;
        d.resources = versionInfo(real);
        const ResultCode rc = decodeBytesFull(build(d), "v.psd").rc;
        EXPECT_EQ(rc, real ? RC_OK : RC_UNSUPPORTED_SUBFORMAT) << real;
        if (!real) {
            EXPECT_EQ(std::u16string(errorText(rc)), u"Unsupported file sub-format");
        }
    }
    const size_t whole = loadU32be(&versionInfo(false)[8]);
    for (size_t keep : {size_t(0), size_t(4), size_t(5), size_t(40), whole - 1}) {
        Doc d = doc;
        d.resources = versionInfo(false, keep);
        Decoded r = decodeBytesFull(build(d), "cut.psd");
        ASSERT_EQ(r.rc, RC_OK) << keep;
        EXPECT_EQ(r.image->row<Rgba8>(1)[1].g, 255) << keep;
    }
    // A resource that claims more than the section holds is not found.
    Doc lying = doc;
    lying.resources = versionInfo(false);
    lying.resources[11] = 0xFF;
    EXPECT_EQ(decodeBytesFull(build(lying), "lying.psd").rc, RC_OK);

    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    // A layered document with its transparency, flagged either way, after
    // an ImageMagick's resources.
    const fs::path made = dir / "made.psd";
    ASSERT_EQ(run(std::string("convert ") + kSourceWithAlpha + kBlendRgb + " " + shellQuote(made.string())), 0);
    const std::vector<uint8_t> bytes = readFile(made);
    Decoded before = decodeBytesFull(bytes, "made.psd");
    ASSERT_EQ(before.rc, RC_OK);
    for (bool real : {false, true}) {
        const fs::path file = dir / (real ? "real.psd" : "placeholder.psd");
        writeFile(file, withResource(bytes, versionInfo(real)));
        std::map<std::string, std::string> tags =
            meta::exiftoolJson(file, "-Photoshop:HasRealMergedData -Photoshop:ReaderName -Photoshop:WriterName");
        EXPECT_EQ(tags["HasRealMergedData"], real ? "1" : "0");
        EXPECT_EQ(tags["WriterName"], "Adobe Photoshop");
        EXPECT_EQ(tags["ReaderName"], "Adobe Photoshop CS6");
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, real ? RC_OK : RC_UNSUPPORTED_SUBFORMAT) << real;
        if (!real) continue;
        EXPECT_EQ(d.reader->alphaKind, ALPHA_STRAIGHT);
        for (uint32_t y = 0; y < d.image->height; ++y)
            EXPECT_EQ(std::memcmp(d.image->rowBytesPtr(y), before.image->rowBytesPtr(y), 4 * d.image->width), 0) << y;
    }
}

TEST(PsdWriter, EveryColourFormatReadsBackInImageMagickOrPillow)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    Ref<Image> rgb = rampImage(23, 7, false);
    Ref<Image> grey = greyRamp(19, 6);
    Ref<Image> palette = indexedRamp(21, 5, 200);
    struct Case {
        const char* name;
        Image* img;
        uint32_t mask;
        uint32_t channels, depth, mode;
    } cases[] = {
        {"c256", palette.get(), CF_256_COLOURS, 1, 8, 2},
        {"grey8", grey.get(), CF_GRAY8, 1, 8, 1},
        {"grey16", grey.get(), CF_GRAY16, 1, 16, 1},
        {"greyf", grey.get(), CF_GRAY_FLOAT, 1, 32, 1},
        {"rgb24", rgb.get(), CF_RGB24, 3, 8, 3},
        {"rgb48", rgb.get(), CF_RGB48, 3, 16, 3},
        {"rgbf", rgb.get(), CF_RGB_FLOAT, 3, 32, 3},
    };
    for (const Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".psd");
        ASSERT_EQ(writeAs(u"psd", c.img, out, u"Normal", c.mask), RC_OK) << c.name;
        std::vector<uint8_t> f = readFile(out);
        ASSERT_GT(f.size(), 30u);
        EXPECT_EQ(loadU16be(&f[12]), c.channels) << c.name;
        EXPECT_EQ(loadU16be(&f[22]), c.depth) << c.name;
        EXPECT_EQ(loadU16be(&f[24]), c.mode) << c.name;
        EXPECT_EQ(loadU32be(&f[26]), c.mode == 2 ? 768u : 0u) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode(c.mode == 2 ? kPillow : "convert", out, p)) << c.name;
        if (c.depth == 32) {
            // Float documents hold linear light, which ImageMagick shows as is.
            Ref<Image> want = asRgba8(c.img);
            for (uint32_t y = 0; y < want->height; ++y)
                for (uint32_t x = 0; x < want->width; ++x) {
                    Rgba8& q = want->row<Rgba8>(y)[x];
                    for (uint8_t* v : {&q.r, &q.g, &q.b}) {
                        double e = *v / 255.0;
                        e = e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4);
                        *v = uint8_t(std::lround(e * 255));
                    }
                }
            expectClose(want.get(), p, std::string(c.name) + " ImageMagick", 1);
        } else {
            expectClose(c.img, p, std::string(c.name) + " oracle", 0);
        }
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        if (c.depth != 32) expectEqualPixels(d.image.get(), p, std::string(c.name) + " ours", false);
    }

    EXPECT_EQ(writeAs(u"psd", rgb.get(), dir / "no" / "x.psd", u"Normal", CF_RGB24), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rampImage(300, 300, false);
        EXPECT_EQ(writeAs(u"psd", big.get(), "/dev/full", u"Normal", CF_RGB48), RC_WRITE_FAILED);
    }
}

TEST(PsdWriter, IptcAndXmpRoundTripThroughExiftool)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    Ref<Image> img = rampImage(8, 4, false);
    ImageInfo* inf = img->info();
    ASSERT_TRUE(inf);
    inf->set(INFO_TITLE, u"Harbour at dawn");
    inf->set(INFO_AUTHOR, u"Ann Bell");
    inf->set(INFO_KEYWORD_FIRST, u"boats");
    inf->set(INFO_KEYWORD_FIRST + 1, u"fog");
    inf->set(INFO_COPYRIGHT, u"(c) Ann, 2011");
    fs::path out = dir / "meta.psd";
    ASSERT_EQ(writeAs(u"psd", img.get(), out, u"Normal", CF_RGB24), RC_OK);

    std::map<std::string, std::string> tags = meta::exiftoolJson(out, "-G");
    EXPECT_EQ(tags["IPTC:ObjectName"], "Harbour at dawn");
    EXPECT_EQ(tags["IPTC:By-line"], "Ann Bell");
    EXPECT_EQ(tags["IPTC:Keywords"], "boats|fog");
    EXPECT_EQ(tags["IPTC:CopyrightNotice"], "(c) Ann, 2011");
    EXPECT_NE(tags["XMP:Title"].find("Harbour at dawn"), std::string::npos);
    EXPECT_TRUE(meta::exiftoolWarnings(out).empty());

    // What exiftool stores in a document reads back into the fields.
    ASSERT_EQ(run("exiftool -q -overwrite_original -IPTC:ObjectName= -XMP:all= -IPTC:Caption-Abstract='Low tide' "
                  "-XMP-dc:Creator='Cy Dunn' " + shellQuote(out.string())),
              0);
    Decoded d = decodeFileFull(out);
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_TRUE(d.reader->info.get(INFO_COMMENTS));
    EXPECT_EQ(std::u16string(d.reader->info.get(INFO_COMMENTS)), u"Low tide");
    ASSERT_TRUE(d.reader->info.get(INFO_KEYWORD_FIRST));
    EXPECT_EQ(std::u16string(d.reader->info.get(INFO_KEYWORD_FIRST)), u"boats");
    EXPECT_EQ(d.image->row<Rgba8>(3)[7].r, img->row<Rgba8>(3)[7].r);
}

TEST(PsdReader, ResolutionInfoIsTheDensityAndWinsOverTheXmpCopy)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    struct Case {
        const char* args;
        const char* density;
    } cases[] = {
        {"-density 300 -units PixelsPerInch", "300 x 300 ppi"},
        {"-density 72x96 -units PixelsPerInch", "72 x 96 ppi"},
        {"-density 118 -units PixelsPerCentimeter", "11800 x 11800 ppm"},
    };
    for (const Case& c : cases) {
        const fs::path file = dir / "in.psd";
        ASSERT_EQ(run("convert -size 5x3 xc:teal " + std::string(c.args) + " " + shellQuote(file.string())), 0);
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.args;
        EXPECT_EQ(u16ToUtf8(d.field(INFO_DENSITY)), c.density) << c.args;
    }

    // A record of 300 dpi, and an XMP packet that says 72.
    const std::string packet =
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><rdf:Description xmlns:tiff='http://ns.adobe.com/tiff/"
        "1.0/' tiff:XResolution='72' tiff:YResolution='72' tiff:ResolutionUnit='2'/>";
    std::vector<uint8_t> info;
    for (int k = 0; k < 2; ++k) {
        be32(info, 300u << 16);  // 16.16 fixed point
        be16(info, 1);           // shown per inch
        be16(info, 1);
    }
    auto resource = [](uint16_t id, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> r{'8', 'B', 'I', 'M'};
        be16(r, id);
        be16(r, 0);
        be32(r, uint32_t(data.size()));
        r.insert(r.end(), data.begin(), data.end());
        if (r.size() & 1) r.push_back(0);
        return r;
    };
    const std::vector<uint8_t> xmp = resource(1060, {packet.begin(), packet.end()});
    std::vector<uint8_t> shortInfo(info.begin(), info.end() - 1), zeroInfo = info;
    std::fill(zeroInfo.begin(), zeroInfo.begin() + 4, 0);
    // Photoshop's record wins wherever it stands; one too short, or of no
    // resolution at all, leaves the XMP's.
    struct Order {
        std::vector<uint8_t> first, second;
        const char* density;
    } orders[] = {
        {resource(1005, info), xmp, "300 x 300 ppi"},
        {xmp, resource(1005, info), "300 x 300 ppi"},
        {resource(1005, shortInfo), xmp, "72 x 72 ppi"},
        {resource(1005, zeroInfo), xmp, "72 x 72 ppi"},
    };
    for (const Order& o : orders) {
        Doc doc;
        doc.data.assign(12, 7);
        doc.resources = o.first;
        doc.resources.insert(doc.resources.end(), o.second.begin(), o.second.end());
        Decoded d = decodeBytesFull(build(doc), "r.psd");
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(u16ToUtf8(d.field(INFO_DENSITY)), o.density) << &o - orders;
    }
}

TEST(PsdWriter, DensityIsWrittenWhereImageMagickAndExiftoolFindIt)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    struct Case {
        const char16_t* density;
        const char* magick;  // identify's "%x %y %U"
        const char* readBack;
    } cases[] = {
        {u"300 x 300 ppi", "300 300 PixelsPerInch", "300 x 300 ppi"},
        {u"72 x 96 ppi", "72 96 PixelsPerInch", "72 x 96 ppi"},
        // Per inch, as the XMP packet beside it says: ImageMagick takes the
        // unit from one and the number from the other.
        {u"11811 x 11811 ppm", "300 300 PixelsPerInch", "300 x 300 ppi"},
    };
    for (const Case& c : cases) {
        Ref<Image> img = rampImage(6, 4, false);
        img->info()->set(INFO_DENSITY, c.density);
        const fs::path out = dir / "dpi.psd";
        ASSERT_EQ(writeAs(u"psd", img.get(), out, u"Normal", CF_RGB24), RC_OK);
        const std::string format = "%[fx:round(resolution.x*100)/100] %[fx:round(resolution.y*100)/100] %U";
        EXPECT_EQ(runOutput("identify -format " + shellQuote(format) + " " + shellQuote(out.string())), c.magick);
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(u16ToUtf8(d.field(INFO_DENSITY)), c.readBack);
        EXPECT_TRUE(meta::exiftoolWarnings(out).empty());
    }
    // Without a density, or with one below a pixel per inch, there is no
    // record.
    for (const char16_t* density : {u"", u"10 x 10 ppm"}) {
        Ref<Image> img = rampImage(6, 4, false);
        img->info()->set(INFO_DENSITY, density);
        const fs::path out = dir / "none.psd";
        ASSERT_EQ(writeAs(u"psd", img.get(), out, u"Normal", CF_RGB24), RC_OK);
        EXPECT_EQ(meta::exiftoolJson(out, "-Photoshop:XResolution")["XResolution"], "");
    }
}
