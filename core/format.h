#pragma once
// File formats: the descriptor of each file extension, the output colour
// formats a writer can be asked for, the sorted registry of descriptors, and
// imageFileOpen, which maps a file, finds its format and opens a reader.
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "platform/mapped_file.h"
#include "platform/refcount.h"

namespace quillon {

class ImageReader;
class ImageWriter;
struct FormatDescriptor;

// Output colour formats, one bit each; a writer's sub-format has a mask of
// those it can store.
enum ColourFormatFlag : uint32_t {
    CF_2_COLOURS = 0x1,
    CF_4_COLOURS = 0x2,
    CF_8_COLOURS = 0x4,
    CF_16_COLOURS = 0x8,
    CF_32_COLOURS = 0x10,
    CF_64_COLOURS = 0x20,
    CF_128_COLOURS = 0x40,
    CF_256_COLOURS = 0x80,
    CF_GRAY8 = 0x100,
    CF_RGB15 = 0x1000,
    CF_RGBA16 = 0x2000,  // 5-5-5 with one alpha bit
    CF_RGB24 = 0x4000,
    CF_RGBA32 = 0x8000,
    CF_GRAY16 = 0x10000,
    CF_RGB48 = 0x40000,
    CF_RGBA64 = 0x80000,
    CF_GRAY_FLOAT = 0x100000,
    CF_RGB_FLOAT = 0x400000,
    CF_RGBA_FLOAT = 0x800000,
    CF_AUTO = 0xFFFFFFFF,
};
using ColourFormatFlags = uint32_t;

struct ColourFormatEntry {
    int32_t flag;
    const char16_t* name;
    int32_t bits;
};
// In display order, "Auto" (-1) last before the terminating row of flag 0.
extern const ColourFormatEntry kColourFormats[];
// Bits per pixel of one flag, or -1 when the flag is not in the table.
int32_t colourFormatBits(uint32_t flag);
// The flag's name, or null.
const char16_t* colourFormatName(uint32_t flag);

enum ParamKind : uint8_t { PARAM_NONE = 0, PARAM_QUALITY = 1, PARAM_FACTOR = 2, PARAM_SIZE_KB = 3 };
// Default number of each kind: none 0, quality 75, factor 10, size 50.
int32_t paramKindDefault(uint8_t kind);

// Codec entry points. A probe only reads the source (a few leading bytes; it
// allocates nothing) and returns RC_OK (any success code) to claim the file.
// With a strong signature it claims the file and leaves refusing an
// unsupported variant to readHeader. When it recognises its signature but
// refuses the file anyway it returns RC_UNSUPPORTED_SUBFORMAT or
// RC_CORRUPT_FILE, which the user sees when no other probe claims the file;
// any other failure means "not mine". A probe without a real signature asks
// sourceNamedAs: under another name the file reached it by sniffing, and it
// claims the file only when the file's size fits its format.
using ProbeFn = ResultCode (*)(MappedFile* file);
// A new reader with one reference that holds its own reference to `file`,
// or null when out of memory.
using ReaderFactoryFn = ImageReader* (*)(MappedFile* file, const FormatDescriptor* descriptor);
// A new writer with one reference for the output path; the writer creates
// the file. Null when out of memory.
using WriterFactoryFn = ImageWriter* (*)(const std::filesystem::path& path, const FormatDescriptor* descriptor);

struct FormatDescriptor {
    const char16_t* extension;    // lower case, no dot
    const char16_t* description;  // shown to the user, stored as info field 4
    ProbeFn probe = nullptr;
    ReaderFactoryFn createReader = nullptr;
    WriterFactoryFn createWriter = nullptr;
    // Names ended by an empty string; null for read-only formats.
    const char16_t* const* subFormatNames = nullptr;
    // One mask per sub-format.
    const ColourFormatFlags* subFormatCaps = nullptr;
    // One ParamKind per sub-format; null means none takes a number.
    const uint8_t* paramKinds = nullptr;
    // The palette colour formats store no transparency (a colour map of
    // red, green and blue only): a palette picture's transparency survives
    // there only in a colour format with alpha.
    bool paletteWithoutAlpha = false;
    // The writer stores a whole frame chain (an animation's frames, a
    // document's pages); every other one stores the first picture.
    bool writesChain = false;

    uint32_t subFormatCount() const;
    // Index of a sub-format by exact name; -1 when absent.
    int32_t subFormatIndex(std::u16string_view name) const;
    uint8_t paramKind(uint32_t subFormat) const;
};

// The sorted array of descriptors. The process has one (formatRegistry());
// tests make their own.
class FormatRegistry {
public:
    FormatRegistry() = default;
    ~FormatRegistry();
    FormatRegistry(const FormatRegistry&) = delete;
    FormatRegistry& operator=(const FormatRegistry&) = delete;

    // Inserts in sorted position: extension, then description, both without
    // regard to case; equal entries keep their registration order. False
    // when out of memory (the registry is then unchanged).
    bool add(const FormatDescriptor* descriptor);
    int32_t count() const { return int32_t(count_); }
    const FormatDescriptor* at(int32_t index) const
    {
        return index >= 0 && index < count() ? entries_[index] : nullptr;
    }
    int32_t indexOf(const FormatDescriptor* descriptor) const;
    // The extension rules: the text after the last "." (or the whole text),
    // 1 to 5 characters, compared lower-cased; the side-car extension family
    // "qx?" never matches. Only descriptors with a writer factory count when
    // wantWriter is set, only those with a reader factory otherwise.
    int32_t findByExtension(std::u16string_view path, bool wantWriter) const;
    int32_t findByExtension(const std::filesystem::path& path, bool wantWriter) const;
    // The index of the format of `file`, or -1. Every readable descriptor
    // of the name's extension is probed first, in registry order; with
    // `sniff` every other readable descriptor is probed after them. When
    // none claims the file, `refusal` (if given) receives why: the first
    // RC_UNSUPPORTED_SUBFORMAT or RC_CORRUPT_FILE of a probe that knew the
    // signature, else RC_UNKNOWN_FORMAT.
    int32_t probe(MappedFile* file, bool sniff, ResultCode* refusal = nullptr) const;
    void clear() { count_ = 0; }

private:
    const FormatDescriptor** entries_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
};

// The process-wide registry, filled once at start-up and read without locks
// afterwards.
FormatRegistry& formatRegistry();

// Whether the name of `file` gives `extension` (lower case, no dot) by the
// registry's extension rules.
bool sourceNamedAs(const MappedFile* file, std::u16string_view extension);

bool formatRegister(const FormatDescriptor* descriptor);
int32_t formatFindByExtension(const std::filesystem::path& path, bool wantWriter);
int32_t formatFindByExtension(std::u16string_view path, bool wantWriter);
int32_t formatProbe(MappedFile* file, bool sniff);

// Maps `path`, finds its format (by extension, then by probing with
// `sniff`), creates the reader and opens it. On success `out` holds the
// opened reader; otherwise it is empty and the code says why:
// RC_OPEN_FAILED, RC_UNKNOWN_FORMAT, a probe's refusal
// (RC_UNSUPPORTED_SUBFORMAT, RC_CORRUPT_FILE), RC_OUT_OF_MEMORY or the
// reader's own.
ResultCode imageFileOpen(Ref<ImageReader>& out, const std::filesystem::path& path, bool sniff,
                         const FormatRegistry* registry = nullptr);
// The same over a source already in memory (tests, fuzzers, embedded data).
ResultCode imageSourceOpen(Ref<ImageReader>& out, MappedFile* file, bool sniff,
                           const FormatRegistry* registry = nullptr);

} // namespace quillon
