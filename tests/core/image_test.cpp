#include "core/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/memory.h"

using namespace quillon;

namespace {

struct Layout {
    PixelFormat format;
    uint32_t bytes;
};
const Layout kFormats[] = {{PF_RGBA8, 4}, {PF_RGBA16, 8}, {PF_RGBA_FLOAT, 16}, {PF_GRAY8, 1},
                           {PF_GRAY16, 2}, {PF_GRAY_FLOAT, 4}, {PF_INDEXED8, 1}};

int viewCount(Image* img)
{
    return (img->gray8View() != nullptr) + (img->gray16View() != nullptr) + (img->grayFloatView() != nullptr) +
           (img->rgba8View() != nullptr) + (img->rgba16View() != nullptr) + (img->rgbaFloatView() != nullptr) +
           (img->indexedView() != nullptr);
}

} // namespace

TEST(ImageCreate, RefusesBadRequests)
{
    EXPECT_EQ(imageCreate(PF_SAME, packSize(1, 1)), nullptr);
    EXPECT_EQ(imageCreate(PixelFormat(9), packSize(1, 1)), nullptr);
    for (PixelFormat f : {PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY16, PF_GRAY_FLOAT})
        EXPECT_EQ(imageCreate(f, packSize(1, 1), true), nullptr);
    EXPECT_EQ(imageCreate(PF_RGBA8, packSize(0, 5)), nullptr);
    EXPECT_EQ(imageCreate(PF_RGBA8, packSize(5, 0)), nullptr);
}

TEST(ImageCreate, AbsurdSizesFailCleanly)
{
    int64_t before = Image::liveCount();
    EXPECT_EQ(imageCreate(PF_RGBA_FLOAT, packSize(0x80000000u, 0x80000000u)), nullptr);
    EXPECT_EQ(imageCreate(PF_RGBA_FLOAT, packSize(0xFFFFFFFFu, 0xFFFFFFFFu)), nullptr);
    EXPECT_EQ(imageCreate(PF_GRAY8, packSize(0xFFFFFFFFu, 1)), nullptr);
    EXPECT_EQ(imageCreate(PF_GRAY8, packSize(1, 0xFFFFFFFFu)), nullptr);
    EXPECT_EQ(imageCreate(PF_RGBA8, packSize(0xFFFFFFF0u, 4), true), nullptr);
    // Larger than the allocation cap: refused instead of overcommitted.
    setAllocationCap(uint64_t(64) << 20);
    EXPECT_EQ(imageCreate(PF_RGBA8, packSize(65536, 65536)), nullptr);
    Image* small = imageCreate(PF_RGBA8, packSize(64, 64));
    EXPECT_NE(small, nullptr);
    setAllocationCap(0);
    EXPECT_EQ(Image::liveCount(), before + 1);
    objectRelease(small);
    EXPECT_EQ(Image::liveCount(), before);
}

TEST(ImageLayout, StrideRowsAndSlackForEveryFormat)
{
    for (const Layout& l : kFormats) {
        for (uint32_t w : {1u, 3u, 17u, 1000u}) {
            Image* img = imageCreate(l.format, packSize(w, 5));
            ASSERT_NE(img, nullptr);
            EXPECT_EQ(img->pixelFormat, l.format);
            EXPECT_EQ(img->bytesPerPixel(), l.bytes);
            EXPECT_EQ(viewCount(img), 1);
            size_t rowBytes = size_t(img->rowPixels()) * l.bytes;
            EXPECT_EQ(rowBytes % 16, 0u);
            EXPECT_GE(rowBytes, size_t(w) * l.bytes + 32);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(img->pixels()) % 16, 0u);
            EXPECT_GE(img->rowsAllocated(), 6u);
            // Kernels may write 32 bytes past every row and use the spare row;
            // AddressSanitizer reports any of this outside the allocation.
            for (uint32_t y = 0; y < img->rowsAllocated(); ++y)
                std::memset(img->rowBytesPtr(y), 0xAB, size_t(w) * l.bytes + 32);
            // 16 bytes before pixel (0, 0) are addressable too.
            std::memset(static_cast<uint8_t*>(img->pixels()) - 16, 0, 16);
            objectRelease(img);
        }
    }
}

TEST(ImageLayout, ExactStrides)
{
    Image* g = imageCreate(PF_GRAY8, packSize(1, 1));
    EXPECT_EQ(g->rowPixels(), 48u);
    EXPECT_EQ(g->rowsAllocated(), 2u);
    Image* c = imageCreate(PF_RGBA8, packSize(1, 1));
    EXPECT_EQ(c->rowPixels(), 12u);
    Image* wide = imageCreate(PF_RGBA8, packSize(1, 1), false, 0, 1000, 0);
    EXPECT_EQ(wide->rowPixels(), 252u);
    Image* tall = imageCreate(PF_GRAY16, packSize(1, 1), false, 0, 0, 40);
    EXPECT_EQ(tall->rowsAllocated(), 40u);
    for (Image* i : {g, c, wide, tall}) objectRelease(i);
}

TEST(ImageLayout, DisplayImagesKeepAOnePixelMargin)
{
    for (PixelFormat f : {PF_RGBA8, PF_GRAY8, PF_INDEXED8}) {
        Image* img = imageCreate(f, packSize(7, 3), true);
        ASSERT_NE(img, nullptr);
        ASSERT_NE(img->display(), nullptr);
        EXPECT_EQ(viewCount(img), 1);
        uint32_t b = img->bytesPerPixel();
        EXPECT_EQ(reinterpret_cast<uintptr_t>(img->pixels()) % 16, 0u);
        EXPECT_GE(img->rowsAllocated(), 4u);
        // The row above and 16 bytes to the left belong to the image.
        std::memset(static_cast<uint8_t*>(img->pixels()) - img->rowBytes() - 16, 1, img->rowBytes());
        for (uint32_t y = 0; y < img->rowsAllocated(); ++y) std::memset(img->rowBytesPtr(y), 2, 7 * b + 16);
        img->display()->setBorderColour(0xFF112233);
        EXPECT_TRUE(img->display()->hasBorderColour());
        if (f == PF_RGBA8) {
            const uint32_t* above = reinterpret_cast<const uint32_t*>(img->rowBytesPtr(0) - img->rowBytes());
            EXPECT_EQ(above[-1], 0xFF112233u);
            EXPECT_EQ(above[7], 0xFF112233u);
            EXPECT_EQ(img->row<uint32_t>(1)[-1], 0xFF112233u);
            EXPECT_EQ(img->row<uint32_t>(3)[7], 0xFF112233u);
            EXPECT_EQ(img->row<uint32_t>(1)[0], 0x02020202u);
        }
        img->display()->clearBorderColour();
        EXPECT_FALSE(img->display()->hasBorderColour());
        objectRelease(img);
    }
    Image* heap = imageCreate(PF_RGBA8, packSize(2, 2));
    EXPECT_EQ(heap->display(), nullptr);
    objectRelease(heap);
}

TEST(ImagePalette, NewIndexedAndSwitching)
{
    for (bool dib : {false, true}) {
        Image* img = imageCreate(PF_INDEXED8, packSize(4, 2), dib);
        ASSERT_NE(img, nullptr);
        uint32_t* pal = img->indexedView()->palette();
        ASSERT_NE(pal, nullptr);
        EXPECT_EQ(pal[253], 0x00000000u);
        EXPECT_EQ(pal[254], 0xFFFFFFFFu);
        EXPECT_EQ(pal[255], 0xFF000000u);
        for (uint32_t y = 0; y < 2; ++y)
            for (uint32_t x = 0; x < 4; ++x) img->row<uint8_t>(y)[x] = uint8_t(x * 40 + y);
        uint32_t custom[3] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000};
        img->indexedView()->setPalette(custom, 3);
        EXPECT_EQ(img->palette()[1], 0xFF00FF00u);
        img->indexedView()->setPalette(img->palette(), 256); // self copy is a no-op

        ASSERT_TRUE(img->indexedView()->toGray());
        EXPECT_EQ(img->pixelFormat, PF_GRAY8);
        EXPECT_EQ(img->indexedView(), nullptr);
        EXPECT_EQ(img->palette(), nullptr);
        ASSERT_NE(img->gray8View(), nullptr);
        ASSERT_TRUE(img->gray8View()->toIndexed());
        EXPECT_EQ(img->pixelFormat, PF_INDEXED8);
        for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(img->palette()[i], 0xFF000000u + i * 0x010101u);
        for (uint32_t y = 0; y < 2; ++y)
            for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(img->row<uint8_t>(y)[x], uint8_t(x * 40 + y));
        objectRelease(img);
    }
}

TEST(ImagePalette, PaletteImagePresentsEntries)
{
    uint32_t entries[5] = {0xFF010203, 0x80FFFFFF, 0, 1, 2};
    Image* p = paletteImageCreate(entries, 5);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->width, 5u);
    EXPECT_EQ(p->height, 1u);
    ASSERT_NE(p->rgba8View(), nullptr);
    const Rgba8& px = p->rgba8View()->row(0)[0];
    EXPECT_EQ(px.r, 1);
    EXPECT_EQ(px.g, 2);
    EXPECT_EQ(px.b, 3);
    EXPECT_EQ(px.a, 255);
    EXPECT_EQ(p->info(), nullptr);
    objectRelease(p);
}

TEST(FrameChain, ReplaceMiddleFrameAndReleaseChain)
{
    int64_t before = Image::liveCount();
    Image* head = imageCreate(PF_GRAY8, packSize(1, 1));
    Image* mid = imageCreate(PF_GRAY8, packSize(1, 1));
    Image* tail = imageCreate(PF_GRAY8, packSize(1, 1));
    head->frameInfo.next = mid;
    mid->frameInfo.prev = head;
    mid->frameInfo.next = tail;
    tail->frameInfo.prev = mid;
    mid->frameInfo.duration = 123;
    mid->frameInfo.x = -4;
    EXPECT_EQ(Image::liveCount(), before + 3);

    Image* replacement = imageCreate(PF_RGBA8, packSize(2, 2));
    imageReplaceFrame(&head->frameInfo.next, replacement);
    EXPECT_EQ(Image::liveCount(), before + 3); // the old middle frame is gone
    EXPECT_EQ(head->frameInfo.next, replacement);
    EXPECT_EQ(replacement->frameInfo.prev, head);
    EXPECT_EQ(replacement->frameInfo.next, tail);
    EXPECT_EQ(tail->frameInfo.prev, replacement);
    EXPECT_EQ(replacement->frameInfo.duration, 123u);
    EXPECT_EQ(replacement->frameInfo.x, -4);

    // Replace the head through a local slot.
    Image* newHead = imageCreate(PF_GRAY16, packSize(1, 1));
    Image* slot = head;
    imageReplaceFrame(&slot, newHead);
    EXPECT_EQ(slot, newHead);
    EXPECT_EQ(replacement->frameInfo.prev, newHead);
    EXPECT_EQ(Image::liveCount(), before + 3);

    objectRelease(slot);
    EXPECT_EQ(Image::liveCount(), before);
}

TEST(FrameChain, SharedTailSurvivesHeadRelease)
{
    int64_t before = Image::liveCount();
    Image* head = imageCreate(PF_GRAY8, packSize(1, 1));
    Image* tail = imageCreate(PF_GRAY8, packSize(1, 1));
    head->frameInfo.next = tail;
    tail->frameInfo.prev = head;
    tail->addRef(); // someone else holds the second frame
    objectRelease(head);
    EXPECT_EQ(Image::liveCount(), before + 1);
    EXPECT_EQ(tail->frameInfo.prev, nullptr);
    objectRelease(tail);
    EXPECT_EQ(Image::liveCount(), before);
}

TEST(FrameChain, HundredThousandFramesReleaseWithoutRecursion)
{
    int64_t before = Image::liveCount();
    Image* head = imageCreate(PF_GRAY8, packSize(1, 1));
    Image* last = head;
    for (int i = 0; i < 100000; ++i) {
        Image* f = imageCreate(PF_GRAY8, packSize(1, 1));
        ASSERT_NE(f, nullptr);
        last->frameInfo.next = f;
        f->frameInfo.prev = last;
        last = f;
    }
    EXPECT_EQ(Image::liveCount(), before + 100001);
    objectRelease(head);
    EXPECT_EQ(Image::liveCount(), before);
}

TEST(Display, DrawGoesThroughTheHookWithMarginAndBorder)
{
    static DrawRequest seen;
    static int calls = 0;
    setDrawHook([](const DrawRequest& r) {
        seen = r;
        ++calls;
        return true;
    });
    Image* img = imageCreate(PF_RGBA8, packSize(10, 8), true);
    img->alphaKind = ALPHA_STRAIGHT;
    ImageDisplay* d = img->display();
    EXPECT_TRUE(d->drawToDc(nullptr, {5, 6}, {1, 2}, {}, true, 255));
    EXPECT_EQ(seen.width, 10u);
    EXPECT_EQ(seen.height, 8u);
    EXPECT_TRUE(seen.blend);
    EXPECT_EQ(seen.src.x, 1);
    d->setBorderColour(0xFFFFFFFF);
    EXPECT_TRUE(d->drawToDc(nullptr, {5, 6}, {0, 0}, {3, 3}, false, 255));
    EXPECT_EQ(seen.width, 5u);
    EXPECT_EQ(seen.dest.x, 4);
    EXPECT_EQ(seen.src.y, -1);
    EXPECT_FALSE(seen.blend);
    EXPECT_FALSE(d->drawToDc(nullptr, {0, 0}, {0, 0}, {0, 3}, false, 255));
    img->alphaKind = ALPHA_NONE;
    d->clearBorderColour();
    EXPECT_TRUE(d->drawToDc(nullptr, {0, 0}, {0, 0}, {}, true, 255));
    EXPECT_FALSE(seen.blend); // opaque image at full opacity: a plain copy
    EXPECT_TRUE(d->drawToDc(nullptr, {0, 0}, {0, 0}, {}, true, 128));
    EXPECT_TRUE(seen.blend);
    Image* pal = imageCreate(PF_INDEXED8, packSize(2, 2), true);
    pal->alphaKind = ALPHA_STRAIGHT;
    EXPECT_TRUE(pal->display()->drawToDc(nullptr, {0, 0}, {0, 0}, {}, true, 100));
    EXPECT_FALSE(seen.blend); // palette images never blend
    EXPECT_EQ(calls, 5);
    setDrawHook(nullptr);
    objectRelease(img);
    objectRelease(pal);
}
