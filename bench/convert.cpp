// Driver for the row-conversion benchmark: one photograph is prepared once,
// then one conversion runs REPEATS times; the script derives the speed of a
// pass from whole runs with 0 and with REPEATS passes.
//   bench_convert MODE IN.ppm REPEATS
// MODE: rgba16 (RGBA16 to RGBA8), rgba16-dither, gray16 (GRAY16 to GRAY8),
// gray16-dither, cmyk (8-bit CMYK to RGB through the decode driver).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/convert.h"
#include "core/image_reader.h"
#include "platform/mapped_file.h"

#include "ppm_io.h"

using namespace quillon;
using bench::readPpm;

namespace {

int fail(const char* what)
{
    std::fprintf(stderr, "bench_convert: %s\n", what);
    return 1;
}

// Hands the decode driver 8-bit CMYK pixels that are already in place, so a
// decode is the colour-model conversion and nothing else.
class CmykReader final : public ImageReader {
public:
    CmykReader(MappedFile* f, uint32_t w, uint32_t h) : ImageReader(f, nullptr)
    {
        width = w;
        height = h;
        pixelFormat = PF_RGBA8;
        colourModel = CM_CMYK;
        bitsPerPixel = 32;
    }

protected:
    ResultCode readHeader(const void*) override { return RC_OK; }
    ResultCode readPixels(Image*, bool, Progress*, AbortFlag*) override { return RC_OK; }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) return fail("usage: MODE IN.ppm REPEATS");
    const std::string mode = argv[1];
    const int repeats = std::atoi(argv[3]);
    Ref<Image> photo = Ref<Image>::adopt(readPpm(argv[2]));
    if (!photo) return fail("cannot read the input PPM");
    // A varied fourth channel, so the CMYK mode sees real black values.
    for (uint32_t y = 0; y < photo->height; ++y)
        for (Rgba8* p = photo->row<Rgba8>(y), *end = p + photo->width; p < end; ++p) p->a = uint8_t(p->r ^ 0x5A);
    unsigned checksum = 0;
    if (mode == "cmyk") {
        Ref<MappedFile> file = Ref<MappedFile>::adopt(memoryStreamCreate("cmyk", 4, "bench.cmyk"));
        Ref<CmykReader> reader = Ref<CmykReader>::adopt(new CmykReader(file.get(), photo->width, photo->height));
        for (int i = 0; i < repeats; ++i) {
            if (failed(reader->decode(photo.get(), false, nullptr, nullptr))) return fail("decode failed");
            checksum += photo->row<uint8_t>(uint32_t(i) % photo->height)[0];
        }
    } else {
        const bool grey = mode.rfind("gray16", 0) == 0;
        const bool dither = mode.find("dither") != std::string::npos;
        if (!grey && mode.rfind("rgba16", 0) != 0) return fail("unknown mode");
        Ref<Image> wide = Ref<Image>::adopt(imageConvertNew(photo.get(), false, false, grey ? PF_GRAY16 : PF_RGBA16));
        Ref<Image> narrow = Ref<Image>::adopt(imageCreate(grey ? PF_GRAY8 : PF_RGBA8, photo->size()));
        if (!wide || !narrow) return fail("out of memory");
        for (int i = 0; i < repeats; ++i) {
            ResultCode rc = grey ? imageConvertToGray8(narrow.get(), wide.get(), dither, false)
                                 : imageConvertToRgba8(narrow.get(), wide.get(), dither);
            if (failed(rc)) return fail("conversion failed");
            checksum += narrow->row<uint8_t>(uint32_t(i) % narrow->height)[0];
        }
    }
    std::printf("%u\n", checksum);
    return 0;
}
