#include "core/image.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/memory.h"

namespace quillon {

namespace {

std::atomic<int64_t> g_liveImages{0};
std::atomic<DrawHook> g_drawHook{nullptr};

constexpr uint64_t roundUp16(uint64_t v) { return (v + 15) & ~uint64_t(15); }

} // namespace

uint32_t bytesPerPixel(PixelFormat format)
{
    switch (format) {
    case PF_RGBA8: return 4;
    case PF_RGBA16: return 8;
    case PF_RGBA_FLOAT: return 16;
    case PF_GRAY8: return 1;
    case PF_GRAY16: return 2;
    case PF_GRAY_FLOAT: return 4;
    case PF_INDEXED8: return 1;
    default: return 0;
    }
}

void frameInfoCopyData(FrameInfo& d, const FrameInfo& s)
{
    d.canvasWidth = s.canvasWidth;
    d.canvasHeight = s.canvasHeight;
    d.backgroundColour = s.backgroundColour;
    d.loop = s.loop;
    d.x = s.x;
    d.y = s.y;
    d.duration = s.duration;
    d.dispose = s.dispose;
    d.blend = s.blend;
}

void fillGreyRamp(uint32_t palette[256])
{
    for (uint32_t i = 0; i < 256; ++i) palette[i] = 0xFF000000u + i * 0x010101u;
}

void setDrawHook(DrawHook hook) { g_drawHook.store(hook); }

// ---- views ----

bool Gray8View::toIndexed() { return owner_->pixelFormat == PF_GRAY8 && owner_->switchToIndexed(); }
void* Rgba8View::deviceContext() const { return owner_->surface(); }
uint32_t* IndexedView::palette() { return owner_->palette(); }
const uint32_t* IndexedView::palette() const { return static_cast<const Image*>(owner_)->palette(); }
void IndexedView::paletteChanged() { owner_->notifyPaletteChanged(); }
void IndexedView::setPalette(const uint32_t* entries, uint32_t count)
{
    uint32_t* pal = palette();
    if (pal && entries && entries != pal) std::memcpy(pal, entries, std::min<uint32_t>(count, 256) * 4u);
    paletteChanged();
}
bool IndexedView::toGray() { return owner_->pixelFormat == PF_INDEXED8 && owner_->switchToGray(); }

// ---- Image ----

Image::Image() { g_liveImages.fetch_add(1, std::memory_order_relaxed); }

Image::~Image()
{
    g_liveImages.fetch_sub(1, std::memory_order_relaxed);
    // Free the rest of the chain iteratively: a file with 100,000 frames must
    // not need 100,000 stack frames to release.
    Image* n = frameInfo.next;
    frameInfo.next = nullptr;
    while (n) {
        if (n->frameInfo.prev == this) n->frameInfo.prev = nullptr;
        if (!dropReference(n)) break; // someone else still holds the rest
        Image* following = n->frameInfo.next;
        n->frameInfo.next = nullptr;
        if (following && following->frameInfo.prev == n) following->frameInfo.prev = nullptr;
        delete n;
        n = following;
    }
}

int64_t Image::liveCount() { return g_liveImages.load(); }

namespace {

// ---- heap images ----

class ImageBuffer final : public AnyFormatImage {
public:
    ImageBuffer(PixelFormat f) { pixelFormat = f; }
    ~ImageBuffer() override
    {
        alignedFree(allocation_);
        alignedFree(palette_);
    }

    bool allocate(uint32_t w, uint32_t h, uint32_t minRowBytes, uint32_t minRows)
    {
        const uint64_t b = quillon::bytesPerPixel(pixelFormat);
        if (pixelFormat == PF_INDEXED8) {
            palette_ = static_cast<uint32_t*>(alignedAllocZero(1024));
            if (!palette_) return false;
            palette_[253] = 0x00000000;
            palette_[254] = 0xFFFFFFFF;
            palette_[255] = 0xFF000000;
        }
        uint64_t rowBytes = roundUp16(std::max<uint64_t>(b * w + 32, minRowBytes));
        uint64_t rp = rowBytes / b;
        uint64_t rows = std::max<uint64_t>(uint64_t(h) + 1, minRows);
        if (rp > 0xFFFFFFFFu || rows > 0xFFFFFFFFu) return false;
        uint64_t bytes;
        if (!checkedMul(b * rp, rows, &bytes) || !checkedAdd(bytes, 32, &bytes)) return false;
        allocation_ = alignedAlloc(bytes);
        if (!allocation_) return false;
        width = w;
        height = h;
        rowPixels_ = uint32_t(rp);
        rows_ = uint32_t(rows);
        pixels_ = static_cast<uint8_t*>(allocation_) + 16;
        return true;
    }

    ImageInfo* info() override { return &info_; }
    const ImageInfo* info() const override { return &info_; }
    void* pixels() override { return pixels_; }
    const void* pixels() const override { return pixels_; }
    uint32_t rowPixels() const override { return rowPixels_; }
    uint32_t rowsAllocated() const override { return rows_; }

    uint32_t* palette() override { return pixelFormat == PF_INDEXED8 ? palette_ : nullptr; }
    const uint32_t* palette() const override { return pixelFormat == PF_INDEXED8 ? palette_ : nullptr; }

protected:
    bool switchToIndexed() override
    {
        auto* pal = static_cast<uint32_t*>(alignedAlloc(1024));
        if (!pal) return false;
        fillGreyRamp(pal);
        alignedFree(palette_);
        palette_ = pal;
        pixelFormat = PF_INDEXED8;
        return true;
    }
    bool switchToGray() override
    {
        alignedFree(palette_);
        palette_ = nullptr;
        pixelFormat = PF_GRAY8;
        return true;
    }

private:
    ImageInfoOwned info_;
    uint32_t rowPixels_ = 0, rows_ = 0;
    void* allocation_ = nullptr;
    uint8_t* pixels_ = nullptr;
    uint32_t* palette_ = nullptr;
};

// ---- display images ----
// Heap memory laid out like a device-independent bitmap section: one row of
// margin above, 16 bytes on the left and at least one row below, so a
// one-pixel border can be drawn around the picture.

class DibImage final : public Image, public ImageDisplay {
public:
    DibImage(PixelFormat f) : g8_(this), c8_(this), ix_(this) { pixelFormat = f; }
    ~DibImage() override { alignedFree(allocation_); }

    bool allocate(uint32_t w, uint32_t h, uint32_t minRowBytes, uint32_t minRows)
    {
        const uint64_t b = pixelFormat == PF_RGBA8 ? 4 : 1;
        if (pixelFormat == PF_GRAY8) fillGreyRamp(palette_);
        if (pixelFormat == PF_INDEXED8) {
            std::memset(palette_, 0, sizeof palette_);
            palette_[253] = 0x00000000;
            palette_[254] = 0xFFFFFFFF;
            palette_[255] = 0xFF000000;
        }
        uint64_t rowBytes = roundUp16(std::max<uint64_t>(b * w + 32, minRowBytes));
        uint64_t rows = std::max<uint64_t>(h, minRows) + 2;
        if (rowBytes / b > 0xFFFFFFFFu || rows > 0xFFFFFFFFu) return false;
        uint64_t bytes;
        if (!checkedMul(rowBytes, rows, &bytes) || !checkedAdd(bytes, 32, &bytes)) return false;
        allocation_ = alignedAllocZero(bytes);
        if (!allocation_) return false;
        width = w;
        height = h;
        rowPixels_ = uint32_t(rowBytes / b);
        rows_ = uint32_t(rows);
        pixels_ = static_cast<uint8_t*>(allocation_) + rowBytes + 16;
        return true;
    }

    ImageInfo* info() override { return &info_; }
    const ImageInfo* info() const override { return &info_; }
    ImageDisplay* display() override { return this; }
    const ImageDisplay* display() const override { return this; }
    Gray8View* gray8View() override { return pixelFormat == PF_GRAY8 ? &g8_ : nullptr; }
    const Gray8View* gray8View() const override { return pixelFormat == PF_GRAY8 ? &g8_ : nullptr; }
    Rgba8View* rgba8View() override { return pixelFormat == PF_RGBA8 ? &c8_ : nullptr; }
    const Rgba8View* rgba8View() const override { return pixelFormat == PF_RGBA8 ? &c8_ : nullptr; }
    IndexedView* indexedView() override { return pixelFormat == PF_INDEXED8 ? &ix_ : nullptr; }
    const IndexedView* indexedView() const override { return pixelFormat == PF_INDEXED8 ? &ix_ : nullptr; }
    void* pixels() override { return pixels_; }
    const void* pixels() const override { return pixels_; }
    uint32_t rowPixels() const override { return rowPixels_; }
    uint32_t rowsAllocated() const override { return rows_ - 1; }

    uint32_t* palette() override { return pixelFormat == PF_INDEXED8 ? palette_ : nullptr; }
    const uint32_t* palette() const override { return pixelFormat == PF_INDEXED8 ? palette_ : nullptr; }

    bool drawToDc(DrawTarget* target, DrawPoint dest, DrawPoint src, DrawSize size, bool useAlpha,
                  uint8_t constantAlpha) const override
    {
        uint32_t w = size.width == 0xFFFFFFFF ? width : size.width;
        uint32_t h = size.height == 0xFFFFFFFF ? height : size.height;
        if (w == 0 || h == 0) return false;
        bool hasPalette = pixelFormat != PF_RGBA8;
        bool blend = useAlpha && !(alphaKind == ALPHA_NONE && constantAlpha == 255) && !hasPalette;
        if (borderSet_) {
            dest.x -= 1;
            dest.y -= 1;
            src.x -= 1;
            src.y -= 1;
            w += 2;
            h += 2;
        }
        DrawHook hook = g_drawHook.load();
        if (!hook) return false;
        DrawRequest req{target, this, dest, src, w, h, blend, constantAlpha};
        return hook(req);
    }
    // Layered windows do not exist here; nothing in the program draws that way.
    bool drawLayered(DrawTarget*, const DrawPoint*, const DrawSize*, DrawPoint) const override { return false; }
    bool hasBorderColour() const override { return borderSet_; }
    void setBorderColour(uint32_t colour) override
    {
        borderSet_ = true;
        if (colour == borderColour_ && borderFilled_) return;
        borderColour_ = colour;
        borderFilled_ = true;
        fillMargin();
    }
    void clearBorderColour() override { borderSet_ = false; }

protected:
    bool switchToIndexed() override
    {
        fillGreyRamp(palette_);
        pixelFormat = PF_INDEXED8;
        return true;
    }
    bool switchToGray() override
    {
        fillGreyRamp(palette_);
        pixelFormat = PF_GRAY8;
        return true;
    }
    void* surface() const override { return allocation_; }

private:

    uint8_t nearestIndex(uint32_t colour) const
    {
        int best = 0;
        uint32_t bestDist = 0xFFFFFFFF;
        for (int i = 0; i < 256; ++i) {
            uint32_t p = palette_[i], d = 0;
            for (int s = 0; s < 32; s += 8) {
                int x = int((p >> s) & 0xFF) - int((colour >> s) & 0xFF);
                d += uint32_t(x < 0 ? -x : x);
            }
            if (d < bestDist) {
                bestDist = d;
                best = i;
                if (d == 0) break;
            }
        }
        return uint8_t(best);
    }

    void fillMargin()
    {
        const size_t b = pixelFormat == PF_RGBA8 ? 4 : 1;
        uint8_t value[4];
        if (b == 4) std::memcpy(value, &borderColour_, 4);
        else value[0] = nearestIndex(borderColour_);
        auto put = [&](int64_t x, int64_t y) {
            uint8_t* p = pixels_ + (y * int64_t(rowPixels_) + x) * int64_t(b);
            std::memcpy(p, value, b);
        };
        for (int64_t x = -1; x <= int64_t(width); ++x) {
            put(x, -1);
            put(x, height);
        }
        for (int64_t y = 0; y < int64_t(height); ++y) {
            put(-1, y);
            put(width, y);
        }
    }

    Gray8View g8_;
    Rgba8View c8_;
    IndexedView ix_;
    ImageInfoOwned info_;
    uint32_t rowPixels_ = 0, rows_ = 0;
    void* allocation_ = nullptr;
    uint8_t* pixels_ = nullptr;
    uint32_t palette_[256] = {};
    bool borderSet_ = false, borderFilled_ = false;
    uint32_t borderColour_ = 0;
};

class PaletteImage final : public Image {
public:
    PaletteImage(uint32_t* entries, uint32_t count) : view_(this), entries_(entries), count_(count)
    {
        pixelFormat = PF_RGBA8;
        width = count;
        height = 1;
    }
    Rgba8View* rgba8View() override { return &view_; }
    const Rgba8View* rgba8View() const override { return &view_; }
    void* pixels() override { return entries_; }
    const void* pixels() const override { return entries_; }
    uint32_t rowPixels() const override { return count_; }
    uint32_t rowsAllocated() const override { return 1; }

private:
    Rgba8View view_;
    uint32_t* entries_;
    uint32_t count_;
};

} // namespace

Image* imageCreate(PixelFormat format, uint64_t size, bool useDib, uint32_t, uint32_t minRowBytes, uint32_t minRows)
{
    if (format > PF_INDEXED8) return nullptr;
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    if (useDib && format != PF_RGBA8 && format != PF_GRAY8 && format != PF_INDEXED8) return nullptr;
    if (w == 0 || h == 0) return nullptr;
    if (useDib) {
        auto* img = new (std::nothrow) DibImage(format);
        if (!img) return nullptr;
        if (!img->allocate(w, h, minRowBytes, minRows)) {
            objectRelease(img);
            return nullptr;
        }
        return img;
    }
    auto* img = new (std::nothrow) ImageBuffer(format);
    if (!img) return nullptr;
    if (!img->allocate(w, h, minRowBytes, minRows)) {
        objectRelease(img);
        return nullptr;
    }
    return img;
}

void imageClearRows(Image* image, uint32_t first, uint32_t end)
{
    if (!image || first >= end) return;
    end = std::min(end, image->rowsAllocated());
    if (first >= end) return;
    clearAllocated(image->rowBytesPtr(first), uint64_t(end - first) * image->rowBytes());
}

void imageReplaceFrame(Image** slot, Image* newImage)
{
    if (!slot || !newImage) return;
    Image* old = *slot;
    if (old == newImage) return;
    if (old) {
        frameInfoCopyData(newImage->frameInfo, old->frameInfo);
        newImage->frameInfo.prev = old->frameInfo.prev;
        newImage->frameInfo.next = old->frameInfo.next;
        if (newImage->frameInfo.prev) newImage->frameInfo.prev->frameInfo.next = newImage;
        if (newImage->frameInfo.next) newImage->frameInfo.next->frameInfo.prev = newImage;
        old->frameInfo.prev = nullptr;
        old->frameInfo.next = nullptr;
    }
    *slot = newImage;
    objectRelease(old);
}

Image* paletteImageCreate(uint32_t* entries, uint32_t count)
{
    if (!entries || count == 0) return nullptr;
    return new (std::nothrow) PaletteImage(entries, count);
}

} // namespace quillon
