#include "core/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "core/quantize_options.h"
#include "platform/memory.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

namespace {

Ref<Image> make(PixelFormat f, uint32_t w, uint32_t h, bool dib = false)
{
    return Ref<Image>::adopt(imageCreate(f, packSize(w, h), dib));
}

// Random samples with the extremes of each format mixed in: 0, the maximum,
// and for floats values outside 0..1, infinities and NaN.
void fillEdgy(Image* img, uint32_t seed)
{
    std::mt19937 rng(seed);
    const uint32_t ch = img->pixelFormat <= PF_RGBA_FLOAT ? 4 : 1;
    for (uint32_t y = 0; y < img->height; ++y) {
        for (uint32_t i = 0; i < img->width * ch; ++i) {
            uint32_t pick = rng() % 8;
            switch (img->pixelFormat) {
            case PF_RGBA8:
            case PF_GRAY8:
            case PF_INDEXED8:
                img->row<uint8_t>(y)[i] = pick == 0 ? 0 : pick == 1 ? 255 : uint8_t(rng());
                break;
            case PF_RGBA16:
            case PF_GRAY16:
                img->row<uint16_t>(y)[i] = pick == 0 ? 0 : pick == 1 ? 65535 : uint16_t(rng());
                break;
            default: {
                static const float special[] = {0.0f, 1.0f, -0.25f, 1.5f, std::numeric_limits<float>::quiet_NaN(),
                                                std::numeric_limits<float>::infinity(),
                                                -std::numeric_limits<float>::infinity(), 0.5f};
                float v = pick < 2 ? special[rng() % 8] : float(rng() % 100000) / 99999.0f;
                img->row<float>(y)[i] = v;
            }
            }
        }
    }
    if (uint32_t* pal = img->palette()) {
        for (int i = 0; i < 256; ++i) pal[i] = rng();
        pal[3] = 0x00123456; // transparent entries show the background grey
        pal[7] = 0x00FFFFFF;
    }
    img->frameInfo.backgroundColour = 0xFF3060C0;
    img->alphaKind = ALPHA_STRAIGHT;
}

void writeRaw(const std::filesystem::path& p, const Image* img)
{
    std::ofstream out(p, std::ios::binary);
    const size_t n = size_t(img->width) * img->bytesPerPixel();
    for (uint32_t y = 0; y < img->height; ++y) out.write(reinterpret_cast<const char*>(img->rowBytesPtr(y)), n);
    if (img->palette()) out.write(reinterpret_cast<const char*>(img->palette()), 1024);
}

std::vector<uint8_t> readRaw(const std::filesystem::path& p) { return quillon::test::readFile(p); }

struct Case {
    PixelFormat src, dst;
    bool dither, lum;
    std::string out;
};

const char* kNames[] = {"RGBA8", "RGBA16", "RGBAF", "GRAY8", "GRAY16", "GRAYF", "INDEXED8"};

// Compares our pixels with the reference: integers exactly (within one level
// where the luminance rule rounds through floating point), floats bit for
// bit (NaN equal to NaN) or within a small tolerance for luminance.
void compare(const Case& c, const Image* got, const std::vector<uint8_t>& want)
{
    const uint32_t bpp = got->bytesPerPixel();
    const uint32_t ch = got->pixelFormat <= PF_RGBA_FLOAT ? 4 : 1;
    ASSERT_EQ(want.size(), size_t(got->width) * got->height * bpp) << kNames[c.src] << "->" << kNames[c.dst];
    int bad = 0;
    for (uint32_t y = 0; y < got->height && bad < 5; ++y) {
        for (uint32_t i = 0; i < got->width * ch && bad < 5; ++i) {
            const size_t at = (size_t(y) * got->width * ch + i);
            double g, w;
            bool isFloat = got->pixelFormat == PF_RGBA_FLOAT || got->pixelFormat == PF_GRAY_FLOAT;
            if (isFloat) {
                float wf;
                std::memcpy(&wf, want.data() + at * 4, 4);
                g = got->row<float>(y)[i];
                w = wf;
            } else if (bpp / ch == 2) {
                uint16_t wv;
                std::memcpy(&wv, want.data() + at * 2, 2);
                g = got->row<uint16_t>(y)[i];
                w = wv;
            } else {
                g = got->row<uint8_t>(y)[i];
                w = want[at];
            }
            bool ok;
            if (std::isnan(w) || std::isnan(g)) ok = std::isnan(w) && std::isnan(g);
            else if (std::isinf(w) || std::isinf(g)) ok = g == w;
            else if (isFloat) ok = c.lum ? std::fabs(g - w) <= 2e-5 * std::max(1.0, std::fabs(w)) : g == w;
            else ok = c.lum ? std::fabs(g - w) <= 1 : g == w;
            if (!ok) {
                ++bad;
                ADD_FAILURE() << kNames[c.src] << "->" << kNames[c.dst] << " dither " << c.dither << " lum " << c.lum
                              << " at row " << y << " sample " << i << ": got " << g << ", want " << w;
            }
        }
    }
}

class ScopedOptions {
public:
    ScopedOptions(bool dither, bool lum)
    {
        opts_.ditherTo8Bit = dither;
        opts_.greyByLuminance = lum;
        setGlobalQuantizeOptions(&opts_);
    }
    ~ScopedOptions() { setGlobalQuantizeOptions(nullptr); }

private:
    QuantizeOptions opts_;
};

} // namespace

TEST(ConvertReference, EveryFormatPairMatchesNumpy)
{
    QUILLON_REQUIRE_TOOL("/usr/bin/python3");
    TempDir dir;
    const uint32_t w = 13, h = 6;
    Ref<Image> sources[7];
    for (int f = 0; f < 7; ++f) {
        sources[f] = make(PixelFormat(f), w, h);
        ASSERT_TRUE(sources[f]);
        fillEdgy(sources[f].get(), 100 + f);
        writeRaw(dir / ("src" + std::to_string(f)), sources[f].get());
    }
    std::vector<Case> cases;
    std::ostringstream manifest;
    for (int s = 0; s < 7; ++s)
        for (int d = 0; d < 6; ++d)
            for (int dither = 0; dither < 2; ++dither)
                for (int lum = 0; lum < 2; ++lum) {
                    Case c{PixelFormat(s), PixelFormat(d), dither != 0, lum != 0,
                           (dir / ("out" + std::to_string(cases.size()))).string()};
                    manifest << (dir / ("src" + std::to_string(s))).string() << ' ' << s << ' ' << w << ' ' << h << ' '
                             << sources[s]->frameInfo.backgroundColour << ' ' << d << ' ' << dither << ' ' << lum
                             << ' ' << c.out << '\n';
                    cases.push_back(c);
                }
    quillon::test::writeFile(dir / "manifest", manifest.str());
    std::string script = std::string(QUILLON_SOURCE_DIR) + "/tests/core/convert_reference.py";
    ASSERT_EQ(quillon::test::run("/usr/bin/python3 " + quillon::test::shellQuote(script) + " " +
                                 quillon::test::shellQuote((dir / "manifest").string())),
              0);
    for (const Case& c : cases) {
        ScopedOptions opts(c.dither, c.lum);
        Ref<Image> out = make(c.dst, w, h);
        ASSERT_EQ(imageConvertPixels(out.get(), sources[c.src].get(), false), RC_OK)
            << kNames[c.src] << "->" << kNames[c.dst];
        EXPECT_EQ(out->alphaKind, ALPHA_STRAIGHT);
        compare(c, out.get(), readRaw(c.out));
    }
}

TEST(ConvertPixels, SimpleValues)
{
    Ref<Image> g = make(PF_GRAY8, 1, 1);
    g->row<uint8_t>(0)[0] = 200;
    Ref<Image> c = Ref<Image>::adopt(imageConvertNew(g.get(), false, false, PF_RGBA8));
    ASSERT_TRUE(c);
    Rgba8 p = c->row<Rgba8>(0)[0];
    EXPECT_EQ(p.b, 200);
    EXPECT_EQ(p.g, 200);
    EXPECT_EQ(p.r, 200);
    EXPECT_EQ(p.a, 255);

    Ref<Image> rgb = make(PF_RGBA8, 1, 1);
    rgb->row<Rgba8>(0)[0] = {30, 20, 10, 255};
    Ref<Image> grey = Ref<Image>::adopt(imageConvertNew(rgb.get(), false, false, PF_GRAY8));
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->row<uint8_t>(0)[0], 20);
}

TEST(ConvertPixels, RefusesMismatchesAndLeavesDestinationAlone)
{
    Ref<Image> src = make(PF_RGBA8, 4, 4);
    Ref<Image> dst = make(PF_RGBA8, 5, 4);
    Ref<Image> follower = make(PF_RGBA8, 5, 4);
    dst->frameInfo.next = follower.get();
    follower->addRef();
    follower->frameInfo.prev = dst.get();
    std::memset(dst->pixels(), 0x5A, dst->rowBytes() * 4);
    EXPECT_EQ(imageConvertPixels(dst.get(), src.get(), false), RC_INVALID_PARAMETER);
    EXPECT_EQ(dst->row<uint8_t>(0)[0], 0x5A);
    EXPECT_EQ(dst->frameInfo.next, follower.get());
    EXPECT_EQ(imageConvertPixels(nullptr, src.get(), false), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageConvertToRgba16(dst.get(), src.get()), RC_INVALID_PARAMETER); // wrong view

    // A source of no known format.
    Ref<Image> odd = make(PF_RGBA8, 5, 4);
    odd->pixelFormat = PixelFormat(9);
    EXPECT_EQ(imageConvertToGray8(make(PF_GRAY8, 5, 4).get(), odd.get(), false, false), RC_UNSUPPORTED_COLOUR_FORMAT);
    odd->pixelFormat = PF_RGBA8;
}

TEST(ConvertPixels, CopiesInformationPaletteAndFrameData)
{
    Ref<Image> src = make(PF_INDEXED8, 3, 2);
    for (int i = 0; i < 256; ++i) src->palette()[i] = 0xFF000000u | uint32_t(i * 0x010203);
    src->info()->set(INFO_TITLE, u"Harbour");
    src->frameInfo.duration = 70;
    src->frameInfo.x = 4;
    src->alphaKind = ALPHA_PREMULTIPLIED;
    Ref<Image> copy = make(PF_INDEXED8, 3, 2);
    ASSERT_EQ(imageCopySame(copy.get(), src.get()), RC_OK);
    EXPECT_EQ(copy->palette()[77], src->palette()[77]);
    EXPECT_EQ(std::u16string(copy->info()->get(INFO_TITLE)), u"Harbour");
    EXPECT_EQ(copy->alphaKind, ALPHA_PREMULTIPLIED);

    Ref<Image> rgba = make(PF_RGBA8, 3, 2);
    ASSERT_EQ(imageConvertPixels(rgba.get(), src.get(), true), RC_OK);
    EXPECT_EQ(rgba->frameInfo.duration, 70u);
    EXPECT_EQ(rgba->frameInfo.x, 4);
    ASSERT_EQ(imageConvertPixels(rgba.get(), src.get(), false), RC_OK);
    EXPECT_EQ(rgba->frameInfo.duration, 0u);
    EXPECT_EQ(std::u16string(rgba->info()->get(INFO_TITLE)), u"Harbour");
}

namespace {
// A chain of n frames of 2 x 1 grey pixels whose value is the frame number.
Image* makeChain(uint32_t n)
{
    Image* head = nullptr;
    Image* tail = nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        Image* f = imageCreate(PF_GRAY8, packSize(2, 1));
        f->row<uint8_t>(0)[0] = uint8_t(i);
        f->frameInfo.duration = 10 + i;
        if (!head) head = f;
        else {
            tail->frameInfo.next = f;
            f->frameInfo.prev = tail;
        }
        tail = f;
    }
    return head;
}
} // namespace

TEST(ConvertPixels, WholeChainsAreConvertedAndLinkedBothWays)
{
    const int64_t before = Image::liveCount();
    {
        Ref<Image> chain = Ref<Image>::adopt(makeChain(3));
        Ref<Image> out = Ref<Image>::adopt(imageConvertNew(chain.get(), true, false, PF_RGBA16));
        ASSERT_TRUE(out);
        Image* f = out.get();
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->pixelFormat, PF_RGBA16);
            EXPECT_EQ(f->row<Rgba16>(0)[0].g, i * 257);
            EXPECT_EQ(f->frameInfo.duration, 10 + i);
            if (f->next()) {
                EXPECT_EQ(f->next()->frameInfo.prev, f);
            }
            f = f->next();
        }
        EXPECT_EQ(f, nullptr);
        Ref<Image> single = Ref<Image>::adopt(imageConvertNew(chain.get(), false, false, PF_SAME));
        ASSERT_TRUE(single);
        EXPECT_EQ(single->next(), nullptr);
        EXPECT_EQ(single->frameInfo.duration, 0u);

        // Converting into an image that already has frames drops them first.
        ASSERT_EQ(imageConvertPixels(out.get(), chain.get(), false), RC_OK);
        EXPECT_EQ(out->next(), nullptr);
    }
    EXPECT_EQ(Image::liveCount(), before);
}

TEST(ConvertPixels, DisplayChainsConvertToEveryFormat)
{
    Ref<Image> head = make(PF_RGBA8, 3, 3, true);
    Image* second = imageCreate(PF_RGBA8, packSize(3, 3), true);
    ASSERT_TRUE(head && second);
    head->frameInfo.next = second;
    second->frameInfo.prev = head.get();
    for (PixelFormat f : {PF_RGBA8, PF_RGBA16, PF_GRAY_FLOAT, PF_INDEXED8}) {
        Ref<Image> out = make(f, 3, 3);
        ASSERT_EQ(imageConvertPixels(out.get(), head.get(), true), RC_OK) << int(f);
        ASSERT_NE(out->next(), nullptr);
        EXPECT_EQ(out->next()->pixelFormat, f);
        EXPECT_EQ(out->next()->display() != nullptr, f == PF_RGBA8 || f == PF_INDEXED8);
    }
}

TEST(ConvertPixels, LongChainNeedsNoDeepStack)
{
    const uint32_t n = 100000;
    Ref<Image> chain = Ref<Image>::adopt(makeChain(n));
    Ref<Image> out = Ref<Image>::adopt(imageConvertNew(chain.get(), true, false, PF_RGBA8));
    ASSERT_TRUE(out);
    uint32_t count = 0;
    for (Image* f = out.get(); f; f = f->next()) ++count;
    EXPECT_EQ(count, n);
}

TEST(Alpha, PremultiplyExhaustive)
{
    Ref<Image> img = make(PF_RGBA8, 256, 256);
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c < 256; ++c) img->row<Rgba8>(a)[c] = {uint8_t(c), uint8_t(c), uint8_t(255 - c), uint8_t(a)};
    img->alphaKind = ALPHA_STRAIGHT;
    imagePremultiplyAlpha(img.get());
    EXPECT_EQ(img->alphaKind, ALPHA_PREMULTIPLIED);
    for (uint32_t a = 0; a < 256; ++a) {
        for (uint32_t c = 0; c < 256; ++c) {
            Rgba8 p = img->row<Rgba8>(a)[c];
            // The 257/65536 scaling is within 0.002 of an exact division.
            ASSERT_LE(std::fabs(p.b - c * a / 255.0), 0.502) << c << "," << a;
            ASSERT_LE(p.b, a);
            ASSERT_EQ(p.a, a);
        }
    }
    // A second call does nothing: the image is already premultiplied.
    Rgba8 before = img->row<Rgba8>(128)[200];
    imagePremultiplyAlpha(img.get());
    EXPECT_EQ(img->row<Rgba8>(128)[200].b, before.b);

    imageUnpremultiplyAlpha(img.get(), false);
    EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
    for (uint32_t a = 1; a < 256; ++a) {
        for (uint32_t c = 0; c < 256; ++c) {
            Rgba8 p = img->row<Rgba8>(a)[c];
            // Premultiplying loses precision for small alpha; the round trip
            // stays within half a step of the quantised level.
            ASSERT_LE(std::fabs(double(p.b) - c), 255.0 / (2 * a) + 1) << c << "," << a;
        }
    }
}

TEST(Alpha, UnpremultiplyExhaustive)
{
    Ref<Image> img = make(PF_RGBA8, 256, 256);
    for (uint32_t a = 0; a < 256; ++a)
        for (uint32_t c = 0; c < 256; ++c) img->row<Rgba8>(a)[c] = {uint8_t(c), 0, 0, uint8_t(a)};
    img->alphaKind = ALPHA_PREMULTIPLIED;
    imageUnpremultiplyAlpha(img.get(), true);
    for (uint32_t a = 0; a < 256; ++a) {
        for (uint32_t c = 0; c < 256; ++c) {
            uint8_t got = img->row<Rgba8>(a)[c].b;
            if (a == 0 || a == 255) {
                ASSERT_EQ(got, c);
            } else {
                double exact = c * 255.0 / a;
                if (exact >= 255) ASSERT_EQ(got, 255);
                else ASSERT_LE(std::fabs(got - exact), 0.5 + 1e-9) << c << "," << a;
            }
        }
    }
}

TEST(Alpha, PremultiplyExampleAndOtherFormats)
{
    Ref<Image> img = make(PF_RGBA8, 1, 1);
    img->row<Rgba8>(0)[0] = {50, 100, 200, 128};
    img->alphaKind = ALPHA_STRAIGHT;
    imagePremultiplyAlpha(img.get());
    Rgba8 p = img->row<Rgba8>(0)[0];
    EXPECT_EQ(p.b, 25);
    EXPECT_EQ(p.g, 50);
    EXPECT_EQ(p.r, 100);
    EXPECT_EQ(p.a, 128);

    Ref<Image> w = make(PF_RGBA16, 1, 1);
    w->row<Rgba16>(0)[0] = {65535, 30000, 0, 32768};
    w->alphaKind = ALPHA_STRAIGHT;
    Ref<Image> f = make(PF_RGBA_FLOAT, 1, 1);
    f->row<RgbaF>(0)[0] = {1.0f, 0.5f, 0.0f, 0.25f};
    f->alphaKind = ALPHA_STRAIGHT;
    w->frameInfo.next = f.get(); // a chain of two: both are premultiplied
    f->addRef();
    f->frameInfo.prev = w.get();
    imagePremultiplyAlpha(w.get());
    EXPECT_EQ(w->row<Rgba16>(0)[0].b, 32768);
    EXPECT_EQ(w->row<Rgba16>(0)[0].g, 15000);
    EXPECT_FLOAT_EQ(f->row<RgbaF>(0)[0].g, 0.125f);
    EXPECT_EQ(f->alphaKind, ALPHA_PREMULTIPLIED);
    // Undoing only the first frame leaves the second as it is.
    imageUnpremultiplyAlpha(w.get(), false);
    EXPECT_EQ(w->row<Rgba16>(0)[0].b, 65535);
    EXPECT_EQ(f->alphaKind, ALPHA_PREMULTIPLIED);
    imageUnpremultiplyAlpha(w.get(), true);
    EXPECT_FLOAT_EQ(f->row<RgbaF>(0)[0].g, 0.5f);

    Ref<Image> ix = make(PF_INDEXED8, 1, 1);
    ix->palette()[0] = 0x80C86432;
    ix->alphaKind = ALPHA_STRAIGHT;
    imagePremultiplyAlpha(ix.get());
    EXPECT_EQ(ix->palette()[0], 0x80643219u);
}

TEST(Alpha, FlattenOnBackground)
{
    Ref<Image> img = make(PF_RGBA8, 3, 1);
    Rgba8* p = img->row<Rgba8>(0);
    p[0] = {50, 0, 128, 128};
    p[1] = {0, 0, 0, 0};
    p[2] = {255, 255, 255, 255};
    Rgba8 bg{255, 128, 0, 255};
    flattenOnBackground8(img->rgba8View(), bg);
    auto near = [](int got, double want) { return std::fabs(got - want) <= 0.5 + 1e-9; };
    EXPECT_TRUE(near(p[0].b, 50 + 255 * 127 / 255.0));
    EXPECT_TRUE(near(p[0].g, 128 * 127 / 255.0));
    EXPECT_TRUE(near(p[0].r, 128));
    EXPECT_EQ(p[0].a, 255);
    EXPECT_EQ(p[1].b, 255);
    EXPECT_EQ(p[1].g, 128);
    EXPECT_EQ(p[1].r, 0);
    EXPECT_EQ(p[2].g, 255);

    // Straight data brighter than its alpha saturates instead of wrapping.
    p[0] = {250, 250, 250, 10};
    flattenOnBackground8(img->rgba8View(), Rgba8{255, 255, 255, 255});
    EXPECT_EQ(p[0].b, 255);

    Ref<Image> w = make(PF_RGBA16, 1, 1);
    w->row<Rgba16>(0)[0] = {0, 1000, 0, 0};
    flattenOnBackground16(w->rgba16View(), Rgba16{65535, 0, 0, 65535});
    EXPECT_EQ(w->row<Rgba16>(0)[0].b, 65535);
    EXPECT_EQ(w->row<Rgba16>(0)[0].g, 1000);
    EXPECT_EQ(w->row<Rgba16>(0)[0].a, 65535);

    Ref<Image> f = make(PF_RGBA_FLOAT, 1, 1);
    f->row<RgbaF>(0)[0] = {0.25f, 0.0f, 0.0f, 0.25f};
    flattenOnBackgroundFloat(f->rgbaFloatView(), RgbaF{1.0f, 0.5f, 0.0f, 1.0f});
    EXPECT_FLOAT_EQ(f->row<RgbaF>(0)[0].b, 1.0f);
    EXPECT_FLOAT_EQ(f->row<RgbaF>(0)[0].g, 0.375f);
    EXPECT_FLOAT_EQ(f->row<RgbaF>(0)[0].a, 1.0f);
}

TEST(Alpha, SetOpaque)
{
    for (PixelFormat fmt : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT}) {
        Ref<Image> img = make(fmt, 3, 2);
        std::memset(img->pixels(), 0, img->rowBytes() * 2);
        img->alphaKind = ALPHA_STRAIGHT;
        ASSERT_EQ(imageSetOpaque(img.get()), RC_OK);
        Ref<Image> c = Ref<Image>::adopt(imageConvertNew(img.get(), false, false, PF_RGBA8));
        EXPECT_EQ(c->row<Rgba8>(1)[2].a, 255);
        EXPECT_EQ(c->row<Rgba8>(1)[2].r, 0);
        EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
    }
    EXPECT_EQ(imageSetOpaque(make(PF_GRAY8, 1, 1).get()), RC_INVALID_PARAMETER);
}

TEST(Alpha, MaskFromGreyOfEveryDepth)
{
    Ref<Image> img = make(PF_RGBA16, 2, 1);
    Ref<Image> mask = make(PF_GRAY8, 2, 1);
    mask->row<uint8_t>(0)[0] = 0;
    mask->row<uint8_t>(0)[1] = 0x80;
    ASSERT_EQ(imageApplyAlphaFromGrey(img.get(), mask.get()), RC_OK);
    EXPECT_EQ(img->row<Rgba16>(0)[1].a, 0x8080);
    EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
    EXPECT_EQ(imageApplyAlphaFromGrey(make(PF_GRAY8, 2, 1).get(), mask.get()), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageApplyAlphaFromGrey(make(PF_RGBA8, 3, 1).get(), mask.get()), RC_INVALID_PARAMETER);
}

TEST(Alpha, FailedMaskConversionIsReportedAndChangesNothing)
{
    Ref<Image> img = make(PF_RGBA8, 64, 64);
    std::memset(img->pixels(), 0x77, img->rowBytes() * 64);
    Ref<Image> mask = make(PF_RGBA16, 64, 64);
    std::memset(mask->pixels(), 0, mask->rowBytes() * 64);
    setAllocationCap(1024); // the grey copy of the mask cannot be made
    ResultCode rc = imageApplyAlphaFromGrey(img.get(), mask.get());
    setAllocationCap(0);
    EXPECT_EQ(rc, RC_OUT_OF_MEMORY);
    EXPECT_EQ(img->alphaKind, ALPHA_NONE);
    EXPECT_EQ(img->row<Rgba8>(10)[10].a, 0x77);
}

TEST(RowHelpers, YCbCrWithinOneOfTheExactFormula)
{
    // Every Y, Cb, Cr triple.
    std::vector<uint8_t> px(size_t(1) << 26);
    for (uint32_t i = 0; i < (1u << 24); ++i) {
        px[size_t(i) * 4] = uint8_t(i >> 16);
        px[size_t(i) * 4 + 1] = uint8_t(i >> 8);
        px[size_t(i) * 4 + 2] = uint8_t(i);
    }
    ycbcrToRgbRow(px.data(), 1u << 24);
    auto clamp = [](double v) { return v < 0 ? 0.0 : v > 255 ? 255.0 : v; };
    double worst = 0;
    for (uint32_t i = 0; i < (1u << 24); ++i) {
        double y = i >> 16, cb = double((i >> 8) & 255) - 128, cr = double(i & 255) - 128;
        double r = clamp(y + 1.402 * cr), g = clamp(y - 0.344136 * cb - 0.714136 * cr), b = clamp(y + 1.772 * cb);
        const uint8_t* p = &px[size_t(i) * 4];
        worst = std::max({worst, std::fabs(p[0] - b), std::fabs(p[1] - g), std::fabs(p[2] - r)});
        if (p[3] != 255) FAIL() << "alpha at " << i;
    }
    EXPECT_LE(worst, 1.0);
    uint8_t mid[4] = {128, 128, 128, 0};
    ycbcrToRgbRow(mid, 1);
    EXPECT_EQ(mid[0], 128);
    EXPECT_EQ(mid[1], 128);
    EXPECT_EQ(mid[2], 128);
    EXPECT_EQ(mid[3], 255);
}

TEST(RowHelpers, DitherKeepsTheMeanAndStaysWithinOneLevel)
{
    const uint32_t w = 61, h = 40;
    std::vector<uint16_t> src(size_t(w) * h);
    std::mt19937 rng(5);
    for (auto& v : src) v = uint16_t(0x6000 + rng() % 0x1000);
    // One guard byte after each row catches writes past the width.
    std::vector<uint8_t> dst(size_t(w + 1) * h, 0xEE);
    ditherRows16To8(dst.data(), src.data(), packSize(w, h), w + 1, w);
    double sumIn = 0, sumOut = 0;
    for (uint32_t y = 0; y < h; ++y) {
        EXPECT_EQ(dst[size_t(y) * (w + 1) + w], 0xEE);
        for (uint32_t x = 0; x < w; ++x) {
            uint16_t s = src[size_t(y) * w + x];
            uint8_t d = dst[size_t(y) * (w + 1) + x];
            ASSERT_TRUE(d == (s >> 8) || d == (s >> 8) + 1);
            sumIn += s / 256.0;
            sumOut += d;
        }
    }
    EXPECT_NEAR(sumOut / (w * h), sumIn / (w * h), 0.05);
    // A flat level keeps its mean too.
    std::vector<uint16_t> flat(size_t(w) * h, 0x8080 + 0x40);
    ditherRows16To8(dst.data(), flat.data(), packSize(w, h), w, w);
    double m = 0;
    for (size_t i = 0; i < size_t(w) * h; ++i) m += dst[i];
    EXPECT_NEAR(m / (w * h), 0x80C0 / 256.0, 0.03);
}

TEST(RowHelpers, CopyRowsNarrowingAndWideningInPlace)
{
    // Four rows of 32 bytes narrowed to 16 in the same buffer: each row's
    // first 16 bytes must survive.
    std::vector<uint8_t> buf(4 * 32);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = uint8_t(i);
    copyRows(buf.data(), buf.data(), 16, 32, 4);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 16; ++x) ASSERT_EQ(buf[y * 16 + x], uint8_t(y * 32 + x)) << y << "," << x;
    // And widened back.
    copyRows(buf.data(), buf.data(), 32, 16, 4);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 16; ++x) ASSERT_EQ(buf[y * 32 + x], uint8_t(y * 32 + x));
    // Between separate buffers.
    std::vector<uint8_t> other(4 * 8, 0);
    copyRows(other.data(), buf.data(), 8, 32, 4);
    EXPECT_EQ(other[3 * 8 + 7], uint8_t(3 * 32 + 7));
}

TEST(RowHelpers, BitPlanesPackedBitsAndSwaps)
{
    // Two planes of a 10-pixel row: plane 0 = 1010 1010 | 11, plane 1 = 1100 1100 | 01.
    const uint8_t planes[4] = {0xAA, 0xC0, 0xCC, 0x40};
    uint8_t out[16];
    planarToChunky(out, planes, 10, 2);
    const uint8_t want[10] = {3, 2, 1, 0, 3, 2, 1, 0, 1, 3};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], want[i]) << i;

    const uint8_t bits[11] = {1, 0, 1, 1, 0, 0, 0, 1, 1, 1, 0};
    uint8_t packed[2] = {0xFF, 0xFF};
    packBitsRow(packed, bits, 11);
    EXPECT_EQ(packed[0], 0xB1);
    EXPECT_EQ(packed[1], 0xC0);

    uint16_t px[4] = {0x0102, 0x0304, 0x0506, 0x0708};
    uint16_t sw[4];
    rgba16RowSwapRB(sw, px, 1, false);
    EXPECT_EQ(sw[0], 0x0506);
    EXPECT_EQ(sw[2], 0x0102);
    rgba16RowSwapRB(px, px, 1, true);
    EXPECT_EQ(px[0], 0x0605);
    EXPECT_EQ(px[1], 0x0403);
    EXPECT_EQ(px[3], 0x0807);

    float fp[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    float fs[4];
    rgbaFloatRowSwapRB(fs, fp, 1, false);
    EXPECT_EQ(fs[0], 3.0f);
    EXPECT_EQ(fs[2], 1.0f);
    rgbaFloatRowSwapRB(fs, fp, 1, true);
    uint32_t u;
    std::memcpy(&u, &fs[0], 4);
    EXPECT_EQ(u, 0x00004040u); // 3.0f is 0x40400000
}

TEST(RowHelpers, FloatRules)
{
    EXPECT_EQ(floatToU8(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(floatToU8(-1.0f), 0);
    EXPECT_EQ(floatToU8(std::numeric_limits<float>::infinity()), 255);
    EXPECT_EQ(floatToU8(0.5f), 128);
    const float c[4] = {0.0f, 0.5f, 1.0f, 2.0f};
    uint8_t o8[4];
    uint16_t o16[4];
    colourToRgba8(o8, c);
    colourToRgba16(o16, c);
    EXPECT_EQ(o8[1], 128);
    EXPECT_EQ(o8[3], 255);
    EXPECT_EQ(o16[1], 32768);
    EXPECT_EQ(o16[2], 65535);
}

TEST(Blit, ClipsAtEveryEdge)
{
    Ref<Image> src = make(PF_GRAY8, 10, 6);
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 10; ++x) src->row<uint8_t>(y)[x] = uint8_t(y * 16 + x);
    Ref<Image> dst = make(PF_GRAY8, 8, 8);
    auto clear = [&] {
        for (uint32_t y = 0; y < 8; ++y) std::memset(dst->row<uint8_t>(y), 0xFF, 8);
    };
    clear();
    // A negative destination position cuts the rectangle and moves the source
    // start with it: what lands at (0, 0) is what would have been there.
    ASSERT_EQ(imageBlitRect(dst.get(), {-5, -1}, src.get(), {1, 0}, {}), RC_OK);
    EXPECT_EQ(dst->row<uint8_t>(0)[0], 1 * 16 + 6);
    EXPECT_EQ(dst->row<uint8_t>(0)[3], 1 * 16 + 9);
    EXPECT_EQ(dst->row<uint8_t>(0)[4], 0xFF);
    EXPECT_EQ(dst->row<uint8_t>(4)[0], 5 * 16 + 6);
    EXPECT_EQ(dst->row<uint8_t>(5)[0], 0xFF);

    clear();
    // Cut at the right and bottom edges of the destination.
    ASSERT_EQ(imageBlitRect(dst.get(), {6, 5}, src.get(), {0, 0}, {}), RC_OK);
    EXPECT_EQ(dst->row<uint8_t>(5)[6], 0);
    EXPECT_EQ(dst->row<uint8_t>(7)[7], 2 * 16 + 1);

    // Nothing left: success with 1.
    EXPECT_EQ(imageBlitRect(dst.get(), {8, 0}, src.get(), {0, 0}, {}), 1u);
    EXPECT_EQ(imageBlitRect(dst.get(), {-20, 0}, src.get(), {0, 0}, {}), 1u);
    // A source rectangle outside the source.
    EXPECT_EQ(imageBlitRect(dst.get(), {0, 0}, src.get(), {8, 0}, {3, 1}), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageBlitRect(dst.get(), {0, 0}, src.get(), {-1, 0}, {3, 1}), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageBlitRect(dst.get(), {0, 0}, src.get(), {11, 0}, {}), RC_INVALID_PARAMETER);
}

TEST(Blit, ConvertsAnotherFormat)
{
    Ref<Image> src = make(PF_GRAY8, 2, 2);
    std::memset(src->row<uint8_t>(0), 40, 2);
    std::memset(src->row<uint8_t>(1), 90, 2);
    Ref<Image> dst = make(PF_RGBA8, 4, 4);
    std::memset(dst->pixels(), 0, dst->rowBytes() * 4);
    ASSERT_EQ(imageBlitRect(dst.get(), {1, 2}, src.get(), {0, 0}, {2, 2}), RC_OK);
    EXPECT_EQ(dst->row<Rgba8>(3)[2].r, 90);
    EXPECT_EQ(dst->row<Rgba8>(3)[2].a, 255);
    EXPECT_EQ(dst->row<Rgba8>(1)[2].a, 0);
}
