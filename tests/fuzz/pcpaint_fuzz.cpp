// The PC Paint probe, header, palettes and reversed run-length blocks on
// arbitrary bytes, through the decode driver, at full size.
#include "codecs/more/pcpaint.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::pcPaintProbe, quillon::pcPaintReaderCreate, "fuzz.pic");
}
