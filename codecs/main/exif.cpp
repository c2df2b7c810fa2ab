// EXIF blocks read into and written from the information fields.
#include "codecs/main/exif.h"

#include "codecs/main/tiff_tags.h"

namespace quillon {

const ExifTagField ExifTagFieldTable[] = {
    {33434, TIFF_TYPE_RATIONAL, INFO_EXPOSURE_TIME},  {33437, TIFF_TYPE_RATIONAL, INFO_FNUMBER},
    {34855, TIFF_TYPE_SHORT, INFO_ISO_SPEED},         {37377, TIFF_TYPE_SRATIONAL, INFO_SHUTTER_SPEED},
    {37378, TIFF_TYPE_RATIONAL, INFO_APERTURE},       {37386, TIFF_TYPE_RATIONAL, INFO_FOCAL_LENGTH},
    {37380, TIFF_TYPE_SRATIONAL, INFO_EXPOSURE_BIAS}, {37385, TIFF_TYPE_SHORT, INFO_FLASH},
    {41986, TIFF_TYPE_SHORT, INFO_EXPOSURE_MODE},     {41987, TIFF_TYPE_SHORT, INFO_WHITE_BALANCE},
    {0, 0, 0},
};

void exifParse(ImageInfoBag&, const uint8_t*, size_t) {}
void exifParseExifIfd(ImageInfoBag&, const uint8_t*, size_t, uint32_t, bool) {}
void exifParseGpsIfd(ImageInfoBag&, const uint8_t*, size_t, uint32_t, bool) {}
uint32_t exifBlockSize(const ImageInfo*) { return 0; }
uint32_t exifBlockWrite(uint8_t*, const ImageInfo*) { return 0; }
uint32_t exifExifIfdSize(const ImageInfo*) { return 0; }
uint32_t exifWriteExifIfd(uint8_t*, uint32_t, const ImageInfo*) { return 0; }
uint32_t exifGpsIfdSize(const ImageInfo*) { return 0; }
uint32_t exifWriteGpsIfd(uint8_t*, uint32_t, const ImageInfo*) { return 0; }

} // namespace quillon
