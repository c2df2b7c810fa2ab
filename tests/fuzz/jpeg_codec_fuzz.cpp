// The JPEG probe, header walk and pixel reader on arbitrary bytes, through
// the decode driver, at full and at one-eighth size.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    static const FormatDescriptor* jpg = [] {
        for (int i = 0; i < kFormatTableRows; ++i)
            if (std::u16string_view(formatTableRow(i)->extension) == u"jpg") return formatTableRow(i);
        return static_cast<FormatDescriptor*>(nullptr);
    }();
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "fuzz.jpg", false));
    if (!src || failed(jpg->probe(src.get()))) return 0;
    for (bool reduced : {false, true}) {
        Ref<ImageReader> reader = Ref<ImageReader>::adopt(jpg->createReader(src.get(), jpg));
        if (failed(reader->open(nullptr))) return 0;
        Image* img = nullptr;
        if (reduced && reader->hasReducedSize()) {
            img = imageCreate(reader->pixelFormat, packSize(reader->reducedWidth, reader->reducedHeight));
            if (!img) continue;
        } else if (failed(imageCreateForReader(reader.get(), &img, false))) {
            return 0;
        }
        reader->decode(img, true, nullptr, nullptr);
        objectRelease(img);
    }
    return 0;
}
