// The PNG probe, chunk walk and pixel decoding on arbitrary bytes, through
// the decode driver with every APNG frame, at full size.
#include "codecs/main/png.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::pngProbe, quillon::pngReaderCreate, "fuzz.png");
}
