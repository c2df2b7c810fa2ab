// Stand-in until arithmetic-coded scans are decoded: such frames are refused.
#include "codecs/main/jpeg_decoder.h"

namespace quillon {

ResultCode jpegArithStartScan(JpegDecoder&) { return RC_UNSUPPORTED_SUBFORMAT; }

} // namespace quillon
