// The DDS probe, header, bit-mask pixels and DXT blocks on arbitrary bytes,
// through the decode driver, at full size.
#include "codecs/more/dds.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::ddsProbe, quillon::ddsReaderCreate, "fuzz.dds");
}
