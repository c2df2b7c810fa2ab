#pragma once
// The base of every codec's writer. A codec supplies encode, which stores an
// image already in a suitable pixel format; the base's write chooses the
// sub-format, the output colour format among those the sub-format and the
// caller allow, and the conversion (palette reduction, grey, 16-bit, float,
// 15/16-bit dithering, removal of transparency) the image needs first.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <new>
#include <string_view>

#include "core/format.h"
#include "core/image.h"
#include "core/result.h"
#include "platform/output_file.h"
#include "platform/refcount.h"

namespace quillon {

class ImageWriter : public RefCounted {
public:
    explicit ImageWriter(const FormatDescriptor* descriptor) : descriptor(descriptor) {}

    // Creates the output file (factories call this); the result is kept and
    // returned by write when the file could not be created.
    ResultCode createOutput(const std::filesystem::path& path);

    const char16_t* const* subFormatNames() const { return descriptor ? descriptor->subFormatNames : nullptr; }
    const ColourFormatFlags* subFormatCaps() const { return descriptor ? descriptor->subFormatCaps : nullptr; }

    // subFormatName: null or empty for the first sub-format, else an exact
    // name. colourMask: the acceptable ColourFormatFlags (CF_AUTO for all).
    // parameter: the sub-format's number. allFrames: the whole chain is
    // written. bitsOut receives the chosen colour format's bits per pixel.
    // The caller's image is never changed in a way that loses data (the
    // grey-ramp switch and palette compaction are lossless; transparency is
    // removed on a copy).
    ResultCode write(Image* image, const char16_t* subFormatName, ColourFormatFlags colourMask, int32_t parameter,
                     bool allFrames, void* extra, uint32_t* bitsOut);

    const FormatDescriptor* descriptor;
    // Owned until the writer is destroyed, which closes it.
    OutputFile output;
    // Set by a caller that may cancel the write (the batch's Cancel, from
    // another thread): an encoder that takes long polls it and, once it is
    // set, ends with RC_CANCELLED.
    const std::atomic<uint8_t>* abort = nullptr;

    // A caller that writes the output under a temporary name and then
    // renames it sets `finalPath` to the name it will have: whatever the
    // output's contents derive from its name (a description's data files)
    // follow that one, never the temporary.
    std::filesystem::path finalPath;
    const std::filesystem::path& targetPath() const { return finalPath.empty() ? output.path() : finalPath; }
    // For an output of several files, set by a caller that puts them in
    // place itself: names the temporary a further file of final name
    // `target` is written to. The caller renames them together with the
    // output, or removes them when the output fails. Unset, the writer puts
    // its further files in place itself once all of them are complete.
    std::function<std::filesystem::path(const std::filesystem::path& target)> companionTemporary;

protected:
    ~ImageWriter() override = default;

    // image: the image to store, in the format write prepared (with alpha
    // flattened when colourFlag cannot carry it); subFormatName: one of the
    // descriptor's names, never null (compare it with your own name array,
    // not a retyped literal); colourFlag: the one chosen ColourFormatFlags
    // bit; bitsPerPixel: the image's own depth; parameter: the sub-format's
    // number (quality, size...); allFrames: write the whole chain behind
    // `image` (multi-frame formats) - when false `image` is a single frame
    // whose next() is null; extra: the caller's. The image may be the
    // caller's own or the cache's: never modify it (undo premultiplied
    // alpha on a row copy, see unpremultiplyRow8). Must check every write,
    // seek and flush of the output (RC_WRITE_FAILED).
    virtual ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                              int32_t parameter, bool allFrames, void* extra) = 0;

    // An automatic choice for a whole chain: `flag` is the colour format
    // chosen from `caps` for the first frame. A format whose frames share
    // one colour format and palette returns the one of `caps` that every
    // frame fits; the default keeps `flag`.
    virtual uint32_t colourFlagForFrames(Image* image, uint32_t flag, uint32_t caps);

private:
    ResultCode createResult_ = RC_OK;
    bool created_ = false;
};

// The factory of a codec's writer: a writer that cannot be allocated is
// null; one whose output cannot be created keeps that result for write().
template <class Writer>
ImageWriter* writerCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    auto* w = new (std::nothrow) Writer(descriptor);
    if (w) w->createOutput(path);
    return w;
}

// Marks the palette indices the image (and with allFrames its further
// frames) use and, unless noCompact, renumbers them to the smallest range.
// Returns the highest index in use afterwards, 255 when a frame is not
// indexed.
uint8_t imageScanPaletteUse(Image* image, bool noCompact, bool allFrames);

} // namespace quillon
