#include "core/format.h"

#include <new>

#include "core/image_reader.h"
#include "core/text.h"

namespace quillon {

const ColourFormatEntry kColourFormats[] = {
    {0x1, u"2 clrs", 1},
    {0x2, u"4 clrs", 2},
    {0x4, u"8 clrs", 3},
    {0x8, u"16 clrs", 4},
    {0x10, u"32 clrs", 5},
    {0x20, u"64 clrs", 6},
    {0x40, u"128 clrs", 7},
    {0x80, u"256 clrs", 8},
    {0x100, u"8-bit gray", 8},
    {0x1000, u"15-bit clr", 15},
    {0x2000, u"16-bit clr+A", 16},
    {0x4000, u"24-bit clr", 24},
    {0x8000, u"32-bit clr+A ", 32},
    {0x10000, u"16-bit gray", 16},
    {0x40000, u"48-bit clr", 48},
    {0x80000, u"64-bit clr+A", 64},
    {0x100000, u"float gray", 32},
    {0x400000, u"float clr", 96},
    {0x800000, u"float clr+A", 128},
    {-1, u"Auto", 0},
    {0, nullptr, 0},
};

int32_t colourFormatBits(uint32_t flag)
{
    for (const ColourFormatEntry* e = kColourFormats; e->flag; ++e)
        if (uint32_t(e->flag) == flag) return e->bits;
    return -1;
}

const char16_t* colourFormatName(uint32_t flag)
{
    for (const ColourFormatEntry* e = kColourFormats; e->flag; ++e)
        if (uint32_t(e->flag) == flag) return e->name;
    return nullptr;
}

int32_t paramKindDefault(uint8_t kind)
{
    switch (kind) {
    case PARAM_QUALITY: return 75;
    case PARAM_FACTOR: return 10;
    case PARAM_SIZE_KB: return 50;
    default: return 0;
    }
}

uint32_t FormatDescriptor::subFormatCount() const
{
    uint32_t n = 0;
    if (subFormatNames)
        while (subFormatNames[n] && subFormatNames[n][0]) ++n;
    return n;
}

int32_t FormatDescriptor::subFormatIndex(std::u16string_view name) const
{
    uint32_t n = subFormatCount();
    for (uint32_t i = 0; i < n; ++i)
        if (name == std::u16string_view(subFormatNames[i])) return int32_t(i);
    return -1;
}

uint8_t FormatDescriptor::paramKind(uint32_t subFormat) const
{
    if (!paramKinds || subFormat >= subFormatCount()) return PARAM_NONE;
    return paramKinds[subFormat];
}

// ---- registry ----

namespace {
int compareDescriptors(const FormatDescriptor* a, const FormatDescriptor* b)
{
    int c = compareNoCase(a->extension ? a->extension : u"", b->extension ? b->extension : u"");
    if (c) return c;
    return compareNoCase(a->description ? a->description : u"", b->description ? b->description : u"");
}

// The extension a path names, lower-cased; empty when it breaks the rules.
std::u16string extensionOf(std::u16string_view path)
{
    size_t dot = path.rfind(u'.');
    std::u16string_view ext = dot == std::u16string_view::npos ? path : path.substr(dot + 1);
    if (ext.empty() || ext.size() > 5) return {};
    std::u16string lower;
    for (char16_t c : ext) lower.push_back(asciiLower(c));
    // The side-car adjustment files and their relatives are never images.
    if (lower.size() == 3 && lower[0] == u'q' && lower[1] == u'x') return {};
    return lower;
}
} // namespace

FormatRegistry::~FormatRegistry() { delete[] entries_; }

bool FormatRegistry::add(const FormatDescriptor* descriptor)
{
    if (!descriptor) return false;
    if (count_ == capacity_) {
        // Grows in steps of 32; a failed growth leaves the registry as it was.
        auto* grown = new (std::nothrow) const FormatDescriptor*[capacity_ + 32];
        if (!grown) return false;
        for (uint32_t i = 0; i < count_; ++i) grown[i] = entries_[i];
        delete[] entries_;
        entries_ = grown;
        capacity_ += 32;
    }
    uint32_t pos = 0;
    while (pos < count_ && compareDescriptors(descriptor, entries_[pos]) >= 0) ++pos;
    for (uint32_t i = count_; i > pos; --i) entries_[i] = entries_[i - 1];
    entries_[pos] = descriptor;
    ++count_;
    return true;
}

int32_t FormatRegistry::indexOf(const FormatDescriptor* descriptor) const
{
    for (uint32_t i = 0; i < count_; ++i)
        if (entries_[i] == descriptor) return int32_t(i);
    return -1;
}

int32_t FormatRegistry::findByExtension(std::u16string_view path, bool wantWriter) const
{
    std::u16string ext = extensionOf(path);
    if (ext.empty()) return -1;
    for (uint32_t i = 0; i < count_; ++i) {
        const FormatDescriptor* d = entries_[i];
        if (wantWriter ? !d->createWriter : !d->createReader) continue;
        if (d->extension && ext == d->extension) return int32_t(i);
    }
    return -1;
}

int32_t FormatRegistry::findByExtension(const std::filesystem::path& path, bool wantWriter) const
{
    return findByExtension(std::u16string_view(pathToU16(path)), wantWriter);
}

namespace {
// A probe's failure that names the file's format: kept to tell the user
// more than "unknown" when nobody claims the file.
void noteRefusal(ResultCode rc, ResultCode* refusal)
{
    if (*refusal == RC_UNKNOWN_FORMAT && (rc == RC_UNSUPPORTED_SUBFORMAT || rc == RC_CORRUPT_FILE)) *refusal = rc;
}
} // namespace

int32_t FormatRegistry::probe(MappedFile* file, bool sniff, ResultCode* refusalOut) const
{
    ResultCode refusal = RC_UNKNOWN_FORMAT;
    if (refusalOut) *refusalOut = refusal;
    if (!file || file->size() == 0) return -1;
    std::u16string ext = extensionOf(pathToU16(file->name()));
    // Every descriptor of the extension first: "pic" and "ras" name two
    // formats each, and the second must be found without sniffing too.
    if (!ext.empty()) {
        for (uint32_t i = 0; i < count_; ++i) {
            const FormatDescriptor* d = entries_[i];
            if (!d->createReader || !d->probe || !d->extension || ext != d->extension) continue;
            ResultCode rc = d->probe(file);
            if (!failed(rc)) return int32_t(i);
            noteRefusal(rc, &refusal);
        }
    }
    if (sniff) {
        for (uint32_t i = 0; i < count_; ++i) {
            const FormatDescriptor* d = entries_[i];
            if (!d->createReader || !d->probe) continue;
            if (!ext.empty() && d->extension && ext == d->extension) continue; // tried above
            ResultCode rc = d->probe(file);
            if (!failed(rc)) return int32_t(i);
            noteRefusal(rc, &refusal);
        }
    }
    if (refusalOut) *refusalOut = refusal;
    return -1;
}

bool sourceNamedAs(const MappedFile* file, std::u16string_view extension)
{
    return file && extensionOf(pathToU16(file->name())) == extension;
}

FormatRegistry& formatRegistry()
{
    static FormatRegistry registry;
    return registry;
}

bool formatRegister(const FormatDescriptor* descriptor) { return formatRegistry().add(descriptor); }
int32_t formatFindByExtension(const std::filesystem::path& path, bool wantWriter)
{
    return formatRegistry().findByExtension(path, wantWriter);
}
int32_t formatFindByExtension(std::u16string_view path, bool wantWriter)
{
    return formatRegistry().findByExtension(path, wantWriter);
}
int32_t formatProbe(MappedFile* file, bool sniff) { return formatRegistry().probe(file, sniff); }

ResultCode imageSourceOpen(Ref<ImageReader>& out, MappedFile* file, bool sniff, const FormatRegistry* registry)
{
    out.reset();
    if (!file) return RC_OPEN_FAILED;
    const FormatRegistry& reg = registry ? *registry : formatRegistry();
    ResultCode refusal = RC_UNKNOWN_FORMAT;
    int32_t index = reg.probe(file, sniff, &refusal);
    if (index < 0) return refusal;
    const FormatDescriptor* d = reg.at(index);
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(d->createReader(file, d));
    if (!reader) return RC_OUT_OF_MEMORY;
    ResultCode rc = reader->open(nullptr);
    if (failed(rc)) return rc;
    out = std::move(reader);
    return rc;
}

ResultCode imageFileOpen(Ref<ImageReader>& out, const std::filesystem::path& path, bool sniff,
                         const FormatRegistry* registry)
{
    out.reset();
    Ref<MappedFile> file = Ref<MappedFile>::adopt(mappedFileOpen(path));
    if (!file) return RC_OPEN_FAILED;
    return imageSourceOpen(out, file.get(), sniff, registry);
}

} // namespace quillon
