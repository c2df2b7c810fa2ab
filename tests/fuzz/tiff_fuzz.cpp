// The TIFF probe, directory walk and segment decoders on arbitrary bytes,
// through the decode driver, every page at full size.
#include "codecs/main/tiff.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::tiffProbe, quillon::tiffReaderCreate, "fuzz.tif");
}
