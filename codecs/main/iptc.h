#pragma once
// Photoshop image resources ("8BIM" records, as in JPEG APP13 "Photoshop
// 3.0" segments and PSD files) and IPTC-NAA application records (also TIFF
// tag 33723). Readers store borrowed text: `data` must outlive the bag.
// Nothing is reported; a walk stops quietly at the end of its data or at
// the first record that does not fit.
#include <cstddef>
#include <cstdint>

#include "core/image_info.h"

namespace quillon {

constexpr uint16_t PS_RESOURCE_RESOLUTION = 1005;
constexpr uint16_t PS_RESOURCE_IPTC = 1028;
constexpr uint16_t PS_RESOURCE_EXIF = 1058;
constexpr uint16_t PS_RESOURCE_XMP = 1060;

struct IptcDatasetField {
    uint8_t dataset;
    uint8_t field;
};
// 5 Object Name -> title, 25 Keywords -> 17..25, 55 Date Created, 80 By-line
// -> author, 115 Source, 116 Copyright Notice, 120 Caption/Abstract ->
// comments; ended by a row with dataset 0.
extern const IptcDatasetField IptcDatasetFieldTable[];

// Walks the resources of a block (the APP13 data after "Photoshop 3.0\0",
// or a PSD image-resources section without its length) and hands the last
// EXIF, IPTC and XMP resources to exifParse, iptcParse and xmpParse, in
// that order, so EXIF texts win over IPTC ones.
void psResourcesParse(ImageInfoBag& bag, const uint8_t* data, size_t size);
// The data of the last "8BIM" resource with `id` in a block, walked as
// psResourcesParse walks it; false when there is none.
bool psResourceFind(const uint8_t* data, size_t size, uint16_t id, const uint8_t*& found, size_t& foundSize);

// Reads record-2 datasets into empty fields, decoded by the character set
// the envelope declares (1:90), else as UTF-8 when they are well-formed
// UTF-8, else as Windows-1252. The keywords fill 17..25 in order, blank and
// repeated ones dropped, only when no keyword field was set before the
// block: a list is taken whole from one source. Date Created, with Time
// Created when the block has one, becomes "CCYY:MM:DD HH:MM:SS+HH:MM" as far
// as they give it, the form the writers take.
void iptcParse(ImageInfoBag& bag, const uint8_t* data, size_t size);

// The size of the IPTC block iptcWrite makes from the record (0 = none):
// one dataset per set field that has one (fields 17..25 as keywords).
uint32_t iptcMeasure(const ImageInfo* info);
// Writes exactly iptcMeasure(info) bytes of datasets (0x1C, 2, dataset,
// big-endian length, the text as UTF-8 cut on a character boundary to the
// IPTC-IIM limit of the dataset), led by the coded character set (1:90)
// saying UTF-8 when a text goes beyond ASCII; returns that count. The PSD
// writer wraps them in its resource 1028.
uint32_t iptcWrite(uint8_t* out, const ImageInfo* info);

} // namespace quillon
