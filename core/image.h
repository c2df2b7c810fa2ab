#pragma once
// The in-memory raster of the whole system: reference-counted, with a pixel
// format, an alpha kind, an owned information record, frame links and typed
// pixel views. Rows run top-down in 16-byte aligned memory with at least 32
// bytes of slack on the right and one spare row below, so row kernels may
// touch whole 16-byte groups past the last pixel and one row past the last.
#include <cstddef>
#include <cstdint>

#include "core/image_info.h"
#include "core/result.h"
#include "platform/refcount.h"

namespace quillon {

enum PixelFormat : uint8_t {
    PF_RGBA8 = 0,       // 4 x u8, blue, green, red, alpha
    PF_RGBA16 = 1,      // 4 x u16, same order
    PF_RGBA_FLOAT = 2,  // 4 x f32, same order, nominal 0..1
    PF_GRAY8 = 3,
    PF_GRAY16 = 4,
    PF_GRAY_FLOAT = 5,
    PF_INDEXED8 = 6,    // u8 index into 256 entries 0xAARRGGBB
    PF_SAME = 7,        // keep the source's format / not yet known
};

enum AlphaKind : uint8_t { ALPHA_NONE = 0, ALPHA_STRAIGHT = 1, ALPHA_PREMULTIPLIED = 2 };

struct Rgba8 { uint8_t b, g, r, a; };
struct Rgba16 { uint16_t b, g, r, a; };
struct RgbaF { float b, g, r, a; };
static_assert(sizeof(Rgba8) == 4 && sizeof(Rgba16) == 8 && sizeof(RgbaF) == 16);

// Bytes per pixel of a storage format; 0 for PF_SAME and anything invalid.
uint32_t bytesPerPixel(PixelFormat format);

// Width in the low 32 bits, height in the high 32 bits.
constexpr uint64_t packSize(uint32_t width, uint32_t height) { return (uint64_t(height) << 32) | width; }
constexpr uint32_t sizeWidth(uint64_t size) { return uint32_t(size); }
constexpr uint32_t sizeHeight(uint64_t size) { return uint32_t(size >> 32); }

class Image;

// Animation and page data. `next` owns one reference to the next frame;
// `prev` owns none. A duration of 0xFFFFFFFF ends a page.
struct FrameInfo {
    uint32_t canvasWidth = 0, canvasHeight = 0;
    uint32_t backgroundColour = 0;
    uint8_t loop = 0;
    int32_t x = 0, y = 0;
    uint32_t duration = 0;
    uint8_t dispose = 0, blend = 0;
    Image* prev = nullptr;
    Image* next = nullptr;
};
constexpr uint32_t kPageEndDuration = 0xFFFFFFFF;

// Copies every field but the links.
void frameInfoCopyData(FrameInfo& destination, const FrameInfo& source);

// A typed view of an image's pixels; forwards to its image.
template <class T>
class PixelViewT {
public:
    using Pixel = T;
    explicit PixelViewT(Image* owner) : owner_(owner) {}
    uint32_t width() const;
    uint32_t height() const;
    uint64_t size() const { return packSize(width(), height()); }
    T* pixels();
    const T* pixels() const;
    uint32_t rowPixels() const;
    uint32_t rows() const;
    T* row(uint32_t y) { return pixels() + size_t(y) * rowPixels(); }
    const T* row(uint32_t y) const { return pixels() + size_t(y) * rowPixels(); }
    Image* image() const { return owner_; }

protected:
    Image* owner_;
};

using Gray16View = PixelViewT<uint16_t>;
using GrayFloatView = PixelViewT<float>;
using Rgba16View = PixelViewT<Rgba16>;
using RgbaFloatView = PixelViewT<RgbaF>;

class Gray8View : public PixelViewT<uint8_t> {
public:
    using PixelViewT::PixelViewT;
    // Gives the image a grey-ramp palette and makes it PF_INDEXED8; false
    // (nothing changed) when the palette cannot be allocated.
    bool toIndexed();
};

class Rgba8View : public PixelViewT<Rgba8> {
public:
    using PixelViewT::PixelViewT;
    // The drawing surface of a display image; null for heap images.
    void* deviceContext() const;
};

class IndexedView : public PixelViewT<uint8_t> {
public:
    using PixelViewT::PixelViewT;
    uint32_t* palette();
    const uint32_t* palette() const;
    void paletteChanged();
    // Copies count (at most 256) entries, then notifies.
    void setPalette(const uint32_t* entries, uint32_t count);
    // Drops the palette and makes the image PF_GRAY8; pixel bytes untouched.
    bool toGray();
};

// Opaque drawing target of the user interface (a painter there).
struct DrawTarget;

struct DrawPoint { int32_t x = 0, y = 0; };
struct DrawSize { uint32_t width = 0xFFFFFFFF, height = 0xFFFFFFFF; };

class ImageDisplay {
public:
    virtual ~ImageDisplay() = default;
    virtual bool drawToDc(DrawTarget* target, DrawPoint dest, DrawPoint src, DrawSize size, bool useAlpha,
                          uint8_t constantAlpha) const = 0;
    virtual bool drawLayered(DrawTarget* target, const DrawPoint* dest, const DrawSize* size, DrawPoint src) const = 0;
    virtual bool hasBorderColour() const = 0;
    virtual void setBorderColour(uint32_t colour) = 0;
    virtual void clearBorderColour() = 0;
};

// The user interface installs the one routine that really draws. Source
// coordinates are relative to pixel (0, 0) and may be -1 when the margin is
// drawn as a border.
struct DrawRequest {
    DrawTarget* target;
    const Image* image;
    DrawPoint dest;
    DrawPoint src;
    uint32_t width, height;
    bool blend;
    uint8_t constantAlpha;
};
using DrawHook = bool (*)(const DrawRequest& request);
void setDrawHook(DrawHook hook);

class Image : public RefCounted {
public:
    uint32_t width = 0, height = 0;
    PixelFormat pixelFormat = PF_RGBA8;
    AlphaKind alphaKind = ALPHA_NONE;
    FrameInfo frameInfo;

    uint64_t size() const { return packSize(width, height); }

    virtual ImageInfo* info() { return nullptr; }
    virtual const ImageInfo* info() const { return nullptr; }
    virtual ImageDisplay* display() { return nullptr; }
    virtual const ImageDisplay* display() const { return nullptr; }
    virtual Gray8View* gray8View() { return nullptr; }
    virtual const Gray8View* gray8View() const { return nullptr; }
    virtual Gray16View* gray16View() { return nullptr; }
    virtual const Gray16View* gray16View() const { return nullptr; }
    virtual GrayFloatView* grayFloatView() { return nullptr; }
    virtual const GrayFloatView* grayFloatView() const { return nullptr; }
    virtual Rgba8View* rgba8View() { return nullptr; }
    virtual const Rgba8View* rgba8View() const { return nullptr; }
    virtual Rgba16View* rgba16View() { return nullptr; }
    virtual const Rgba16View* rgba16View() const { return nullptr; }
    virtual RgbaFloatView* rgbaFloatView() { return nullptr; }
    virtual const RgbaFloatView* rgbaFloatView() const { return nullptr; }
    virtual IndexedView* indexedView() { return nullptr; }
    virtual const IndexedView* indexedView() const { return nullptr; }
    virtual void* pixels() = 0;
    virtual const void* pixels() const = 0;
    // The stride, counted in pixels.
    virtual uint32_t rowPixels() const = 0;
    // Rows that may be addressed from row 0 (at least height + 1).
    virtual uint32_t rowsAllocated() const = 0;

    // Untyped helpers for code that works on bytes.
    uint32_t bytesPerPixel() const { return quillon::bytesPerPixel(pixelFormat); }
    size_t rowBytes() const { return size_t(rowPixels()) * bytesPerPixel(); }
    uint8_t* rowBytesPtr(uint32_t y) { return static_cast<uint8_t*>(pixels()) + size_t(y) * rowBytes(); }
    const uint8_t* rowBytesPtr(uint32_t y) const
    {
        return static_cast<const uint8_t*>(pixels()) + size_t(y) * rowBytes();
    }
    template <class T> T* row(uint32_t y) { return reinterpret_cast<T*>(rowBytesPtr(y)); }
    template <class T> const T* row(uint32_t y) const { return reinterpret_cast<const T*>(rowBytesPtr(y)); }
    // The palette of a PF_INDEXED8 image, null otherwise.
    virtual uint32_t* palette() { return nullptr; }
    virtual const uint32_t* palette() const { return nullptr; }
    Image* next() const { return frameInfo.next; }

    // Number of images alive in the process (tests use it to find leaks).
    static int64_t liveCount();

protected:
    Image();
    // Releases the rest of the chain front to back, without recursion.
    ~Image() override;

    friend class Gray8View;
    friend class IndexedView;
    friend class Rgba8View;
    virtual bool switchToIndexed() { return false; }
    virtual bool switchToGray() { return false; }
    virtual void notifyPaletteChanged() {}
    virtual void* surface() const { return nullptr; }
};

// An image with the typed view of whichever format it is in at the moment
// (the grey-ramp switch changes it): the base of images whose rows may be of
// any format, owned or borrowed.
class AnyFormatImage : public Image {
public:
    Gray8View* gray8View() override { return pixelFormat == PF_GRAY8 ? &g8_ : nullptr; }
    const Gray8View* gray8View() const override { return pixelFormat == PF_GRAY8 ? &g8_ : nullptr; }
    Gray16View* gray16View() override { return pixelFormat == PF_GRAY16 ? &g16_ : nullptr; }
    const Gray16View* gray16View() const override { return pixelFormat == PF_GRAY16 ? &g16_ : nullptr; }
    GrayFloatView* grayFloatView() override { return pixelFormat == PF_GRAY_FLOAT ? &gf_ : nullptr; }
    const GrayFloatView* grayFloatView() const override { return pixelFormat == PF_GRAY_FLOAT ? &gf_ : nullptr; }
    Rgba8View* rgba8View() override { return pixelFormat == PF_RGBA8 ? &c8_ : nullptr; }
    const Rgba8View* rgba8View() const override { return pixelFormat == PF_RGBA8 ? &c8_ : nullptr; }
    Rgba16View* rgba16View() override { return pixelFormat == PF_RGBA16 ? &c16_ : nullptr; }
    const Rgba16View* rgba16View() const override { return pixelFormat == PF_RGBA16 ? &c16_ : nullptr; }
    RgbaFloatView* rgbaFloatView() override { return pixelFormat == PF_RGBA_FLOAT ? &cf_ : nullptr; }
    const RgbaFloatView* rgbaFloatView() const override { return pixelFormat == PF_RGBA_FLOAT ? &cf_ : nullptr; }
    IndexedView* indexedView() override { return pixelFormat == PF_INDEXED8 ? &ix_ : nullptr; }
    const IndexedView* indexedView() const override { return pixelFormat == PF_INDEXED8 ? &ix_ : nullptr; }

protected:
    AnyFormatImage() : g8_(this), g16_(this), gf_(this), c8_(this), c16_(this), cf_(this), ix_(this) {}

private:
    Gray8View g8_;
    Gray16View g16_;
    GrayFloatView gf_;
    Rgba8View c8_;
    Rgba16View c16_;
    RgbaFloatView cf_;
    IndexedView ix_;
};

// The one factory. size: packSize(width, height). useDib asks for a display
// image (formats 0, 3 and 6 only). minRowBytes/minRows ask for a wider stride
// or more rows. Null on any failure (caller reports RC_OUT_OF_MEMORY).
Image* imageCreate(PixelFormat format, uint64_t size, bool useDib = false, uint32_t reserved = 0,
                   uint32_t minRowBytes = 0, uint32_t minRows = 0);

// slot holds a frame (a chain's head pointer or a previous frame's next);
// newImage takes its place and its FrameInfo, the slot's reference passes to
// newImage, and the old frame is released once.
void imageReplaceFrame(Image** slot, Image* newImage);

// Sets rows [first, end) to zero bytes, padding included. Decoders use it for
// the rows a damaged file never reached: on fresh memory that costs neither
// time nor memory, however large the size the file claimed.
void imageClearRows(Image* image, uint32_t first, uint32_t end);

// Presents count entries 0xAARRGGBB (not owned) as a count x 1 PF_RGBA8 image.
Image* paletteImageCreate(uint32_t* entries, uint32_t count);

// Entries of the grey ramp: i -> 0xFF000000 + i * 0x010101.
void fillGreyRamp(uint32_t palette[256]);

// ---- template members ----
template <class T> uint32_t PixelViewT<T>::width() const { return owner_->width; }
template <class T> uint32_t PixelViewT<T>::height() const { return owner_->height; }
template <class T> T* PixelViewT<T>::pixels() { return static_cast<T*>(owner_->pixels()); }
template <class T> const T* PixelViewT<T>::pixels() const { return static_cast<const T*>(owner_->pixels()); }
template <class T> uint32_t PixelViewT<T>::rowPixels() const { return owner_->rowPixels(); }
template <class T> uint32_t PixelViewT<T>::rows() const { return owner_->rowsAllocated(); }

} // namespace quillon
