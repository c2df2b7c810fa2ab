// Driver for the BMP benchmark: one whole conversion through the registry,
// the decode driver and the write driver, as the batch does it.
//   bench_bmp IN OUT.bmp [SUB-FORMAT]
// SUB-FORMAT: "Normal" (default) or "RLE compressed".
#include <cstdio>
#include <string>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"

using namespace quillon;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_bmp IN OUT.bmp [SUB-FORMAT]\n");
        return 2;
    }
    registerAllFormats();
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, argv[1], true);
    if (failed(rc)) return std::fprintf(stderr, "open: %s\n", u16ToUtf8(errorText(rc)).c_str()), 1;
    Image* raw = nullptr;
    rc = imageCreateForReader(reader.get(), &raw, false);
    Ref<Image> img = Ref<Image>::adopt(raw);
    if (succeeded(rc)) rc = reader->decode(raw, true, nullptr, nullptr);
    if (failed(rc)) return std::fprintf(stderr, "decode: %s\n", u16ToUtf8(errorText(rc)).c_str()), 1;
    int32_t index = formatFindByExtension(std::u16string_view(u"bmp"), true);
    const FormatDescriptor* d = formatRegistry().at(index);
    Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(d->createWriter(argv[2], d));
    std::u16string sub = argc > 3 ? utf8ToU16(argv[3]) : u"Normal";
    rc = writer->write(img.get(), sub.c_str(), CF_AUTO, 0, true, nullptr, nullptr);
    if (failed(rc)) return std::fprintf(stderr, "write: %s\n", u16ToUtf8(errorText(rc)).c_str()), 1;
    return 0;
}
