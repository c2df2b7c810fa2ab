// Driver for the TIFF benchmarks: whole decodes and conversions through the
// registry and the drivers, as the batch does them.
//   bench_tiff decode IN [REPEAT]       decode every page
//   bench_tiff convert IN OUT.tiff SUB  decode, then write with sub-format SUB
//   bench_tiff strip IN.tiff OUT        copy the first strip's bytes (a JPEG
//                                       strip becomes a file of its own)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"

using namespace quillon;

namespace {

int fail(const char* what, ResultCode rc)
{
    std::fprintf(stderr, "%s: %s\n", what, u16ToUtf8(errorText(rc)).c_str());
    return 1;
}

ResultCode decode(const char* path, Ref<Image>& img)
{
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, path, true);
    if (failed(rc)) return rc;
    Image* raw = nullptr;
    rc = imageCreateForReader(reader.get(), &raw, false);
    img = Ref<Image>::adopt(raw);
    return succeeded(rc) ? reader->decode(raw, true, nullptr, nullptr) : rc;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return at + 4 <= b.size() ? uint32_t(b[at]) | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24 : 0;
}

// The first strip of a little-endian file whose strip tags hold one LONG.
int copyStrip(const char* in, const char* out)
{
    FILE* f = std::fopen(in, "rb");
    if (!f) return 1;
    std::vector<uint8_t> b;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    if (b.size() < 8 || b[0] != 'I') return 1;
    uint32_t ifd = le32(b, 4), offset = 0, count = 0;
    uint32_t entries = ifd + 2 <= b.size() ? b[ifd] | b[ifd + 1] << 8 : 0;
    for (uint32_t i = 0; i < entries; ++i) {
        size_t e = ifd + 2 + 12 * size_t(i);
        uint32_t tag = e + 2 <= b.size() ? b[e] | b[e + 1] << 8 : 0;
        if (tag == 273) offset = le32(b, e + 8);
        if (tag == 279) count = le32(b, e + 8);
    }
    if (!count || uint64_t(offset) + count > b.size()) return 1;
    FILE* o = std::fopen(out, "wb");
    if (!o) return 1;
    bool ok = std::fwrite(b.data() + offset, 1, count, o) == count;
    return std::fclose(o) == 0 && ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    registerAllFormats();
    if (argc >= 3 && std::strcmp(argv[1], "decode") == 0) {
        int repeat = argc > 3 ? std::atoi(argv[3]) : 1;
        for (int i = 0; i < repeat; ++i) {
            Ref<Image> img;
            ResultCode rc = decode(argv[2], img);
            if (failed(rc)) return fail("decode", rc);
        }
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "convert") == 0) {
        Ref<Image> img;
        ResultCode rc = decode(argv[2], img);
        if (failed(rc)) return fail("decode", rc);
        int32_t index = formatFindByExtension(std::u16string_view(u"tiff"), true);
        const FormatDescriptor* d = formatRegistry().at(index);
        Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(d->createWriter(argv[3], d));
        std::u16string sub = utf8ToU16(argv[4]);
        rc = writer->write(img.get(), sub.c_str(), CF_AUTO, 90, true, nullptr, nullptr);
        return failed(rc) ? fail("write", rc) : 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "strip") == 0) return copyStrip(argv[2], argv[3]);
    std::fprintf(stderr, "usage: see the comment at the top of bench/tiff.cpp\n");
    return 2;
}
