// Alpha planes taken from a second file: the mask reader is a scripted
// reader, the cache a fetch hook that hands out one shared decoded mask.
#include <gtest/gtest.h>

#include <cstring>

#include "core/convert.h"
#include "core/image_reader.h"
#include "core/resize.h"
#include "platform/mapped_file.h"

using namespace quillon;

namespace {

// A grey mask whose level is (x * 7 + y * 3) & 255.
class MaskReader final : public ImageReader {
public:
    MaskReader(MappedFile* f, uint32_t w, uint32_t h, PixelFormat pf) : ImageReader(f, nullptr)
    {
        width = w;
        height = h;
        pixelFormat = pf;
        colourModel = pf == PF_RGBA8 ? CM_RGB : CM_L;
        bitsPerPixel = pf == PF_RGBA8 ? 32 : 8;
    }
    ResultCode result = RC_OK;
    int decodes = 0;

protected:
    ResultCode readHeader(const void*) override { return RC_OK; }
    ResultCode readPixels(Image* image, bool, Progress*, AbortFlag*) override
    {
        ++decodes;
        for (uint32_t y = 0; y < image->height; ++y)
            for (uint32_t x = 0; x < image->width; ++x) {
                uint8_t v = uint8_t(x * 7 + y * 3);
                if (image->pixelFormat == PF_RGBA8) image->row<Rgba8>(y)[x] = {v, v, v, 255};
                else image->row<uint8_t>(y)[x] = v;
            }
        return result;
    }
};

struct Fixture {
    Ref<MappedFile> file = Ref<MappedFile>::adopt(memoryStreamCreate("mask", 4, "/masks/plane.fake"));
    Ref<MaskReader> reader(uint32_t w, uint32_t h, PixelFormat pf = PF_GRAY8)
    {
        return Ref<MaskReader>::adopt(new MaskReader(file.get(), w, h, pf));
    }
};

Ref<Image> solid(PixelFormat f, uint32_t w, uint32_t h)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(f, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y) std::memset(img->rowBytesPtr(y), 0x40, img->rowBytes());
    return img;
}

// The stand-in cache: always answers with the same decoded image.
Image* g_cached = nullptr;
int g_fetches = 0;
ResultCode fakeCacheFetch(ImageCache*, Image** out, ImageReader*)
{
    ++g_fetches;
    g_cached->addRef();
    *out = g_cached;
    return RC_OK;
}

} // namespace

TEST(AlphaMask, SameSizeGreyMaskBecomesTheAlpha)
{
    Fixture fx;
    for (PixelFormat f : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT}) {
        Ref<Image> img = solid(f, 20, 10);
        Image* slot = img.get();
        auto r = fx.reader(20, 10);
        ASSERT_EQ(imageApplyAlphaMask(&slot, r.get(), nullptr), RC_OK);
        EXPECT_EQ(slot, img.get());
        EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
        Ref<Image> c = Ref<Image>::adopt(imageConvertNew(img.get(), false, false, PF_RGBA8));
        EXPECT_EQ(c->row<Rgba8>(4)[9].a, uint8_t(9 * 7 + 4 * 3));
        if (f != PF_RGBA_FLOAT) {
            EXPECT_EQ(c->row<Rgba8>(4)[9].r, 0x40); // colour untouched
        }
    }
}

TEST(AlphaMask, IndexedImageIsReplacedInItsSlot)
{
    Fixture fx;
    Image* head = imageCreate(PF_INDEXED8, packSize(6, 4));
    Image* second = imageCreate(PF_RGBA8, packSize(6, 4));
    for (int i = 0; i < 256; ++i) head->palette()[i] = 0xFF000000u | uint32_t(i);
    for (uint32_t y = 0; y < 4; ++y) std::memset(head->row<uint8_t>(y), 9, 6);
    head->frameInfo.duration = 40;
    head->frameInfo.next = second;
    second->frameInfo.prev = head;
    Image* slot = head;
    auto r = fx.reader(6, 4);
    ASSERT_EQ(imageApplyAlphaMask(&slot, r.get(), nullptr), RC_OK);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->pixelFormat, PF_RGBA8);
    EXPECT_EQ(slot->frameInfo.duration, 40u);
    EXPECT_EQ(slot->next(), second);
    EXPECT_EQ(second->frameInfo.prev, slot);
    EXPECT_EQ(slot->row<Rgba8>(2)[3].b, 9);
    EXPECT_EQ(slot->row<Rgba8>(2)[3].a, uint8_t(3 * 7 + 2 * 3));
    objectRelease(slot);
}

TEST(AlphaMask, MaskOfAnotherSizeIsFittedWhetherCachedOrNot)
{
    Fixture fx;
    // What fitting the mask must give: the mask resampled to the image size.
    auto probe = fx.reader(13, 7);
    Image* decoded = nullptr;
    ASSERT_EQ(imageCreateForReader(probe.get(), &decoded, false), RC_OK);
    ASSERT_EQ(probe->decode(decoded, false, nullptr, nullptr), RC_OK);
    Ref<Image> maskImage = Ref<Image>::adopt(decoded);
    Ref<Image> expected = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(26, 21)));
    ASSERT_EQ(imageResample(expected.get(), maskImage.get(), RF_PREVIEW, nullptr), RC_OK);

    // Decoded on the spot.
    Ref<Image> a = solid(PF_RGBA8, 26, 21);
    Image* slotA = a.get();
    auto r = fx.reader(13, 7);
    ASSERT_EQ(imageApplyAlphaMask(&slotA, r.get(), nullptr), RC_OK);

    // From the cache, which hands out its mask at the mask's own size.
    g_cached = maskImage.get();
    g_fetches = 0;
    setAlphaMaskFetch(fakeCacheFetch);
    Ref<Image> b = solid(PF_RGBA8, 26, 21);
    Image* slotB = b.get();
    auto r2 = fx.reader(13, 7);
    ResultCode rc = imageApplyAlphaMask(&slotB, r2.get(), reinterpret_cast<ImageCache*>(&g_fetches));
    setAlphaMaskFetch(nullptr);
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(g_fetches, 1);
    EXPECT_EQ(r2->decodes, 0);
    for (uint32_t y = 0; y < 21; ++y)
        for (uint32_t x = 0; x < 26; ++x) {
            ASSERT_EQ(a->row<Rgba8>(y)[x].a, expected->row<uint8_t>(y)[x]) << x << "," << y;
            ASSERT_EQ(b->row<Rgba8>(y)[x].a, expected->row<uint8_t>(y)[x]) << x << "," << y;
        }
    // The cached mask itself is left as it was.
    EXPECT_EQ(maskImage->width, 13u);
    EXPECT_EQ(maskImage->row<uint8_t>(2)[5], uint8_t(5 * 7 + 2 * 3));
    EXPECT_EQ(maskImage->refCount(), 1u);
}

TEST(AlphaMask, ColourMaskIsReducedToGrey)
{
    Fixture fx;
    Ref<Image> img = solid(PF_RGBA16, 8, 8);
    Image* slot = img.get();
    auto r = fx.reader(8, 8, PF_RGBA8);
    ASSERT_EQ(imageApplyAlphaMask(&slot, r.get(), nullptr), RC_OK);
    EXPECT_EQ(img->row<Rgba16>(3)[2].a, uint16_t((2 * 7 + 3 * 3) * 257));
}

TEST(AlphaMask, FailuresLeaveTheImageAlone)
{
    Fixture fx;
    auto r = fx.reader(4, 4);
    Ref<Image> img = solid(PF_RGBA8, 4, 4);
    Image* slot = img.get();
    EXPECT_EQ(imageApplyAlphaMask(&slot, nullptr, nullptr), RC_INVALID_PARAMETER);
    r->result = RC_CORRUPT_FILE;
    EXPECT_EQ(imageApplyAlphaMask(&slot, r.get(), nullptr), RC_CORRUPT_FILE);
    EXPECT_EQ(img->alphaKind, ALPHA_NONE);
    EXPECT_EQ(img->row<Rgba8>(1)[1].a, 0x40);
}

// A grey picture with a mask becomes colour with alpha at its own depth: the
// grey level lands in all three channels and the mask in alpha.
TEST(AlphaMask, GreyImagesGainColourAndAlpha)
{
    Fixture fx;
    struct Case { PixelFormat in, out; };
    for (Case c : {Case{PF_GRAY8, PF_RGBA8}, Case{PF_GRAY16, PF_RGBA16}, Case{PF_GRAY_FLOAT, PF_RGBA_FLOAT}}) {
        Image* grey = imageCreate(c.in, packSize(6, 5));
        ASSERT_TRUE(grey);
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < 6; ++x) {
                const uint8_t v = uint8_t(40 * y + x);
                if (c.in == PF_GRAY8) grey->row<uint8_t>(y)[x] = v;
                else if (c.in == PF_GRAY16) grey->row<uint16_t>(y)[x] = uint16_t(v * 257);
                else grey->row<float>(y)[x] = v / 255.0f;
            }
        Image* slot = grey;
        auto r = fx.reader(6, 5);
        ASSERT_EQ(imageApplyAlphaMask(&slot, r.get(), nullptr), RC_OK) << int(c.in);
        ASSERT_EQ(slot->pixelFormat, c.out);
        EXPECT_EQ(slot->alphaKind, ALPHA_STRAIGHT);
        Ref<Image> as8 = Ref<Image>::adopt(imageConvertNew(slot, false, false, PF_RGBA8));
        ASSERT_TRUE(as8);
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < 6; ++x) {
                const Rgba8 p = as8->row<Rgba8>(y)[x];
                const uint8_t v = uint8_t(40 * y + x);
                EXPECT_EQ(p.r, v);
                EXPECT_EQ(p.g, v);
                EXPECT_EQ(p.b, v);
                EXPECT_EQ(p.a, uint8_t(x * 7 + y * 3)) << x << "," << y;
            }
        objectRelease(slot);
    }
}
