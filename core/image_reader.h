#pragma once
// The base of every codec's reader. A codec supplies readHeader (size, pixel
// format, colour model, frames, information fields) and readPixels (the
// pixels into an image it is handed); the base supplies open, which fills the
// generic information fields around readHeader, and decode, which picks the
// decoding size and target, converts the file's colour model to RGB or grey,
// copies the information record and decodes every further frame or page into
// the image's frame chain.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/format.h"
#include "core/image.h"
#include "core/image_info.h"
#include "core/result.h"
#include "platform/mapped_file.h"
#include "platform/refcount.h"

namespace quillon {

// The colour model of a file's data; decoding keeps L and K as grey and
// converts the others to RGB.
enum ColourModel : uint8_t {
    CM_RGB = 0,
    CM_L = 1,
    CM_K = 2,
    CM_YCBCR = 3,
    CM_CMYK = 4,
    CM_CMYL = 5,
    CM_YCCK = 6,
    CM_XYZ = 7,
    CM_LAB = 8,
    CM_UNKNOWN = 9,
};
// "RGB", "L", ... "?".
const char16_t* colourModelName(uint8_t model);

// The abort byte of a long operation: set by whoever wants it to stop, polled
// by the worker.
using AbortFlag = std::atomic<uint8_t>;
inline bool aborted(const AbortFlag* abort) { return abort && abort->load(std::memory_order_relaxed) != 0; }

// Receives (done, total) from readers and the decode driver.
class Progress : public RefCounted {
public:
    virtual void report(uint32_t done, uint32_t total) = 0;
};
inline void reportProgress(Progress* progress, uint32_t done, uint32_t total)
{
    if (progress) progress->report(done, total);
}

class ImageReader : public RefCounted {
public:
    ImageReader(MappedFile* input, const FormatDescriptor* descriptor);

    const std::filesystem::path& fileName() const { return input->name(); }
    uint64_t fileSize() const { return input->size(); }
    // The input's bytes (never null once opened).
    const uint8_t* fileData() const { return input->data(); }

    // True when both reduced dimensions are set and each is smaller than
    // the full one.
    bool hasReducedSize() const;

    // Fills the generic fields and reads the header. Options are the
    // codec's own (usually null).
    ResultCode open(const void* options);

    // Decodes into `image` (normally made by imageCreateForReader). The
    // image may differ from the decoding size and format; it is then filled
    // through an intermediate image. With allFrames the further frames or
    // pages are decoded into images chained behind it. RC_CORRUPT_FILE when
    // pixel data ended early: the image (and the frames before, and the cut
    // frame itself, linked behind it) are then complete in every other way -
    // converted, with their information - and can be shown, but the input
    // is damaged and must not count as read. On other failures the image
    // may hold partial pixels; it is never released here.
    ResultCode decode(Image* image, bool allFrames, Progress* progress, AbortFlag* abort);

    ImageReader* nextFrame() const { return nextReader; }

    // ---- state the codec fills in readHeader ----
    ImageInfoBag info;
    // What the codec put right in a damaged file it still reads (stray
    // bytes stepped over, say), one line each, for whoever keeps a record
    // of the read.
    std::vector<std::string> notes;
    const FormatDescriptor* descriptor;
    MappedFile* input;  // one reference held
    uint32_t width = 0, height = 0;
    uint32_t bitsPerPixel = 0;  // of the file's data
    // A smaller size the codec can decode directly (0 when none).
    uint32_t reducedWidth = 0, reducedHeight = 0;
    // What readPixels needs of the target's stride (bytes) and rows.
    uint32_t minRowBytes = 0, minRows = 0;
    PixelFormat pixelFormat = PF_SAME;
    ColourModel colourModel = CM_UNKNOWN;
    AlphaKind alphaKind = ALPHA_NONE;
    // The reader of the next frame or page, owned (one reference). A
    // multi-frame codec builds the chain in readHeader, with a loop (never a
    // recursion) and at most kMaxFrames readers (a hostile file may declare
    // millions of frames), each made by its factory
    // on the same input and with its own fields set as readHeader sets
    // them; open() then gives every reader of the chain the generic
    // information fields. A later frame whose size or pixel format is unset
    // makes decode report RC_CORRUPT_FILE after the frames before it.
    ImageReader* nextReader = nullptr;
    static constexpr uint32_t kMaxFrames = 65536;
    FrameInfo frameInfo;

protected:
    // Releases the input and the rest of the reader chain (without
    // recursion, so chains of any length are safe).
    ~ImageReader() override;

    // Sets the fields above from the file; never allocates the image. A
    // zero size or an unset pixelFormat is reported by open() as
    // RC_CORRUPT_FILE. open() names colourModel in INFO_COLOUR_MODEL unless
    // the codec named the file's model there itself.
    virtual ResultCode readHeader(const void* options) = 0;
    // Fills `image`, which has `pixelFormat`, the full or (with `reduced`)
    // the reduced size, and at least minRowBytes / minRows. Polls `abort`
    // per row or block and reports progress; leaves reporting RC_CANCELLED
    // to the driver. When the data ends early (or is damaged past some
    // point), decodes what is there, fills every row it did not decode
    // (zeros, or white for bilevel where the format says so) - the image is
    // not cleared beforehand - and returns RC_CORRUPT_FILE: the driver
    // finishes that partial image and reports the damage.
    virtual ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) = 0;

private:
    ResultCode decodeOne(Image* image, Progress* progress, AbortFlag* abort);
};

// Brings the components of a colour model other than RGB, L and K, stored
// as a reader stores them, to RGB in place, as decode does: the 256 entries
// of an indexed image's palette, or every pixel of a PF_RGBA8 image (XYZ
// also in PF_RGBA_FLOAT, CMYK also in PF_RGBA16). Every pixel ends opaque.
// RC_UNSUPPORTED_COLOUR_FORMAT for any other image. For a reader that keeps
// a transparency the model leaves no room for, and so converts its colours
// itself before laying the alpha in.
ResultCode convertColourModel(Image* target, ColourModel model);

// Makes the image `reader` decodes into: its size and pixel format (with
// forDisplay, 16-bit and float formats become their 8-bit forms and the
// image is a display image). RC_CORRUPT_FILE for an empty size or an unset
// pixel format, RC_OUT_OF_MEMORY when it cannot be made.
ResultCode imageCreateForReader(const ImageReader* reader, Image** out, bool forDisplay);

// True when an image of the reader's size, pixel format and minimums is
// larger than any one allocation may be, so that imageCreateForReader
// cannot make it. A header that claims more pixel data than its file holds
// for such a picture is a lie about its size (RC_CORRUPT_FILE), not a
// picture too large for memory; a shorter claim is a cut file, decoded as
// far as it goes.
bool imageBeyondAllocationCap(const ImageReader* reader);
// Whether a header that claims `rows` uncompressed rows of `rowBytes` each,
// over the `have` bytes of pixel data its file holds, lies about its size
// (RC_CORRUPT_FILE) rather than describing a cut file, which keeps the rows
// it holds. Rows the data cannot hold are a cut file's only while the data
// has a byte for each row, since more rows than bytes could not fit however
// narrow and their picture would take memory out of all proportion to the
// file, and only while the picture can be made: not `unmakeable` (too large
// for the image model) nor beyond the allocation cap. The caller has already
// refused data that cannot fill the first row.
bool uncompressedRowsLie(const ImageReader* reader, uint64_t rowBytes, uint64_t rows, uint64_t have,
                         bool unmakeable = false);

// The base name used as a title: the text after the last "/" of the name,
// without its last extension.
std::u16string titleFromFileName(const std::filesystem::path& name);

} // namespace quillon
