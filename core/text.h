#pragma once
// Conversions between the program's UTF-16 text and the 8-bit encodings met
// in files, the settings store, the log and the HTML index. Every converter
// writes a terminating NUL whenever it writes anything and never writes past
// the destination size it is given (in units of the destination).
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

// Upper bound on how much of an unbounded source any converter reads.
constexpr size_t kTextSourceLimit = 1048576;

// Windows-1252 to UTF-16. srcLen < 0: up to the NUL. Returns 1 when the
// source ended, 0 when the destination filled first (dstSize >= 1).
int latin1ToWide(char16_t* dst, const char* src, size_t dstSize, ptrdiff_t srcLen = -1);
// As latin1ToWide for NUL-terminated text; 0 for a null destination or size 0.
int ansiToWide(char16_t* dst, const char* src, size_t dstSize);
// UTF-8 to UTF-16. Ill-formed sequences and code points above U+10FFFF become
// U+FFFD; a sequence cut by the source bound ends the conversion.
int utf8ToWideN(char16_t* dst, const char* src, size_t dstSize, ptrdiff_t srcLen = -1);
// Whether 8-bit text is well-formed UTF-8 holding at least one character
// beyond ASCII: such bytes are almost never meant as Windows-1252, while
// plain ASCII reads the same either way.
bool isMultibyteUtf8(const char* text, size_t length);
// Into a 260-unit destination; 0 when more than 259 units were needed.
constexpr size_t kPathUnits = 260;
int utf8ToWide(char16_t* dst, const char* src);
// UTF-16 to UTF-8; a character is written only when all its bytes fit. A
// lone surrogate, which UTF-8 cannot carry, is written as U+FFFD.
int wideToUtf8(char* dst, const char16_t* src, size_t dstSize);
// srcLen 0: up to the NUL. 0 for a null destination or size 0.
int utf16ToUtf8(char* dst, const char16_t* src, size_t dstSize, size_t srcLen = 0);
// Latin-1 kept, other Latin letters reduced to their base letter, the rest "?".
int wideToAnsiApprox(char* dst, const char16_t* src, size_t dstSize);

// Skips blanks, takes one sign, reads decimal digits (wrapping modulo 2^32)
// and leaves the cursor after them; no digit gives 0.
int32_t parseUInt(const char16_t*& cursor);
int32_t parseUInt(const char*& cursor);
uint32_t countDigits(const char16_t* text);
uint32_t countDigits(const char* text);

// Convenience forms for code that holds whole strings.
std::u16string utf8ToU16(std::string_view utf8);
std::string u16ToUtf8(std::u16string_view text);
std::u16string latin1ToU16(std::string_view bytes);
std::string u16ToApprox(std::u16string_view text);
std::u16string asciiToU16(std::string_view ascii);

// Paths are bytes on this platform and need not be UTF-8: names from old
// archives and other systems hold Latin-1 or code-page bytes. The program
// carries them as UTF-16 without losing a byte: each byte that is not part
// of a well-formed UTF-8 sequence becomes the lone low surrogate
// U+DC80..U+DCFF, which no well-formed text holds, and turns back into that
// byte on the way to the file system. Shown or written into a file's
// contents (u16ToUtf8 and the other UTF-8 encoders), such a surrogate reads
// U+FFFD.
std::u16string pathToU16(const std::filesystem::path& path);
std::filesystem::path u16ToPath(std::u16string_view text);
std::u16string nameBytesToU16(std::string_view bytes);
std::string u16ToNameBytes(std::u16string_view text);
// The longest front of `bytes`, at most `limit` long, that splits no
// well-formed UTF-8 sequence (a byte outside one stands alone).
size_t nameCutPoint(std::string_view bytes, size_t limit);

size_t u16Length(const char16_t* text);
// ASCII-only case folding: used for extensions, option words and value names.
char16_t asciiLower(char16_t c);
int compareNoCase(std::u16string_view a, std::u16string_view b);
bool equalsNoCase(std::u16string_view a, std::u16string_view b);
bool equalsNoCase(std::string_view a, std::string_view b);
// A text for one line of the log or of standard error: control characters
// (a newline or a tab in a file name) become \n, \t or \xNN, so that a name
// cannot break the line or forge the next one; every other byte is kept, so
// escaping twice changes nothing more.
std::string escapeControls(std::string_view text);

// Whether a file name ends with the extension `ext` (dot included) after
// something else, ASCII letters compared without regard to case: a name that
// is the extension alone names no file of that type.
bool hasExtensionNoCase(std::string_view name, std::string_view ext);

} // namespace quillon
