// The GIF probe, header walk and LZW decoder on arbitrary bytes, through the
// decode driver with every frame, at full size.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/format_table.h"
#include "codecs/more/gif.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

namespace {

const FormatDescriptor* gifRow()
{
    for (int i = 0; i < kFormatTableRows; ++i)
        if (std::u16string_view(formatTableRow(i)->extension) == u"gif") return formatTableRow(i);
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    static const FormatDescriptor* gif = gifRow();
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "fuzz.gif", false));
    if (!src || failed(gifProbe(src.get()))) return 0;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(gifReaderCreate(src.get(), gif));
    if (failed(reader->open(nullptr))) return 0;
    Image* img = nullptr;
    if (failed(imageCreateForReader(reader.get(), &img, false))) return 0;
    reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return 0;
}
