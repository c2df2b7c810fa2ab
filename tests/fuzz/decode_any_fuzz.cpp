// Any bytes through the format registry as the batch reads a file: the
// probes of every registered reader choose the format, then the decode
// driver decodes every frame. Each codec joins this target as soon as it is
// in the registration table, before it has a target of its own. The input's
// length chooses a second decode: for display (8-bit forms), or at the
// codec's reduced size (else the full size) into a format that may differ
// from the codec's, through the driver's intermediate image.
#include <cstddef>
#include <cstdint>

#include "app/format_table.h"
#include "core/format.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

namespace {

void decodeInto(ImageReader* reader, Image* image)
{
    if (!image) return;
    reader->decode(image, true, nullptr, nullptr);
    // Releasing the first frame releases the chain behind it.
    objectRelease(image);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine; a low
    // cap also keeps images small enough for thousands of decodes a minute.
    setAllocationCap(uint64_t(16) << 20);
    registerAllFormats();
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "input", false));
    if (!src) return 0;
    Ref<ImageReader> reader;
    if (failed(imageSourceOpen(reader, src.get(), true))) return 0;

    Image* img = nullptr;
    if (succeeded(imageCreateForReader(reader.get(), &img, false))) decodeInto(reader.get(), img);

    img = nullptr;
    if (size & 1) {
        if (succeeded(imageCreateForReader(reader.get(), &img, true))) decodeInto(reader.get(), img);
    } else {
        bool reduced = reader->hasReducedSize();
        uint32_t w = reduced ? reader->reducedWidth : reader->width;
        uint32_t h = reduced ? reader->reducedHeight : reader->height;
        decodeInto(reader.get(), imageCreate(PF_RGBA8, packSize(w, h)));
    }
    return 0;
}
