// The RawImage description reader on arbitrary text (data files are looked
// up beside "fuzz.raw" in the working folder).
#include "codecs/more/rawimage.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::rawImageProbe, quillon::rawImageReaderCreate, "fuzz.raw");
}
