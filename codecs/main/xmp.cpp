// XMP packets read into and written from the information fields.
#include "codecs/main/xmp.h"

#include "platform/output_file.h"

namespace quillon {

void xmpParse(ImageInfoBag&, const uint8_t*, size_t) {}
size_t xmpBuild(XmpBuildState&, const ImageInfo*) { return 0; }
void xmpWriteElement(XmpBuildState&, const char*, const char*, const char16_t*) {}
void xmpWriteContainer(XmpBuildState&, const char*, const char*, const char*, const char16_t* const*, size_t, bool) {}
ResultCode xmpWriteToFile(OutputFile&, const ImageInfo*) { return RC_OK; }
int32_t parseDecimalA(const char*&, const char*, int32_t fallback) { return fallback; }
int32_t parseDecimalW(const char16_t*&, const char16_t*, int32_t fallback) { return fallback; }

} // namespace quillon
