#pragma once
// RawImage descriptions: a small text file naming the size, the sample type
// (8-bit, 16-bit or float) and up to four channels, each with its data file,
// the position of its first sample and the distance between samples. Written
// as the description and one interleaved data file or one file per channel.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode rawImageProbe(MappedFile* file);
ImageReader* rawImageReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* rawImageWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// The description's tokens: blanks (space, NUL, tab, CR, LF, ";" and "=")
// separate them, "/* */" and "//" comments are skipped, a token starting
// with one double quote runs to the first word ending with one.
class TokenCursor {
public:
    static constexpr size_t kMaxToken = 510;
    TokenCursor(const char* text, size_t size) : p_(text), end_(text + size) {}
    // The next token (quotes removed); false at the end of the text.
    // `continues` is false when the token ended its statement (";", the
    // end of the text, or a token too long to deliver, which comes back
    // empty).
    bool next(std::string* token, bool* continues);

private:
    void skipBlank();
    bool atTerminator(const char* p) const;
    const char* p_;
    const char* end_;
};

// A number: optional sign, decimal digits, or hexadecimal with a final "h";
// reading stops at the first character that is no digit. False when there
// is no digit or the value leaves the 32-bit signed range.
bool rawImageNumber(std::string_view token, int64_t* out);

struct RawChannel {
    std::filesystem::path file;
    int64_t start = 0;
    int64_t delta = -1;
    uint32_t index = 0;  // 0..3: position in a blue, green, red, alpha pixel
};

struct RawImageDescription {
    uint32_t width = 0, height = 0;
    uint32_t channels = 0;     // records used, at most 4
    uint32_t sampleBytes = 1;  // 1, 2 or 4
    uint32_t rgbKeys = 0, ycbcrKeys = 0;
    std::string name, copyright, comment;  // 8-bit, at most 100 characters
    RawChannel channel[4];
};

// Parses a description whose own path is `path` (relative file names are
// resolved against its folder). False when the text is not a description.
bool rawImageParse(std::string_view text, const std::filesystem::path& path, RawImageDescription* out);

// Sub-formats of the "raw" descriptor.
extern const char16_t* const kRawImageSubFormats[];
extern const ColourFormatFlags kRawImageSubFormatCaps[];

} // namespace quillon
