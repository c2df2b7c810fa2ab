#pragma once
// One codec's probe, header and pixel reader on arbitrary bytes, through the
// decode driver, at full size; the descriptor is the format table's row of
// that probe.
#include <cstddef>
#include <cstdint>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "platform/memory.h"

namespace quillon {

inline int fuzzOneCodec(const uint8_t* data, size_t size, ProbeFn probe, ReaderFactoryFn create, const char* name)
{
    // Lying sizes must fail as out of memory, not exhaust the machine.
    setAllocationCap(uint64_t(64) << 20);
    const FormatDescriptor* descriptor = nullptr;
    for (int i = 0; const FormatDescriptor* d = formatTableRow(i); ++i)
        if (d->probe == probe && !descriptor) descriptor = d;
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(data, size, name, false));
    if (!src || failed(probe(src.get()))) return 0;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(create(src.get(), descriptor));
    if (failed(reader->open(nullptr))) return 0;
    Image* img = nullptr;
    if (failed(imageCreateForReader(reader.get(), &img, false))) return 0;
    reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return 0;
}

} // namespace quillon
