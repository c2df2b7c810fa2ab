#pragma once
// XMP packets read into and written from the information fields. The
// reader is a small tag scanner, not an XML parser: it knows the tiff, xap
// (XMP basic), exif and dc schemas and a fixed set of their properties.
//
// Readers (JPEG APP1 after the 29-byte identifier, Photoshop resource 1060,
// PNG "XML:com.adobe.xmp" text, TIFF tag 700, GIF "XMP DataXMP", WebP "XMP "):
//   xmpParse(reader->info, data, size). UTF-8 and UTF-16LE packets are read;
//   plain texts are borrowed from `data` (which must outlive the bag), texts
//   with XML escapes are stored as owned copies.
// Writers (JPEG, TIFF, WebP):
//   XmpBuildState s;            // fill off: counts only
//   size_t n = xmpBuild(s, image->info());
//   if (n) { buffer of n bytes; XmpBuildState f(buffer); xmpBuild(f, info); }
//   xmpBuild returns 0 when the record has nothing to write; callers then
//   store no packet.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/image_info.h"
#include "core/result.h"

namespace quillon {

class OutputFile;

// The first 29 bytes of a JPEG APP1 XMP segment: the namespace and a NUL.
constexpr std::string_view kXmpJpegIdentifier{"http://ns.adobe.com/xap/1.0/\0", 29};

void xmpParse(ImageInfoBag& bag, const uint8_t* data, size_t size);

// The builder's state: with `start` null it only counts.
struct XmpBuildState {
    XmpBuildState() = default;
    explicit XmpBuildState(uint8_t* buffer) : write(buffer), start(buffer), fill(buffer != nullptr) {}
    uint8_t* write = nullptr;  // next byte (fill mode)
    uint8_t* start = nullptr;
    bool fill = false;
    uint32_t indent = 0;       // blanks before each element line
    size_t length = 0;         // bytes counted or written so far
};

// The packet's length in bytes (counted, or written when the state fills).
size_t xmpBuild(XmpBuildState& state, const ImageInfo* info);

// One element line "<prefix:name>text</prefix:name>" at the current
// indentation; the UTF-16 text is written as escaped UTF-8.
void xmpWriteElement(XmpBuildState& state, const char* prefix, const char* name, const char16_t* text);
// A container property: "Alt", "Seq" or "Bag" with one rdf:li per text
// (each with xml:lang="x-default" when withLanguage).
void xmpWriteContainer(XmpBuildState& state, const char* prefix, const char* name, const char* containerKind,
                       const char16_t* const* texts, size_t count, bool withLanguage);

// Builds the packet and writes it to the file (nothing when it is empty).
ResultCode xmpWriteToFile(OutputFile& out, const ImageInfo* info);

// The scanner's number parser: skips characters up to and including blanks
// and control characters, accepts one sign (ignored), reads decimal digits;
// returns `fallback` when no digit follows. Never reads at or past `end`.
int32_t parseDecimalA(const char*& cursor, const char* end, int32_t fallback);
int32_t parseDecimalW(const char16_t*& cursor, const char16_t* end, int32_t fallback);

} // namespace quillon
