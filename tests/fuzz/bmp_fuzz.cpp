// The BMP probe, header and pixel reader on arbitrary bytes, through the
// decode driver, at full size.
#include <cstddef>
#include <cstdint>

#include "codecs/more/bmp.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    static const FormatDescriptor bmp{u"bmp", u"Windows bitmap format", bmpProbe, bmpReaderCreate};
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "fuzz.bmp", false));
    if (!src || failed(bmpProbe(src.get()))) return 0;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(bmpReaderCreate(src.get(), &bmp));
    if (failed(reader->open(nullptr))) return 0;
    Image* img = nullptr;
    if (failed(imageCreateForReader(reader.get(), &img, false))) return 0;
    reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return 0;
}
