// The IFF probe, chunk walk, ByteRun1 bodies and plane decoders on arbitrary
// bytes, through the decode driver, at full size.
#include "codecs/more/iff.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::iffProbe, quillon::iffReaderCreate, "fuzz.iff");
}
