// Photoshop image resources and IPTC-NAA records.
#include "codecs/main/iptc.h"

namespace quillon {

const IptcDatasetField IptcDatasetFieldTable[] = {
    {5, INFO_TITLE},   {25, INFO_KEYWORD_FIRST}, {55, INFO_CREATION_DATE}, {80, INFO_AUTHOR},
    {115, INFO_SOURCE}, {116, INFO_COPYRIGHT},    {120, INFO_COMMENTS},     {0, 0},
};

void psResourcesParse(ImageInfoBag&, const uint8_t*, size_t) {}
void iptcParse(ImageInfoBag&, const uint8_t*, size_t) {}
uint32_t iptcMeasure(const ImageInfo*) { return 0; }
uint32_t iptcWrite(uint8_t*, const ImageInfo*) { return 0; }

} // namespace quillon
