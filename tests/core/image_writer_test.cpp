// The write driver with a recording writer: the colour-format choice table,
// palette compaction, conversions of whole chains, and outputs that must
// leave the caller's image intact.
#include "core/image_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/convert.h"
#include "core/quantize_options.h"

using namespace quillon;

namespace {

struct Seen {
    int calls = 0;
    uint32_t flag = 0, depth = 0;
    int32_t parameter = 0;
    bool allFrames = false;
    void* extra = nullptr;
    PixelFormat format = PF_SAME;
    const Image* image = nullptr;
    const void* pixels = nullptr;
    std::u16string sub;
    int frames = 0;
    std::vector<PixelFormat> frameFormats;
    Rgba8 firstPixel{};
    Rgba16 firstPixel16{};
    Ref<Image> kept;  // the encoded image, kept alive for inspection
};

class RecordingWriter final : public ImageWriter {
public:
    RecordingWriter(const FormatDescriptor* d, Seen* seen) : ImageWriter(d), seen_(seen) {}

protected:
    ResultCode encode(Image* image, const char16_t* sub, uint32_t flag, uint32_t depth, int32_t parameter,
                      bool allFrames, void* extra) override
    {
        ++seen_->calls;
        seen_->parameter = parameter;
        seen_->allFrames = allFrames;
        seen_->extra = extra;
        seen_->flag = flag;
        seen_->depth = depth;
        seen_->format = image->pixelFormat;
        seen_->image = image;
        seen_->pixels = image->pixels();
        seen_->kept = Ref<Image>::share(image);
        seen_->sub = sub;
        seen_->frames = 0;
        seen_->frameFormats.clear();
        for (Image* f = image; f; f = f->next()) ++seen_->frames, seen_->frameFormats.push_back(f->pixelFormat);
        if (image->pixelFormat == PF_RGBA8) seen_->firstPixel = image->row<Rgba8>(0)[0];
        if (image->pixelFormat == PF_RGBA16) seen_->firstPixel16 = image->row<Rgba16>(0)[0];
        return RC_OK;
    }

private:
    Seen* seen_;
};

struct Format {
    const char16_t* names[3] = {u"First", u"Second", u""};
    ColourFormatFlags caps[2];
    FormatDescriptor d;
    explicit Format(ColourFormatFlags c0, ColourFormatFlags c1 = 0) : caps{c0, c1}, d{u"tst", u"test"}
    {
        d.subFormatNames = names;
        d.subFormatCaps = caps;
    }
    ResultCode write(Image* img, Seen& seen, uint32_t mask = CF_AUTO, const char16_t* sub = nullptr,
                     bool allFrames = true, uint32_t* bits = nullptr)
    {
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(new RecordingWriter(&d, &seen));
        return w->write(img, sub, mask, 0, allFrames, nullptr, bits);
    }
};

Ref<Image> make(PixelFormat f, uint32_t w = 4, uint32_t h = 3, AlphaKind alpha = ALPHA_NONE)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(f, packSize(w, h)));
    img->alphaKind = alpha;
    return img;
}

} // namespace

TEST(WriteDriver, ColourFormatChoiceFollowsThePreferenceTables)
{
    struct Case {
        PixelFormat format;
        bool alpha;
        uint32_t caps;
        uint32_t expect;
    } cases[] = {
        {PF_RGBA8, true, 0xC000, 0x8000},
        {PF_RGBA8, false, 0xC000, 0x4000},
        {PF_RGBA8, false, 0x8000, 0x8000},
        {PF_RGBA8, true, 0xC0000 | 0x4000, 0x4000},
        {PF_RGBA8, true, 0xC0000, 0x80000},
        {PF_RGBA8, false, 0xC0000, 0x40000},
        {PF_RGBA8, false, 0x80 | 0x100, 0x80},
        {PF_RGBA8, false, 0x100 | 0x1, 0x100},  // nothing listed: the highest bit
        {PF_RGBA16, true, 0x80000 | 0x8000, 0x80000},
        {PF_RGBA16, false, 0xC000 | 0x400000, 0x400000},
        {PF_RGBA16, false, 0xC000, 0x4000},
        {PF_RGBA_FLOAT, true, 0x800000 | 0x80000, 0x800000},
        {PF_RGBA_FLOAT, false, 0xC0000, 0x40000},
        {PF_GRAY8, true, 0x8000 | 0x4000, 0x4000},  // grey never counts as alpha
        {PF_GRAY8, false, 0x100 | 0x80, 0x100},
        {PF_GRAY8, false, 0x80 | 0x10000, 0x80},
        {PF_GRAY16, false, 0x10000 | 0x100, 0x10000},
        {PF_GRAY16, false, 0x100 | 0x4000, 0x100},
        {PF_GRAY16, false, 0x400000 | 0x100, 0x400000},
        {PF_GRAY_FLOAT, false, 0x100000 | 0x10000, 0x100000},
        {PF_GRAY_FLOAT, false, 0x40000 | 0x100, 0x40000},
    };
    for (const Case& c : cases) {
        Format fmt(c.caps);
        Seen seen;
        Ref<Image> img = make(c.format, 4, 3, c.alpha ? ALPHA_STRAIGHT : ALPHA_NONE);
        uint32_t bits = 0;
        ASSERT_EQ(fmt.write(img.get(), seen, CF_AUTO, nullptr, true, &bits), RC_OK)
            << int(c.format) << " " << std::hex << c.caps;
        EXPECT_EQ(seen.flag, c.expect) << int(c.format) << " " << std::hex << c.caps;
        EXPECT_EQ(int32_t(bits), colourFormatBits(c.expect));
    }
    // The caller's mask narrows the choice; nothing left is an error.
    Format fmt(0xC000);
    Seen seen;
    Ref<Image> img = make(PF_RGBA8, 2, 2, ALPHA_STRAIGHT);
    ASSERT_EQ(fmt.write(img.get(), seen, 0x4000), RC_OK);
    EXPECT_EQ(seen.flag, 0x4000u);
    EXPECT_EQ(fmt.write(img.get(), seen, 0x100), RC_UNSUPPORTED_COLOUR_FORMAT);
}

TEST(WriteDriver, SubFormatsByExactName)
{
    Format fmt(0x4000, 0x8000);
    Seen seen;
    Ref<Image> img = make(PF_RGBA8, 2, 2, ALPHA_STRAIGHT);
    ASSERT_EQ(fmt.write(img.get(), seen, CF_AUTO, u"Second"), RC_OK);
    EXPECT_EQ(seen.sub, u"Second");
    EXPECT_EQ(seen.flag, 0x8000u);
    ASSERT_EQ(fmt.write(img.get(), seen, CF_AUTO, u""), RC_OK);
    EXPECT_EQ(seen.sub, u"First");
    EXPECT_EQ(fmt.write(img.get(), seen, CF_AUTO, u"second"), RC_UNSUPPORTED_SUBFORMAT);
    FormatDescriptor none{u"x", u"none"};
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(new RecordingWriter(&none, &seen));
    EXPECT_EQ(w->write(img.get(), u"First", CF_AUTO, 0, true, nullptr, nullptr), RC_UNSUPPORTED_SUBFORMAT);
}

TEST(WriteDriver, PaletteDepthAndCompaction)
{
    Format fmt(0xFF | 0x4000);
    Seen seen;
    // Indices 0 and 7 only: compacted to 0 and 1, written with 2 colours.
    Ref<Image> img = make(PF_INDEXED8, 4, 2);
    for (uint32_t i = 0; i < 256; ++i) img->palette()[i] = 0xFF000000u | (i * 0x030507u);
    uint8_t* r0 = img->row<uint8_t>(0);
    r0[0] = 7, r0[1] = 0, r0[2] = 7, r0[3] = 7;
    std::memset(img->row<uint8_t>(1), 0, 4);
    uint32_t entry7 = img->palette()[7];
    ASSERT_EQ(fmt.write(img.get(), seen), RC_OK);
    EXPECT_EQ(seen.flag, 0x1u);
    EXPECT_EQ(seen.depth, 1u);
    EXPECT_EQ(seen.image, img.get()); // used as it is
    EXPECT_EQ(img->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(img->palette()[1], entry7);
    // Indices up to 9 need 16 colours.
    img->row<uint8_t>(1)[0] = 9;
    ASSERT_EQ(fmt.write(img.get(), seen), RC_OK);
    EXPECT_EQ(seen.flag, 0x2u); // 0, 1, 9 -> compacted to 0..2: 4 colours
    // A grey ramp becomes grey.
    Ref<Image> ramp = make(PF_INDEXED8, 2, 2);
    fillGreyRamp(ramp->palette());
    Format grey(0x100 | 0x80);
    ASSERT_EQ(grey.write(ramp.get(), seen), RC_OK);
    EXPECT_EQ(ramp->pixelFormat, PF_GRAY8);
    EXPECT_EQ(seen.flag, 0x100u);
    // ...unless an entry is transparent.
    Ref<Image> clear = make(PF_INDEXED8, 2, 2);
    fillGreyRamp(clear->palette());
    clear->palette()[3] = 0x00030303;
    clear->row<uint8_t>(0)[0] = 200;
    ASSERT_EQ(grey.write(clear.get(), seen), RC_OK);
    EXPECT_EQ(clear->pixelFormat, PF_INDEXED8);
    EXPECT_EQ(seen.flag, 0x80u);
}

TEST(WriteDriver, FramesWithDifferentPalettesAreNotCompactedTogether)
{
    Ref<Image> a = make(PF_INDEXED8, 2, 1), b = make(PF_INDEXED8, 2, 1);
    for (uint32_t i = 0; i < 256; ++i) a->palette()[i] = 0xFF000000u | i, b->palette()[i] = 0xFF000000u | i;
    b->palette()[200] = 0xFF123456; // differs far from entry 0
    a->row<uint8_t>(0)[0] = 0, a->row<uint8_t>(0)[1] = 3;
    b->row<uint8_t>(0)[0] = 0, b->row<uint8_t>(0)[1] = 40;
    a->frameInfo.next = b.release();
    a->frameInfo.next->frameInfo.prev = a.get();
    uint8_t h = imageScanPaletteUse(a.get(), false, true);
    // Each frame alone: {0, 3} -> 1 and {0, 40} -> 1; neither renumbers the other.
    EXPECT_EQ(h, 1);
    EXPECT_EQ(a->row<uint8_t>(0)[1], 1);
    EXPECT_EQ(a->next()->row<uint8_t>(0)[1], 1);
    EXPECT_EQ(a->next()->palette()[1], 0xFF000028u);
    EXPECT_EQ(a->palette()[1], 0xFF000003u);
    // With the same palette the union is compacted, index 0 kept for the
    // later frame.
    Ref<Image> c = make(PF_INDEXED8, 1, 1), d = make(PF_INDEXED8, 1, 1);
    for (uint32_t i = 0; i < 256; ++i) c->palette()[i] = d->palette()[i] = 0xFF000000u | i;
    c->row<uint8_t>(0)[0] = 5;
    d->row<uint8_t>(0)[0] = 9;
    c->frameInfo.next = d.release();
    c->frameInfo.next->frameInfo.prev = c.get();
    EXPECT_EQ(imageScanPaletteUse(c.get(), false, true), 2);
    EXPECT_EQ(c->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(c->next()->row<uint8_t>(0)[0], 2);
    EXPECT_EQ(c->next()->palette()[2], 0xFF000009u);
    EXPECT_EQ(imageScanPaletteUse(c.get(), true, true), 2);
}

TEST(WriteDriver, TwoOutputsFromOneImageKeepItsAlpha)
{
    Ref<Image> img = make(PF_RGBA8, 2, 1, ALPHA_STRAIGHT);
    img->row<Rgba8>(0)[0] = {10, 20, 30, 0};
    img->row<Rgba8>(0)[1] = {40, 50, 60, 128};
    img->frameInfo.backgroundColour = 0x00FF8040;
    Format noAlpha(0x4000), withAlpha(0x8000);
    Seen seen;
    ASSERT_EQ(noAlpha.write(img.get(), seen), RC_OK);
    EXPECT_NE(seen.image, img.get());
    EXPECT_EQ(seen.firstPixel.r, 0xFF); // flattened on the background
    EXPECT_EQ(seen.firstPixel.b, 0x40);
    // The caller's image still has its transparent pixel for the next output.
    EXPECT_EQ(img->row<Rgba8>(0)[0].a, 0);
    EXPECT_EQ(img->row<Rgba8>(0)[0].r, 30);
    ASSERT_EQ(withAlpha.write(img.get(), seen), RC_OK);
    EXPECT_EQ(seen.image, img.get());
    EXPECT_EQ(seen.firstPixel.a, 0);
}

TEST(WriteDriver, StraightSixteenBitAlphaIsFlattenedWithTheStraightFormula)
{
    Ref<Image> img = make(PF_RGBA16, 1, 1, ALPHA_STRAIGHT);
    img->row<Rgba16>(0)[0] = {60000, 60000, 60000, 32768};
    img->frameInfo.backgroundColour = 0xFFFFFF;
    Format fmt(0x40000);
    Seen seen;
    ASSERT_EQ(fmt.write(img.get(), seen), RC_OK);
    // 60000 x a + 65535 x (1 - a), not a wrapped 60000 + 65535 x (1 - a).
    double a = 32768 / 65535.0;
    EXPECT_NEAR(seen.firstPixel16.r, 60000 * a + 65535 * (1 - a), 1.0);
    EXPECT_EQ(img->row<Rgba16>(0)[0].a, 32768);
}

TEST(WriteDriver, EveryFrameOfAChainIsConverted)
{
    // RGB page then a grey page, written to a 24-bit-only format.
    Ref<Image> a = make(PF_RGBA8, 2, 2);
    Image* b = imageCreate(PF_GRAY8, packSize(3, 1));
    b->row<uint8_t>(0)[0] = 77;
    a->frameInfo.next = b;
    b->frameInfo.prev = a.get();
    Format fmt(0x4000);
    Seen seen;
    ASSERT_EQ(fmt.write(a.get(), seen), RC_OK);
    ASSERT_EQ(seen.frames, 2);
    EXPECT_EQ(seen.frameFormats[0], PF_RGBA8);
    EXPECT_EQ(seen.frameFormats[1], PF_RGBA8);
    EXPECT_NE(seen.image, a.get());
    EXPECT_TRUE(seen.allFrames);
    // Without all frames, only the first is looked at and handed over: its
    // own pixels, not a copy, and no frame behind it even though nothing
    // needed converting.
    ASSERT_EQ(fmt.write(a.get(), seen, CF_AUTO, nullptr, false), RC_OK);
    EXPECT_FALSE(seen.allFrames);
    EXPECT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.pixels, a->pixels());
    EXPECT_EQ(seen.kept->width, 2u);
    EXPECT_EQ(seen.kept->info(), a->info());
    // The caller's chain is untouched.
    EXPECT_EQ(a->next(), b);
    EXPECT_EQ(b->frameInfo.prev, a.get());
    // An indexed head frame keeps its palette, read through the borrowed
    // frame; the grey second frame is not quantised with it.
    Ref<Image> p = make(PF_INDEXED8, 2, 1);
    for (uint32_t i = 0; i < 256; ++i) p->palette()[i] = 0xFF000000u | (i * 0x010203u);
    p->row<uint8_t>(0)[0] = 1, p->row<uint8_t>(0)[1] = 0;
    Image* g = imageCreate(PF_GRAY8, packSize(1, 1));
    p->frameInfo.next = g;
    g->frameInfo.prev = p.get();
    Format pal(0x1);
    ASSERT_EQ(pal.write(p.get(), seen, CF_AUTO, nullptr, false), RC_OK);
    EXPECT_EQ(seen.frames, 1);
    EXPECT_EQ(seen.format, PF_INDEXED8);
    EXPECT_EQ(seen.kept->palette()[1], 0xFF010203u);
    seen.kept.reset();
}

TEST(WriteDriver, FramesLeftOutDoNotChooseTheColourFormat)
{
    // An opaque first frame before a transparent one.
    Ref<Image> a = make(PF_RGBA8, 2, 2);
    Image* b = imageCreate(PF_RGBA8, packSize(2, 2));
    b->alphaKind = ALPHA_STRAIGHT;
    a->frameInfo.next = b;
    b->frameInfo.prev = a.get();
    Format fmt(CF_RGB24 | CF_RGBA32);
    Seen seen;
    ASSERT_EQ(fmt.write(a.get(), seen, CF_AUTO, nullptr, false), RC_OK);
    EXPECT_EQ(seen.flag, uint32_t(CF_RGB24));
    ASSERT_EQ(fmt.write(a.get(), seen, CF_AUTO, nullptr, true), RC_OK);
    EXPECT_EQ(seen.flag, uint32_t(CF_RGBA32));
}

TEST(WriteDriver, ParameterAndExtraReachTheEncoder)
{
    Format fmt(0x4000);
    Seen seen;
    Ref<Image> img = make(PF_RGBA8);
    int marker = 0;
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(new RecordingWriter(&fmt.d, &seen));
    ASSERT_EQ(w->write(img.get(), nullptr, CF_AUTO, 93, false, &marker, nullptr), RC_OK);
    EXPECT_EQ(seen.parameter, 93);
    EXPECT_EQ(seen.extra, &marker);
    EXPECT_FALSE(seen.allFrames);
    EXPECT_EQ(seen.frames, 1);
}

TEST(WriteDriver, HighColourDitherKeepsTransparencyForTheAlphaFormat)
{
    QuantizeOptions options = globalQuantizeOptions();
    QuantizeOptions mine = options;
    mine.ditherHighColour = 1;
    setGlobalQuantizeOptions(&mine);
    Ref<Image> img = make(PF_RGBA8, 8, 4, ALPHA_STRAIGHT);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x) img->row<Rgba8>(y)[x] = {uint8_t(x * 30 + 3), 100, 201, 255};
    img->row<Rgba8>(0)[0].a = 0;
    img->frameInfo.backgroundColour = 0x123456;
    for (uint32_t flag : {0x2000u, 0x1000u}) {
        Format fmt(flag);
        Seen seen;
        ASSERT_EQ(fmt.write(img.get(), seen), RC_OK);
        const Image* out = seen.kept.get();
        ASSERT_NE(out, img.get());
        Rgba8 p = out->row<Rgba8>(0)[0];
        if (flag == 0x2000) {
            EXPECT_EQ(p.a, 0);
        } else {
            EXPECT_EQ(p.a, 255);
            EXPECT_EQ(p.r, 0x12 & 0xF8);
            EXPECT_EQ(p.b, 0x56 & 0xF8);
        }
        // Every channel is a multiple of 8; the mean stays close.
        double sum = 0, want = 0;
        for (uint32_t y = 0; y < 4; ++y)
            for (uint32_t x = 0; x < 8; ++x) {
                Rgba8 q = out->row<Rgba8>(y)[x];
                EXPECT_EQ(q.b & 7, 0);
                EXPECT_EQ(q.g & 7, 0);
                if (x || y) sum += q.g, want += 100;
            }
        EXPECT_NEAR(sum / 31, want / 31, 4.0);
    }
    setGlobalQuantizeOptions(nullptr);
    EXPECT_EQ(img->row<Rgba8>(0)[0].a, 0);
}

TEST(WriteDriver, OutputThatCannotBeCreatedFailsBeforeEncoding)
{
    Format fmt(0x4000);
    Seen seen;
    auto* w = new RecordingWriter(&fmt.d, &seen);
    EXPECT_EQ(w->createOutput("/nonexistent-folder/x.tst"), RC_CREATE_FAILED);
    Ref<Image> img = make(PF_RGBA8);
    EXPECT_EQ(w->write(img.get(), nullptr, CF_AUTO, 0, true, nullptr, nullptr), RC_CREATE_FAILED);
    EXPECT_EQ(seen.calls, 0);
    objectRelease(w);
}

TEST(WriteDriver, PaletteOutputsQuantiseWithoutChangingTheGlobalSwitches)
{
    // Two frames in three colours to a palette format: one palette built
    // over both, no entry beyond what the build filled.
    Ref<Image> a = make(PF_RGBA8, 6, 2);
    Image* b = imageCreate(PF_RGBA8, packSize(6, 2));
    const Rgba8 colours[3] = {{0, 0, 255, 255}, {0, 255, 0, 255}, {255, 0, 0, 255}};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 6; ++x) a->row<Rgba8>(y)[x] = colours[x % 2], b->row<Rgba8>(y)[x] = colours[1 + x % 2];
    a->frameInfo.next = b;
    b->frameInfo.prev = a.get();
    QuantizeOptions before = globalQuantizeOptions();
    Format fmt(0xFF);
    Seen seen;
    ASSERT_EQ(fmt.write(a.get(), seen), RC_OK);
    EXPECT_EQ(seen.format, PF_INDEXED8);
    ASSERT_EQ(seen.frames, 2);
    const Image* qa = seen.kept.get();
    const Image* qb = qa->next();
    EXPECT_EQ(std::memcmp(qa->palette(), qb->palette(), 1024), 0);
    for (const Image* f : {qa, qb})
        for (uint32_t x = 0; x < 6; ++x) {
            uint32_t entry = f->palette()[f->row<uint8_t>(0)[x]];
            const Rgba8& want = (f == qa ? colours[x % 2] : colours[1 + x % 2]);
            EXPECT_EQ(entry & 0xFFFFFF, (uint32_t(want.r) << 16) | (uint32_t(want.g) << 8) | want.b) << x;
        }
    EXPECT_EQ(globalQuantizeOptions().colourCount, before.colourCount);
    EXPECT_EQ(globalQuantizeOptions().useGivenPalette, before.useGivenPalette);

    // A batch's shared palette: only its built entries take part, whatever
    // the rest of the block holds.
    QuantizeOptions mine = before;
    alignas(16) uint32_t shared[256];
    for (uint32_t i = 0; i < 256; ++i) shared[i] = 0xFF0000F0u + i; // stale, near-blue colours
    shared[0] = 0xFF0000FF, shared[1] = 0xFF00FF00, shared[2] = 0xFFFF0000;
    mine.palette = shared;
    mine.givenCount = 3;
    mine.useGivenPalette = 1;
    setGlobalQuantizeOptions(&mine);
    Ref<Image> blue = make(PF_RGBA8, 3, 1);
    for (uint32_t x = 0; x < 3; ++x) blue->row<Rgba8>(0)[x] = {250, 0, 0, 255};
    Format one(0x80);
    ResultCode rc = one.write(blue.get(), seen);
    setGlobalQuantizeOptions(nullptr);
    ASSERT_EQ(rc, RC_OK);
    for (uint32_t x = 0; x < 3; ++x) EXPECT_LT(seen.kept->row<uint8_t>(0)[x], 3) << x;
}
