// The ASCII tag table, orientation names, and the text-tag reader and
// collector shared by the TIFF and EXIF codecs.
#include "codecs/main/tiff_tags.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codecs/main/meta_common.h"
#include "core/text.h"

namespace quillon {

const TiffTagField TiffTagFieldTable[] = {
    {269, INFO_TITLE},        {270, INFO_COMMENTS},      {271, INFO_CAMERA_MAKE}, {272, INFO_CAMERA_MODEL},
    {306, INFO_CREATION_DATE}, {315, INFO_AUTHOR},        {33432, INFO_COPYRIGHT}, {0, 0},
};

int tiffTagField(uint16_t tag)
{
    for (const TiffTagField* row = TiffTagFieldTable; row->tag; ++row)
        if (row->tag == tag) return row->field;
    return -1;
}

uint16_t tiffFieldTag(int field)
{
    for (const TiffTagField* row = TiffTagFieldTable; row->tag; ++row)
        if (row->field == field) return row->tag;
    return 0;
}

const char16_t* tiffOrientationName(uint32_t value)
{
    static const char16_t* const names[] = {
        u"Unrotated",   u"Mirrored",    u"Rotated 180",             u"Bottom-Up",
        u"Rotated 90 & Bottom-Up", u"Rotated 270", u"Rotated 270 & Bottom-Up", u"Rotated 90",
    };
    if (value < 1 || value > 8) return nullptr;
    return names[value - 1];
}

void imageInfoSetFromTiffTag(ImageInfoBag& bag, uint16_t tag, const char* text, uint32_t length, size_t available)
{
    int field = tiffTagField(tag);
    if (field < 0 || bag.has(field) || !text) return;
    // The count includes the NUL; a lying count or a missing NUL must not
    // take the text past the input.
    size_t limit = length ? std::min<size_t>(length, available) : available;
    limit = std::min(limit, kTextSourceLimit);
    size_t n = strnlen(text, limit);
    while (n > 0 && text[n - 1] == ' ') --n;
    if (n == 0) return;
    infoSetBorrowed(bag, field, text, uint32_t(n), meta::eightBitKind(text, n));
}

std::string tiffDensityText(double xResolution, double yResolution, uint32_t unit)
{
    if (unit != 2 && unit != 3) return {};
    const double scale = unit == 3 ? 100 : 1;
    const double x = std::floor(xResolution * scale + 0.5);
    double y = std::floor(yResolution * scale + 0.5);
    if (!(x >= 1 && x <= UINT32_MAX)) return {};
    if (!(y >= 1 && y <= UINT32_MAX)) y = x;
    return std::to_string(uint32_t(x)) + " x " + std::to_string(uint32_t(y)) + (unit == 2 ? " ppi" : " ppm");
}

std::vector<TiffTextTag> tiffBuildTextTags(const ImageInfo* info)
{
    std::vector<TiffTextTag> out;
    if (!info) return out;
    for (int field = 0; field < INFO_FIELD_COUNT && out.size() < kTiffTextTagMax; ++field) {
        uint16_t tag = tiffFieldTag(field);
        if (!tag || !info->has(field)) continue;
        std::string text = field == INFO_CREATION_DATE ? meta::tiffDateText(info->get(field))
                                                       : u16ToUtf8(info->get(field));
        if (text.empty()) continue;
        TiffTextTag entry;
        entry.tag = tag;
        if (field == INFO_CREATION_DATE) {
            // DateTime is exactly "YYYY:MM:DD HH:MM:SS" and its NUL.
            text.resize(19, ' ');
        }
        // The count is the text and one NUL, never more: libtiff warns on
        // every read of a value with NULs inside it. A text of up to three
        // bytes thus fits inside its entry, where TIFF keeps such values.
        text.push_back('\0');
        entry.count = uint32_t(text.size());
        if (text.size() & 1) text.push_back('\0');
        entry.data = std::move(text);
        out.push_back(std::move(entry));
    }
    std::stable_sort(out.begin(), out.end(), [](const TiffTextTag& a, const TiffTextTag& b) { return a.tag < b.tag; });
    return out;
}

} // namespace quillon
