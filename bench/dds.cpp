// Driver for the DDS benchmark: one whole conversion through the registry,
// the decode driver and the write driver, as the batch does it.
//   bench_dds IN OUT.dds [SUB-FORMAT]
// SUB-FORMAT: one of the writer's names, "DXT5 (mip-mapped)" by default.
#include <cstdio>
#include <string>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"

using namespace quillon;

namespace {

int fail(const char* step, ResultCode rc)
{
    std::fprintf(stderr, "%s: %s\n", step, u16ToUtf8(errorText(rc)).c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_dds IN OUT.dds [SUB-FORMAT]\n");
        return 2;
    }
    registerAllFormats();
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, argv[1], true);
    if (failed(rc)) return fail("open", rc);
    Image* raw = nullptr;
    rc = imageCreateForReader(reader.get(), &raw, false);
    Ref<Image> img = Ref<Image>::adopt(raw);
    if (succeeded(rc)) rc = reader->decode(raw, true, nullptr, nullptr);
    if (failed(rc)) return fail("decode", rc);
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"dds"), true));
    Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(d->createWriter(argv[2], d));
    const std::u16string sub = argc > 3 ? utf8ToU16(argv[3]) : u"DXT5 (mip-mapped)";
    rc = writer->write(img.get(), sub.c_str(), CF_AUTO, 0, false, nullptr, nullptr);
    // Closing writes the last buffered bytes: part of the conversion.
    if (succeeded(rc)) rc = writer->output.close();
    return failed(rc) ? fail("write", rc) : 0;
}
