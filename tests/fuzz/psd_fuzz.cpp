// The PSD reader on arbitrary bytes.
#include "codecs/more/psd.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::psdProbe, quillon::psdReaderCreate, "fuzz.psd");
}
