#pragma once
// Same-format copies used by the processing operations.
#include "core/result.h"

namespace quillon {

class Image;

// Same size and format required (RC_INVALID_PARAMETER); copies the pixels,
// the palette, the information record and the alpha kind.
ResultCode copySameFormat(Image* dst, const Image* src);

} // namespace quillon
