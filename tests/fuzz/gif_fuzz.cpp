// The GIF probe, header walk and LZW decoder on arbitrary bytes, through the
// decode driver with every frame, at full size.
#include "codecs/more/gif.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::gifProbe, quillon::gifReaderCreate, "fuzz.gif");
}
