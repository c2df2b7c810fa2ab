// The PNM/PFM probe, header and pixel reader on arbitrary bytes, through the
// decode driver.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/format_table.h"
#include "codecs/more/pnm.h"
#include "core/image_reader.h"
#include "platform/memory.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    static const FormatDescriptor* pnm = [] {
        for (int i = 0; i < kFormatTableRows; ++i)
            if (std::u16string_view(formatTableRow(i)->extension) == u"pnm") return formatTableRow(i);
        return static_cast<FormatDescriptor*>(nullptr);
    }();
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, "fuzz.pnm", false));
    if (!pnm || !src || failed(pnmProbe(src.get()))) return 0;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(pnmReaderCreate(src.get(), pnm));
    if (!reader || failed(reader->open(nullptr))) return 0;
    Image* img = nullptr;
    if (failed(imageCreateForReader(reader.get(), &img, false))) return 0;
    reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return 0;
}
