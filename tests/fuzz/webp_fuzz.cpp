// The WebP probe, chunk walk and libwebp decoding on arbitrary bytes, through
// the decode driver with every frame, at full size.
#include "codecs/more/webp.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::webpProbe, quillon::webpReaderCreate, "fuzz.webp");
}
