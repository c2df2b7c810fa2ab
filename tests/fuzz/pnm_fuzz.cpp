// The PNM and PFM probe, header and pixel reader on arbitrary bytes, through the
// decode driver, at full size.
#include "codecs/more/pnm.h"
#include "single_codec_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return quillon::fuzzOneCodec(data, size, quillon::pnmProbe, quillon::pnmReaderCreate, "fuzz.pnm");
}
