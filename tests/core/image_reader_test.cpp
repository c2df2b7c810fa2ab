// The decode driver against a scriptable reader: bit-depth expansion, the
// colour models against double-precision references, the reduced-size
// choice, frames and page labels, cancellation and long chains.
#include "core/image_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <tuple>

#include "core/text.h"

using namespace quillon;

namespace {

class FakeReader final : public ImageReader {
public:
    explicit FakeReader(MappedFile* f) : ImageReader(f, nullptr) {}
    std::function<void(Image*, bool)> fill;
    ResultCode pixelsResult = RC_OK;
    AbortFlag* setAbortDuringRead = nullptr;
    int reads = 0;
    bool lastReduced = false;
    Image* lastTarget = nullptr;
    uint32_t rowsNeeded = 0;  // rows the codec writes (like whole MCU rows)
    bool targetTooSmall = false;

protected:
    ResultCode readHeader(const void*) override { return RC_OK; }
    ResultCode readPixels(Image* image, bool reduced, Progress*, AbortFlag*) override
    {
        ++reads;
        lastReduced = reduced;
        lastTarget = image;
        if (rowsNeeded) {
            if (image->rowsAllocated() < rowsNeeded) targetTooSmall = true;
            uint32_t rows = std::min(rowsNeeded, image->rowsAllocated());
            for (uint32_t y = 0; y < rows; ++y) std::memset(image->rowBytesPtr(y), 0x11, image->rowBytes());
        }
        if (fill) fill(image, reduced);
        if (setAbortDuringRead) setAbortDuringRead->store(1);
        return pixelsResult;
    }
};

struct Harness {
    Ref<MappedFile> file = Ref<MappedFile>::adopt(memoryStreamCreate("data", 4, "/x/frames.fake"));
    FakeReader* make(uint32_t w, uint32_t h, PixelFormat pf, ColourModel cm, uint32_t bits)
    {
        auto* r = new FakeReader(file.get());
        r->width = w;
        r->height = h;
        r->pixelFormat = pf;
        r->colourModel = cm;
        r->bitsPerPixel = bits;
        return r;
    }
};

Ref<Image> decodeNew(ImageReader* r, bool allFrames = true, ResultCode* rcOut = nullptr)
{
    Image* img = nullptr;
    EXPECT_EQ(imageCreateForReader(r, &img, false), RC_OK);
    Ref<Image> out = Ref<Image>::adopt(img);
    ResultCode rc = r->decode(img, allFrames, nullptr, nullptr);
    if (rcOut)
        *rcOut = rc;
    else
        EXPECT_EQ(rc, RC_OK);
    return out;
}

double srgb(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }
int toByte(double v) { return v <= 0 ? 0 : v >= 1 ? 255 : int(v * 255 + 0.5); }

// Reference L*a*b* (D65) to sRGB bytes from the textbook formulas.
void labReference(double L, double a, double b, int rgb[3])
{
    double fy = (L + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
    const double eps = 216.0 / 24389, kappa = 24389.0 / 27;
    double xr = fx * fx * fx > eps ? fx * fx * fx : (116 * fx - 16) / kappa;
    double yr = L > kappa * eps ? fy * fy * fy : L / kappa;
    double zr = fz * fz * fz > eps ? fz * fz * fz : (116 * fz - 16) / kappa;
    double X = xr * 0.95047, Y = yr, Z = zr * 1.08883;
    double r = 3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z;
    double g = -0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z;
    double bb = 0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z;
    rgb[0] = toByte(srgb(r));
    rgb[1] = toByte(srgb(g));
    rgb[2] = toByte(srgb(bb));
}

} // namespace

TEST(DecodeDriver, GreySamplesOfFewerBitsAreExpandedAndKInverted)
{
    Harness h;
    struct Case {
        ColourModel cm;
        uint32_t bits;
        uint8_t in[4];
        uint8_t out[4];
    } cases[] = {
        {CM_L, 1, {0, 1, 0, 1}, {0, 255, 0, 255}},
        {CM_K, 1, {0, 1, 0, 1}, {255, 0, 255, 0}},
        {CM_L, 4, {5, 15, 0, 200}, {85, 255, 0, 255}},  // 200: beyond 4 bits, clamped
        {CM_L, 2, {1, 2, 3, 255}, {85, 170, 255, 255}},
        {CM_K, 8, {0, 10, 255, 128}, {255, 245, 0, 127}},
        {CM_L, 8, {0, 10, 255, 128}, {0, 10, 255, 128}},
    };
    for (const Case& c : cases) {
        Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(4, 1, PF_GRAY8, c.cm, c.bits));
        r->fill = [&](Image* im, bool) { std::memcpy(im->rowBytesPtr(0), c.in, 4); };
        Ref<Image> img = decodeNew(r.get());
        ASSERT_EQ(img->pixelFormat, PF_GRAY8);
        for (int x = 0; x < 4; ++x) EXPECT_EQ(img->row<uint8_t>(0)[x], c.out[x]) << "bits " << c.bits << " x " << x;
    }
    // An indexed grey file becomes grey, its indices the levels.
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(2, 1, PF_INDEXED8, CM_K, 1));
    r->fill = [](Image* im, bool) { im->row<uint8_t>(0)[0] = 0, im->row<uint8_t>(0)[1] = 1; };
    Ref<Image> img = decodeNew(r.get());
    ASSERT_EQ(img->pixelFormat, PF_GRAY8);
    EXPECT_EQ(img->row<uint8_t>(0)[0], 255);
    EXPECT_EQ(img->row<uint8_t>(0)[1], 0);
    // 16-bit and float K.
    Ref<FakeReader> r16 = Ref<FakeReader>::adopt(h.make(1, 1, PF_GRAY16, CM_K, 16));
    r16->fill = [](Image* im, bool) { im->row<uint16_t>(0)[0] = 1000; };
    EXPECT_EQ(decodeNew(r16.get())->row<uint16_t>(0)[0], 64535);
    Ref<FakeReader> rf = Ref<FakeReader>::adopt(h.make(1, 1, PF_GRAY_FLOAT, CM_K, 32));
    rf->fill = [](Image* im, bool) { im->row<float>(0)[0] = 0.5f; };
    EXPECT_NEAR(decodeNew(rf.get())->row<float>(0)[0], 1 - srgb(0.5), 1e-5);
}

TEST(DecodeDriver, ColourModelsMatchDoublePrecisionReferences)
{
    Harness h;
    const uint8_t samples[][4] = {{0, 0, 0, 0},       {0, 0, 0, 255},   {10, 200, 30, 40}, {255, 128, 0, 77},
                                  {128, 128, 128, 0}, {90, 20, 240, 5}, {255, 255, 255, 255}};
    const int n = int(sizeof samples / sizeof samples[0]);
    for (ColourModel cm : {CM_CMYK, CM_CMYL, CM_YCCK, CM_XYZ, CM_YCBCR}) {
        Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(n, 1, PF_RGBA8, cm, 32));
        r->fill = [&](Image* im, bool) { std::memcpy(im->rowBytesPtr(0), samples, sizeof samples); };
        Ref<Image> img = decodeNew(r.get());
        for (int i = 0; i < n; ++i) {
            const uint8_t* s = samples[i];
            double c0 = s[0], c1 = s[1], c2 = s[2], c3 = s[3];
            int R = 0, G = 0, B = 0;
            auto clampT = [](double v) { return v <= 0 ? 0 : v >= 255 ? 255 : int(v); };
            switch (cm) {
            case CM_CMYK:
                R = int((255 - c3) * (255 - c0) / 255), G = int((255 - c3) * (255 - c1) / 255),
                B = int((255 - c3) * (255 - c2) / 255);
                break;
            case CM_CMYL: R = int(c3 * c0 / 255), G = int(c3 * c1 / 255), B = int(c3 * c2 / 255); break;
            case CM_YCCK:
                R = clampT((255 - (c0 + 1.402 * (c2 - 128))) * c3 / 255);
                G = clampT((255 - (c0 - 0.34414 * (c1 - 128) - 0.71414 * (c2 - 128))) * c3 / 255);
                B = clampT((255 - (c0 + 1.772 * (c1 - 128))) * c3 / 255);
                break;
            case CM_XYZ: {
                double x = c0 / 255, y = c1 / 255, z = c2 / 255;
                R = toByte(srgb(3.2406 * x - 1.5372 * y - 0.4986 * z));
                G = toByte(srgb(-0.9689 * x + 1.8758 * y + 0.0415 * z));
                B = toByte(srgb(0.0557 * x - 0.204 * y + 1.057 * z));
                break;
            }
            default: { // JFIF
                double y = c0, cb = c1 - 128, cr = c2 - 128;
                R = int(std::lround(std::clamp(y + 1.402 * cr, 0.0, 255.0)));
                G = int(std::lround(std::clamp(y - 0.344136 * cb - 0.714136 * cr, 0.0, 255.0)));
                B = int(std::lround(std::clamp(y + 1.772 * cb, 0.0, 255.0)));
                break;
            }
            }
            const Rgba8 p = img->row<Rgba8>(0)[i];
            int tol = (cm == CM_YCBCR || cm == CM_YCCK) ? 1 : 0;
            EXPECT_NEAR(p.r, R, tol) << int(cm) << " sample " << i;
            EXPECT_NEAR(p.g, G, tol) << int(cm) << " sample " << i;
            EXPECT_NEAR(p.b, B, tol) << int(cm) << " sample " << i;
            EXPECT_EQ(p.a, 255);
        }
    }
    // CMYK edge cases from the description: no ink is white, full K black.
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(2, 1, PF_RGBA8, CM_CMYK, 32));
    r->fill = [](Image* im, bool) {
        const uint8_t px[8] = {0, 0, 0, 0, 17, 99, 3, 255};
        std::memcpy(im->rowBytesPtr(0), px, 8);
    };
    Ref<Image> img = decodeNew(r.get());
    EXPECT_EQ(std::memcmp(&img->row<Rgba8>(0)[0], "\xff\xff\xff\xff", 4), 0);
    EXPECT_EQ(std::memcmp(&img->row<Rgba8>(0)[1], "\0\0\0\xff", 4), 0);
}

TEST(DecodeDriver, LabComesOutSrgbEncoded)
{
    Harness h;
    const int8_t ab[][2] = {{0, 0}, {40, -30}, {-60, 50}, {127, 127}, {-128, -128}};
    const uint8_t Ls[] = {0, 10, 20, 128, 200, 255};
    for (uint8_t L : Ls)
        for (auto& c : ab) {
            Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA8, CM_LAB, 24));
            r->fill = [&](Image* im, bool) {
                uint8_t* p = im->rowBytesPtr(0);
                p[0] = L, p[1] = uint8_t(c[0]), p[2] = uint8_t(c[1]), p[3] = 0;
            };
            Ref<Image> img = decodeNew(r.get());
            int ref[3];
            labReference(L * 100.0 / 255, c[0], c[1], ref);
            Rgba8 p = img->row<Rgba8>(0)[0];
            EXPECT_NEAR(p.r, ref[0], 1) << int(L) << " " << int(c[0]) << " " << int(c[1]);
            EXPECT_NEAR(p.g, ref[1], 1);
            EXPECT_NEAR(p.b, ref[2], 1);
        }
    // Mid grey is about 119, not the linear 47.
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA8, CM_LAB, 24));
    r->fill = [](Image* im, bool) { std::memcpy(im->rowBytesPtr(0), "\x80\0\0\0", 4); };
    EXPECT_NEAR(decodeNew(r.get())->row<Rgba8>(0)[0].g, 119, 1);
    // A format the model cannot take.
    Ref<FakeReader> r16 = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA16, CM_LAB, 48));
    ResultCode rc;
    decodeNew(r16.get(), true, &rc);
    EXPECT_EQ(rc, RC_UNSUPPORTED_COLOUR_FORMAT);
}

TEST(DecodeDriver, XyzFloatCmyk16AndLinearFloat)
{
    Harness h;
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA_FLOAT, CM_XYZ, 96));
    r->fill = [](Image* im, bool) { im->row<RgbaF>(0)[0] = {0.9505f, 1.0f, 1.089f, 0.0f}; }; // X, Y, Z
    RgbaF p = decodeNew(r.get())->row<RgbaF>(0)[0];
    EXPECT_NEAR(p.r, 1.0, 0.01);
    EXPECT_NEAR(p.g, 1.0, 0.01);
    EXPECT_NEAR(p.b, 1.0, 0.01);
    EXPECT_EQ(p.a, 1.0f);
    Ref<FakeReader> rc = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA16, CM_CMYK, 64));
    rc->fill = [](Image* im, bool) { im->row<Rgba16>(0)[0] = {1000, 2000, 3000, 30000}; };
    Rgba16 q = decodeNew(rc.get())->row<Rgba16>(0)[0];
    EXPECT_EQ(q.r, uint16_t(uint64_t(65535 - 30000) * (65535 - 1000) / 65535));
    EXPECT_EQ(q.g, uint16_t(uint64_t(65535 - 30000) * (65535 - 2000) / 65535));
    EXPECT_EQ(q.b, uint16_t(uint64_t(65535 - 30000) * (65535 - 3000) / 65535));
    EXPECT_EQ(q.a, 65535);
    Ref<FakeReader> rl = Ref<FakeReader>::adopt(h.make(1, 1, PF_RGBA_FLOAT, CM_RGB, 96));
    rl->fill = [](Image* im, bool) { im->row<RgbaF>(0)[0] = {0.2f, 0.001f, 0.5f, 0.25f}; };
    RgbaF l = decodeNew(rl.get())->row<RgbaF>(0)[0];
    EXPECT_NEAR(l.b, srgb(0.2), 1e-5);
    EXPECT_NEAR(l.g, 0.01292, 1e-5);
    EXPECT_NEAR(l.r, srgb(0.5), 1e-5);
    EXPECT_EQ(l.a, 0.25f);
}

TEST(DecodeDriver, GreyRampPaletteBecomesGreyUnlessTransparent)
{
    Harness h;
    for (bool transparent : {false, true}) {
        Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(2, 1, PF_INDEXED8, CM_RGB, 8));
        r->fill = [&](Image* im, bool) {
            fillGreyRamp(im->palette());
            if (transparent) im->palette()[0] = 0x00000000;
            im->row<uint8_t>(0)[0] = 0, im->row<uint8_t>(0)[1] = 200;
        };
        Ref<Image> img = decodeNew(r.get());
        EXPECT_EQ(img->pixelFormat, transparent ? PF_INDEXED8 : PF_GRAY8);
        EXPECT_EQ(img->row<uint8_t>(0)[1], 200);
        if (transparent) {
            EXPECT_EQ(img->palette()[0], 0u);
        }
    }
}

TEST(DecodeDriver, ReducedSizeGoesStraightIntoAMatchingImage)
{
    Harness h;
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(64, 64, PF_GRAY8, CM_L, 8));
    r->reducedWidth = r->reducedHeight = 8;
    r->minRowBytes = 64;
    r->minRows = 64;
    r->rowsNeeded = 8;
    Ref<Image> small = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(8, 8)));
    r->fill = [](Image* im, bool reduced) {
        if (reduced) im->row<uint8_t>(0)[0] = 42;
    };
    ASSERT_EQ(r->decode(small.get(), true, nullptr, nullptr), RC_OK);
    EXPECT_TRUE(r->lastReduced);
    EXPECT_EQ(r->lastTarget, small.get());
    EXPECT_EQ(small->row<uint8_t>(0)[0], 42);
    // A codec that writes whole blocks past the image's rows gets an
    // intermediate image that holds them, never the caller's short image.
    r->rowsNeeded = 10;
    r->minRows = 80;
    ASSERT_EQ(r->decode(small.get(), true, nullptr, nullptr), RC_OK);
    EXPECT_TRUE(r->lastReduced);
    EXPECT_NE(r->lastTarget, small.get());
    EXPECT_FALSE(r->targetTooSmall);
    EXPECT_EQ(small->row<uint8_t>(0)[0], 42);
    // A full-size image in another format goes through an intermediate.
    Ref<Image> full = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(64, 64)));
    r->minRows = 64;
    r->rowsNeeded = 64;
    ASSERT_EQ(r->decode(full.get(), true, nullptr, nullptr), RC_OK);
    EXPECT_FALSE(r->lastReduced);
    EXPECT_FALSE(r->targetTooSmall);
    // Half the full size: decoded at full size, then resampled; the frame
    // data comes along.
    r->frameInfo.duration = 1234;
    r->frameInfo.x = 7;
    r->fill = [](Image* im, bool) {
        for (uint32_t y = 0; y < im->height; ++y) std::memset(im->rowBytesPtr(y), 200, im->width);
    };
    Ref<Image> half = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(32, 32)));
    ASSERT_EQ(r->decode(half.get(), true, nullptr, nullptr), RC_OK);
    EXPECT_FALSE(r->lastReduced);
    EXPECT_NE(r->lastTarget, half.get());
    EXPECT_EQ(half->row<uint8_t>(16)[16], 200);
    EXPECT_EQ(half->frameInfo.duration, 1234u);
    EXPECT_EQ(half->frameInfo.x, 7);
    // Into another format of the same size: converted, frame data too.
    Ref<Image> rgba = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(64, 64)));
    ASSERT_EQ(r->decode(rgba.get(), true, nullptr, nullptr), RC_OK);
    EXPECT_EQ(rgba->row<Rgba8>(3)[3].g, 200);
    EXPECT_EQ(rgba->frameInfo.duration, 1234u);
}

TEST(DecodeDriver, FramesPagesAndLabels)
{
    Harness h;
    auto chain = [&](std::initializer_list<uint32_t> durations) {
        FakeReader* first = nullptr;
        FakeReader* last = nullptr;
        uint8_t level = 10;
        for (uint32_t d : durations) {
            FakeReader* r = h.make(3, 2, PF_GRAY8, CM_L, 8);
            r->frameInfo.duration = d;
            r->frameInfo.x = level;
            uint8_t v = level;
            r->fill = [v](Image* im, bool) { im->row<uint8_t>(0)[0] = v; };
            level += 10;
            if (last)
                last->nextReader = r;
            else
                first = r;
            last = r;
        }
        return Ref<FakeReader>::adopt(first);
    };
    {
        Ref<FakeReader> r = chain({kPageEndDuration, kPageEndDuration, 0});
        Ref<Image> img = decodeNew(r.get());
        const char* labels[] = {"1:3", "2:3", "3:3"};
        int i = 0;
        Image* prev = nullptr;
        for (Image* im = img.get(); im; im = im->frameInfo.next, ++i) {
            ASSERT_LT(i, 3);
            EXPECT_EQ(u16ToUtf8(im->info()->get(INFO_PAGE)), labels[i]);
            EXPECT_EQ(im->row<uint8_t>(0)[0], 10 + 10 * i);
            EXPECT_EQ(im->frameInfo.x, 10 + 10 * i);
            EXPECT_EQ(im->frameInfo.prev, prev);
            prev = im;
        }
        EXPECT_EQ(i, 3);
        // Without all frames the one image still names the page count.
        Ref<Image> one = decodeNew(r.get(), false);
        EXPECT_EQ(one->frameInfo.next, nullptr);
        EXPECT_EQ(u16ToUtf8(one->info()->get(INFO_PAGE)), "1:3");
    }
    {
        Ref<FakeReader> r = chain({100, 100});
        Ref<Image> img = decodeNew(r.get());
        ASSERT_NE(img->frameInfo.next, nullptr);
        EXPECT_FALSE(img->info()->has(INFO_PAGE));
        EXPECT_FALSE(img->frameInfo.next->info()->has(INFO_PAGE));
    }
}

TEST(DecodeDriver, CancellationAndFailures)
{
    Harness h;
    AbortFlag abort{0};
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(4, 4, PF_GRAY8, CM_L, 8));
    r->setAbortDuringRead = &abort;
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(4, 4)));
    EXPECT_EQ(r->decode(img.get(), true, nullptr, &abort), RC_CANCELLED);
    abort = 0;
    r->setAbortDuringRead = nullptr;
    r->pixelsResult = RC_CORRUPT_FILE;
    EXPECT_EQ(r->decode(img.get(), true, nullptr, &abort), RC_CORRUPT_FILE);
    // A second frame that fails fails the call and leaves no frame behind.
    r->pixelsResult = RC_OK;
    FakeReader* second = h.make(4, 4, PF_GRAY8, CM_L, 8);
    second->pixelsResult = RC_UNSUPPORTED_COLOUR_FORMAT;
    r->nextReader = second;
    int64_t before = Image::liveCount();
    EXPECT_EQ(r->decode(img.get(), true, nullptr, nullptr), RC_UNSUPPORTED_COLOUR_FORMAT);
    EXPECT_EQ(img->frameInfo.next, nullptr);
    EXPECT_EQ(Image::liveCount(), before);
    // An empty size or an unset pixel format describes no image: the file
    // is damaged (not of an unknown format, not too big for memory).
    Image* none = nullptr;
    for (auto [w, hgt, pf] : {std::tuple{0u, 5u, PF_GRAY8}, std::tuple{5u, 0u, PF_RGBA8}, std::tuple{5u, 5u, PF_SAME}}) {
        Ref<FakeReader> bad = Ref<FakeReader>::adopt(h.make(w, hgt, pf, CM_L, 8));
        EXPECT_EQ(imageCreateForReader(bad.get(), &none, false), RC_CORRUPT_FILE);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(bad->open(nullptr), RC_CORRUPT_FILE);
    }
}

TEST(DecodeDriver, PixelDataCutShortKeepsTheConvertedPartialImageAndReportsDamage)
{
    Harness h;
    // CMYK data of which the codec decoded the top row and cleared the rest.
    Ref<FakeReader> r = Ref<FakeReader>::adopt(h.make(2, 2, PF_RGBA8, CM_CMYK, 32));
    r->info.set(INFO_COMMENTS, u"kept");
    r->fill = [](Image* im, bool) {
        const uint8_t top[8] = {0, 255, 255, 0, 0, 0, 0, 255};  // cyan 0, magenta and yellow full; black
        std::memcpy(im->rowBytesPtr(0), top, 8);
        std::memset(im->rowBytesPtr(1), 0, 8);
    };
    r->pixelsResult = RC_CORRUPT_FILE;
    ResultCode rc;
    Ref<Image> img = decodeNew(r.get(), true, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // Converted as a whole file would be: red, black, and the cleared row
    // (CMYK zeros) white.
    Rgba8 red = img->row<Rgba8>(0)[0], black = img->row<Rgba8>(0)[1], cleared = img->row<Rgba8>(1)[0];
    EXPECT_EQ(red.r, 255);
    EXPECT_EQ(red.g, 0);
    EXPECT_EQ(red.b, 0);
    EXPECT_EQ(black.r, 0);
    EXPECT_EQ(cleared.g, 255);
    EXPECT_EQ(u16ToUtf8(img->info()->get(INFO_COMMENTS)), "kept");
    // Through an intermediate image of another format and size too.
    Ref<Image> grey = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(2, 2)));
    EXPECT_EQ(r->decode(grey.get(), true, nullptr, nullptr), RC_CORRUPT_FILE);
    EXPECT_LT(grey->row<uint8_t>(0)[0], 128);  // red is dark in grey
    EXPECT_EQ(grey->row<uint8_t>(1)[1], 255);
    EXPECT_EQ(u16ToUtf8(grey->info()->get(INFO_COMMENTS)), "kept");
    Ref<Image> small = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(1, 1)));
    EXPECT_EQ(r->decode(small.get(), true, nullptr, nullptr), RC_CORRUPT_FILE);

    // A later frame cut short is kept behind the whole ones and ends the
    // chain: the frame after it is not decoded.
    r->pixelsResult = RC_OK;
    FakeReader* second = h.make(3, 1, PF_GRAY8, CM_L, 8);
    second->fill = [](Image* im, bool) { std::memset(im->rowBytesPtr(0), 40, 3); };
    second->pixelsResult = RC_CORRUPT_FILE;
    FakeReader* third = h.make(1, 1, PF_GRAY8, CM_L, 8);
    second->nextReader = third;
    r->nextReader = second;
    img = decodeNew(r.get(), true, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    ASSERT_NE(img->next(), nullptr);
    EXPECT_EQ(img->next()->width, 3u);
    EXPECT_EQ(img->next()->row<uint8_t>(0)[2], 40);
    EXPECT_EQ(img->next()->frameInfo.prev, img.get());
    EXPECT_EQ(img->next()->next(), nullptr);
    EXPECT_EQ(third->reads, 0);
    // A later frame whose header left its size unset is damage too, after
    // the frames before it.
    second->pixelsResult = RC_OK;
    third->width = 0;
    img = decodeNew(r.get(), true, &rc);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    ASSERT_NE(img->next(), nullptr);
    EXPECT_EQ(img->next()->next(), nullptr);
}

TEST(DecodeDriver, HundredThousandFramesDecodeAndReleaseWithoutRecursion)
{
    Harness h;
    const int n = 100000;
    FakeReader* first = h.make(1, 1, PF_GRAY8, CM_L, 8);
    FakeReader* last = first;
    for (int i = 1; i < n; ++i) {
        FakeReader* r = h.make(1, 1, PF_GRAY8, CM_L, 8);
        last->nextReader = r;
        last = r;
    }
    Ref<FakeReader> head = Ref<FakeReader>::adopt(first);
    int64_t before = Image::liveCount();
    {
        Ref<Image> img = decodeNew(head.get());
        int count = 0;
        for (Image* im = img.get(); im; im = im->frameInfo.next) ++count;
        EXPECT_EQ(count, n);
    }
    EXPECT_EQ(Image::liveCount(), before);
    head.reset(); // the reader chain goes without recursion too
}

namespace {

// A codec of two frames in the shape a multi-frame codec takes: readHeader
// reads the first frame's header and builds the reader of the second one
// on the same input. Bytes: "TF", then per frame width, height, grey level.
class TwoFrameReader final : public ImageReader {
public:
    TwoFrameReader(MappedFile* f, const FormatDescriptor* d, uint32_t index = 0) : ImageReader(f, d), index_(index) {}

protected:
    ResultCode readHeader(const void*) override
    {
        const uint8_t* p = fileData() + 2 + 3 * index_;
        if (fileSize() < 2 + 3 * (uint64_t(index_) + 1)) return RC_CORRUPT_FILE;
        width = p[0];
        height = p[1];
        level_ = p[2];
        pixelFormat = PF_GRAY8;
        colourModel = CM_L;
        bitsPerPixel = index_ ? 4 : 8;
        frameInfo.duration = 70;
        if (index_ == 0) {
            info.set(INFO_COMPRESSION, u"Made up");
            Ref<TwoFrameReader> next = Ref<TwoFrameReader>::adopt(new TwoFrameReader(input, descriptor, 1));
            ResultCode rc = next->readHeader(nullptr);
            if (failed(rc)) return rc;
            nextReader = next.release();
        }
        return RC_OK;
    }
    ResultCode readPixels(Image* image, bool, Progress*, AbortFlag*) override
    {
        for (uint32_t y = 0; y < height; ++y) std::memset(image->rowBytesPtr(y), level_, width);
        return RC_OK;
    }

private:
    uint32_t index_;
    uint8_t level_ = 0;
};

ResultCode probeTwoFrames(MappedFile* f) { return f->size() >= 2 && std::memcmp(f->data(), "TF", 2) == 0 ? RC_OK : RC_UNKNOWN_FORMAT; }
ImageReader* twoFramesCreate(MappedFile* f, const FormatDescriptor* d) { return new TwoFrameReader(f, d); }

} // namespace

TEST(DecodeDriver, EveryReaderOfAFrameChainGetsTheGenericInformation)
{
    FormatDescriptor d{u"tfr", u"Two frame test format", probeTwoFrames, twoFramesCreate};
    FormatRegistry registry;
    registry.add(&d);
    const uint8_t bytes[] = {'T', 'F', 3, 2, 50, 1, 4, 9};
    Ref<MappedFile> file = Ref<MappedFile>::adopt(memoryStreamCreate(bytes, sizeof bytes, "/pics/anim.tfr"));
    Ref<ImageReader> reader;
    ASSERT_EQ(imageSourceOpen(reader, file.get(), false, &registry), RC_OK);
    ImageReader* second = reader->nextFrame();
    ASSERT_NE(second, nullptr);
    for (ImageReader* r : {reader.get(), second}) {
        SCOPED_TRACE(r == second ? "second" : "first");
        EXPECT_EQ(u16ToUtf8(r->info.get(INFO_PATH)), "/pics/anim.tfr");
        EXPECT_EQ(u16ToUtf8(r->info.get(INFO_FILE_SIZE)), "8");
        EXPECT_EQ(u16ToUtf8(r->info.get(INFO_FORMAT)), "Two frame test format");
        EXPECT_EQ(u16ToUtf8(r->info.get(INFO_TITLE)), "anim");
        EXPECT_EQ(u16ToUtf8(r->info.get(INFO_COLOUR_MODEL)), "L");
        EXPECT_EQ(r->descriptor, &d);
    }
    // Each keeps what its own header said.
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_BITS_PER_PIXEL)), "8");
    EXPECT_EQ(u16ToUtf8(second->info.get(INFO_BITS_PER_PIXEL)), "4");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_COMPRESSION)), "Made up");
    EXPECT_EQ(u16ToUtf8(second->info.get(INFO_COMPRESSION)), "None");

    // Decoded: two frames, each with its pixels and the information record.
    Image* img = nullptr;
    ASSERT_EQ(imageCreateForReader(reader.get(), &img, false), RC_OK);
    Ref<Image> head = Ref<Image>::adopt(img);
    ASSERT_EQ(reader->decode(img, true, nullptr, nullptr), RC_OK);
    Image* frame2 = head->next();
    ASSERT_NE(frame2, nullptr);
    EXPECT_EQ(head->row<uint8_t>(1)[2], 50);
    EXPECT_EQ(frame2->width, 1u);
    EXPECT_EQ(frame2->height, 4u);
    EXPECT_EQ(frame2->row<uint8_t>(3)[0], 9 * 17);  // 4-bit grey widened
    EXPECT_EQ(frame2->frameInfo.duration, 70u);
    EXPECT_EQ(u16ToUtf8(frame2->info()->get(INFO_PATH)), "/pics/anim.tfr");
    EXPECT_EQ(u16ToUtf8(frame2->info()->get(INFO_FORMAT)), "Two frame test format");
    // A second header cut off fails the open as damage.
    Ref<MappedFile> cut = Ref<MappedFile>::adopt(memoryStreamCreate(bytes, 6, "/pics/cut.tfr"));
    EXPECT_EQ(imageSourceOpen(reader, cut.get(), false, &registry), RC_CORRUPT_FILE);
}
