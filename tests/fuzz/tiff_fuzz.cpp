// The TIFF probe, directory walk and segment decoders on arbitrary bytes,
// through the decode driver, every page at full size.
#include <cstddef>
#include <cstdint>

#include "app/format_table.h"
#include "codecs/main/tiff.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    const FormatDescriptor* tiff = nullptr;
    for (int i = 0; i < kFormatTableRows && !tiff; ++i)
        if (formatTableRow(i)->createReader == tiffReaderCreate) tiff = formatTableRow(i);
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "fuzz.tif", false));
    if (!tiff || !src || failed(tiffProbe(src.get()))) return 0;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(tiffReaderCreate(src.get(), tiff));
    if (failed(reader->open(nullptr))) return 0;
    Image* img = nullptr;
    if (failed(imageCreateForReader(reader.get(), &img, false))) return 0;
    reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return 0;
}
