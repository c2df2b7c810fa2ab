// Driver for the PNG benchmark, through the registry and the decode and
// write drivers as the batch uses them.
//   bench_png encode IN OUT.png [SUB-FORMAT]   any input, written as 24-bit PNG
//   bench_png decode IN.png [COUNT]            decoded COUNT times (default 1)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"

using namespace quillon;

namespace {

Ref<Image> decode(const char* path)
{
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, path, true);
    if (failed(rc)) return std::fprintf(stderr, "open: %s\n", u16ToUtf8(errorText(rc)).c_str()), Ref<Image>();
    Image* raw = nullptr;
    rc = imageCreateForReader(reader.get(), &raw, false);
    Ref<Image> img = Ref<Image>::adopt(raw);
    if (succeeded(rc)) rc = reader->decode(raw, true, nullptr, nullptr);
    if (failed(rc)) return std::fprintf(stderr, "decode: %s\n", u16ToUtf8(errorText(rc)).c_str()), Ref<Image>();
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (argc < 3 || (mode != "encode" && mode != "decode") || (mode == "encode" && argc < 4)) {
        std::fprintf(stderr, "usage: bench_png encode IN OUT.png [SUB-FORMAT] | decode IN.png [COUNT]\n");
        return 2;
    }
    registerAllFormats();
    if (mode == "decode") {
        int count = argc > 3 ? std::atoi(argv[3]) : 1;
        for (int i = 0; i < count; ++i)
            if (!decode(argv[2])) return 1;
        return 0;
    }
    Ref<Image> img = decode(argv[2]);
    if (!img) return 1;
    int32_t index = formatFindByExtension(std::u16string_view(u"png"), true);
    const FormatDescriptor* d = formatRegistry().at(index);
    Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(d->createWriter(argv[3], d));
    std::u16string sub = argc > 4 ? utf8ToU16(argv[4]) : u"Normal";
    ResultCode rc = writer->write(img.get(), sub.c_str(), CF_RGB24, 0, false, nullptr, nullptr);
    if (succeeded(rc)) rc = writer->output.close();
    if (failed(rc)) return std::fprintf(stderr, "write: %s\n", u16ToUtf8(errorText(rc)).c_str()), 1;
    return 0;
}
