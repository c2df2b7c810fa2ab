#include "app/presets.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "core/format.h"
#include "core/text.h"
#include "platform/known_folders.h"
#include "platform/profile.h"
#include "platform/settings_store.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

constexpr size_t kSubFormatUnits = 48;
constexpr size_t kIconSubdirUnits = 260;
constexpr size_t kIndexTextUnits = 256;

std::u16string key(std::string_view name) { return asciiToU16(name); }
std::u16string slotKey(const char* base, int slot) { return asciiToU16(std::string(base) + char('0' + slot)); }

// The range a number of a preset must lie in, inclusive, and how the
// refusal names it.
struct Range {
    int64_t min, max;
    const char* text;
};
constexpr Range kFlag{0, 1, "0 or 1"};
constexpr Range kAnyNumber{INT32_MIN, INT32_MAX, "-2147483648 to 2147483647"};
constexpr Range kPositive{1, INT32_MAX, "1 or more"};
constexpr Range kNotNegative{0, INT32_MAX, "0 or more"};
constexpr Range kOutputCount{1, kMaxOutputFormats, "1 to 8"};
constexpr Range kResizeMode{0, 2, "0 to 2"};
constexpr Range kResizeMethod{1, 8, "1 to 8"};
constexpr Range kOrientation{0, 15, "0 to 15"};
constexpr Range kChannel{0, 255, "0 to 255"};
constexpr Range kAddressMode{0, 2, "0 to 2"};
constexpr Range kQuality{1, 100, "1 to 100 for a quality"};
constexpr Range kSizeOrFactor{1, INT32_MAX, "1 or more"};

bool within(int64_t v, const Range& range) { return v >= range.min && v <= range.max; }

// A whole decimal number as a person or the wizard writes it: an optional
// sign, then digits and nothing else. Numbers too long for 32 bits come
// back as large as they are (up to a cap), to be judged by their range.
std::optional<int64_t> wholeNumber(std::u16string_view text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
        value = std::min<int64_t>(value * 10 + (text[i] - u'0'), int64_t(1) << 40);
    }
    return negative ? -value : value;
}

// Reads a preset through one section with the settings' own conventions.
// A value that is no number, or that the load would use although it lies
// outside its key's range, is noted as the reason to refuse the preset (the
// first one found).
class Reader {
public:
    // With `asked`, every key the load looks for is noted there.
    explicit Reader(const ProfileFile& f, std::vector<std::u16string>* asked = nullptr) : f_(f), asked_(asked) {}

    std::optional<int64_t> num(const std::u16string& name)
    {
        note(name);
        std::optional<std::u16string> text = f_.get(kPresetSection, name);
        if (!text) return std::nullopt;
        found_ = true;
        std::optional<int64_t> v = wholeNumber(*text);
        if (!v) refuse(shown(name) + " is not a number");
        return v;
    }
    // "key=value" as the file has them, for a refusal.
    std::string shown(const std::u16string& name) const
    {
        return u16ToUtf8(name) + "=" + u16ToUtf8(f_.get(kPresetSection, name).value_or(u""));
    }
    std::optional<int64_t> num(std::string_view name) { return num(key(name)); }
    // The number when it lies within range; out of it, nothing, and the
    // preset is refused.
    std::optional<int64_t> ranged(const std::u16string& name, const Range& range)
    {
        std::optional<int64_t> v = num(name);
        if (!v || within(*v, range)) return v;
        refuse(shown(name) + " is out of range (" + range.text + ")");
        return std::nullopt;
    }
    std::optional<int64_t> ranged(std::string_view name, const Range& range) { return ranged(key(name), range); }
    void flag(std::string_view name, uint8_t& field)
    {
        if (auto v = ranged(name, kFlag)) field = uint8_t(*v);
    }
    template <class T>
    void integer(std::string_view name, T& field, const Range& range = kAnyNumber)
    {
        if (auto v = ranged(name, range)) field = T(*v);
    }
    std::optional<std::u16string> text(const std::u16string& name, size_t maxUnits)
    {
        if (!has(name)) return std::nullopt;
        return f_.getString(kPresetSection, name, u"", maxUnits);
    }
    bool has(const std::u16string& name)
    {
        note(name);
        const bool there = f_.get(kPresetSection, name).has_value();
        found_ = found_ || there;
        return there;
    }
    // Whether any key asked for was there.
    bool foundAny() const { return found_; }

    void refuse(std::string why)
    {
        if (why_.empty()) why_ = std::move(why);
    }
    const std::string& why() const { return why_; }

private:
    void note(const std::u16string& name)
    {
        if (asked_) asked_->push_back(name);
    }

    const ProfileFile& f_;
    std::vector<std::u16string>* asked_;
    std::string why_;
    bool found_ = false;
};

class Writer {
public:
    // With `touched`, every key written or removed is noted there.
    explicit Writer(ProfileFile& f, std::vector<std::u16string>* touched = nullptr) : f_(f), touched_(touched) {}
    void num(std::string_view name, int64_t v) { num(key(name), v); }
    void num(const std::u16string& name, int64_t v)
    {
        note(name);
        f_.setInt(kPresetSection, name, int32_t(v));
    }
    void flag(std::string_view name, uint8_t v) { num(name, v ? 1 : 0); }
    // A value outside its key's range is left out rather than written: the
    // preset must load, and loading it keeps what the settings hold there,
    // as earlier versions did with such a value.
    void ranged(std::string_view name, int64_t v, const Range& range) { ranged(key(name), v, range); }
    void ranged(const std::u16string& name, int64_t v, const Range& range)
    {
        if (within(v, range)) num(name, v);
        else remove(name);
    }
    void text(const std::u16string& name, std::u16string_view v)
    {
        note(name);
        f_.set(kPresetSection, name, v);
    }
    void remove(const std::u16string& name)
    {
        note(name);
        f_.remove(kPresetSection, name);
    }
    void remove(std::string_view name) { remove(key(name)); }

private:
    void note(const std::u16string& name)
    {
        if (touched_) touched_->push_back(name);
    }

    ProfileFile& f_;
    std::vector<std::u16string>* touched_;
};

// Hundredths, rounded half away from zero the way the option pages round.
int32_t hundredths(double v)
{
    double scaled = v * 100.0;
    scaled += scaled >= 0 ? 0.499 : -0.499;
    if (!(scaled > -2147483648.0 && scaled < 2147483647.0)) return 0;
    return int32_t(scaled);
}

struct AdjustmentKey {
    const char* name;
    float AdjustmentSettings::*field;
};
// In file order; gamma is kept as its distance from 1.
const AdjustmentKey kAdjustmentKeys[] = {
    {"iContrast", &AdjustmentSettings::contrast}, {"iBrightness", &AdjustmentSettings::brightness},
    {"iSharpness", &AdjustmentSettings::sharpness}, {"iColor", &AdjustmentSettings::saturation},
    {"iGamma", &AdjustmentSettings::gamma},         {"iRed", &AdjustmentSettings::red},
    {"iGreen", &AdjustmentSettings::green},         {"iBlue", &AdjustmentSettings::blue}};

const char* const kFrameKeys[] = {"iFrameWidth",      "iFrameColorR",     "iFrameColorG",    "iFrameColorB",
                                  "iFrameEdgeColorR", "iFrameEdgeColorG", "iFrameEdgeColorB"};

const char* const kIndexKeys[] = {"index.szIconSubdir", "index.iResizeX",     "index.iResizeY",
                                  "index.bResizeOnlyDown", "index.iCols",     "index.iSpacing",
                                  "index.bFileName",    "index.bFileExt",     "index.bLinkToNew",
                                  "index.bImageBorder", "index.bUseValidURIs", "index.szBODY",
                                  "index.eIconURL",     "index.szIconURL",    "index.eLinkURL",
                                  "index.szLinkURL",    "index.bUseAsciiFileNames"};

uint32_t channel(uint32_t colour, int shift) { return (colour >> shift) & 0xFF; }

void setChannel(uint32_t& colour, int shift, int32_t v)
{
    uint32_t c = uint32_t(std::clamp(v, 0, 255));
    colour = (colour & ~(0xFFu << shift)) | (c << shift);
}

std::string indexText(const std::u16string& text)
{
    std::string out = u16ToCp1252(text);
    if (out.size() > kIndexTextMax) out.resize(kIndexTextMax);
    return out;
}

// -1 (automatic), or flags of the colour-format table: several at once
// (as other versions saved "Auto color") read as automatic.
bool knownColourFormat(int64_t v)
{
    if (v == -1) return true;
    if (v <= 0 || v > int64_t(UINT32_MAX)) return false;
    uint32_t known = 0;
    for (const ColourFormatEntry* e = kColourFormats; e->flag; ++e)
        if (e->flag > 0) known |= uint32_t(e->flag);
    return (uint32_t(v) & ~known) == 0;
}

// The number an output's sub-format takes, by its kind; null when the
// number is not used (or the format is not known yet).
const Range* parameterRange(const OutputFormatSlot& slot, const FormatRegistry& registry)
{
    const FormatDescriptor* d = slot.iFormatId >= 0 ? registry.at(slot.iFormatId) : nullptr;
    if (!d) return nullptr;
    const int32_t sub = d->subFormatIndex(slot.szSubFormat);
    if (sub < 0) return nullptr;
    switch (d->paramKind(uint32_t(sub))) {
    case PARAM_QUALITY: return &kQuality;
    case PARAM_FACTOR:
    case PARAM_SIZE_KB: return &kSizeOrFactor;
    default: return nullptr;
    }
}

// A format index of the preset; out of range it is refused where the load
// would use it (it would quietly write some other format), and passed over
// elsewhere.
std::optional<int32_t> formatId(Reader& r, const std::u16string& name, bool used, const FormatRegistry* registry)
{
    std::optional<int64_t> v = r.num(name);
    if (!v) return std::nullopt;
    if (validFormatId(*v, registry)) return int32_t(*v);
    if (used) {
        const FormatRegistry& reg = registry ? *registry : formatRegistry();
        r.refuse(r.shown(name) + " names no output format (0 to " +
                 std::to_string(reg.count() - 1) + ", or -1 for each output's own extension)");
    }
    return std::nullopt;
}

std::optional<uint32_t> colourFormat(Reader& r, const std::u16string& name, bool used)
{
    std::optional<int64_t> v = r.num(name);
    if (!v) return std::nullopt;
    if (knownColourFormat(*v)) return uint32_t(*v);
    if (used) {
        r.refuse(r.shown(name) + " names no colour format (-1 for automatic, or the number of one)");
        return std::nullopt;
    }
    // A slot the preset does not use keeps what it says, as before; the
    // slot is made writable like any other.
    if (*v >= INT32_MIN && *v <= int64_t(UINT32_MAX)) return uint32_t(*v);
    return std::nullopt;
}

// The index's numeric keys; with the index off they are not used, but
// must still be numbers (as must the frame's with the frame off).
const char* const kIndexNumberKeys[] = {"index.iResizeX",      "index.iResizeY",     "index.bResizeOnlyDown",
                                        "index.iCols",         "index.iSpacing",     "index.bFileName",
                                        "index.bFileExt",      "index.bLinkToNew",   "index.bImageBorder",
                                        "index.bUseValidURIs", "index.eIconURL",     "index.eLinkURL",
                                        "index.bUseAsciiFileNames"};

void readSlots(JobSettings& js, Reader& r, const FormatRegistry* registry)
{
    // A preset of the single-output days fills slot 0 first; its keys count
    // only where slot 0's own do not replace them.
    const bool ownFormat = r.has(slotKey("iFormatId", 0));
    const bool ownColour = r.has(slotKey("iColorFormat", 0));
    if (auto v = formatId(r, key("iFormatId"), !ownFormat, registry)) js.slots[0].iFormatId = *v;
    if (auto v = colourFormat(r, key("iColorFormat"), !ownColour)) js.slots[0].iColorFormat = *v;
    if (auto v = r.text(key("szSubFormat"), kSubFormatUnits)) js.slots[0].szSubFormat = *v;
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        OutputFormatSlot& slot = js.slots[size_t(i)];
        const bool used = uint32_t(i) < js.iOutFormats;
        if (auto v = formatId(r, slotKey("iFormatId", i), used, registry)) slot.iFormatId = *v;
        if (auto v = colourFormat(r, slotKey("iColorFormat", i), used)) slot.iColorFormat = *v;
        // Quality, factor or target size as saved; without the key the
        // slot takes the last number used for its kind. Its range depends on
        // the sub-format, judged once the slots are complete.
        if (auto v = r.num(slotKey("iCompParam", i)); v && *v >= 0 && *v <= INT32_MAX) slot.iCompParam = int32_t(*v);
        if (auto v = r.text(slotKey("szSubFormat", i), kSubFormatUnits)) slot.szSubFormat = *v;
    }
}

// Each used output's number against its sub-format's range, once the slots
// hold what the preset and the settings before it say together.
void checkParameters(const JobSettings& js, Reader& r, const FormatRegistry* registry)
{
    const FormatRegistry& reg = registry ? *registry : formatRegistry();
    for (uint32_t i = 0; i < js.iOutFormats && i < uint32_t(kMaxOutputFormats); ++i) {
        const std::u16string name = slotKey("iCompParam", int(i));
        const Range* range = parameterRange(js.slots[i], reg);
        r.ranged(name, range ? *range : kNotNegative);
    }
}

void readAdjustments(AdjustmentSettings& adj, Reader& r)
{
    for (const AdjustmentKey& k : kAdjustmentKeys) {
        auto v = r.ranged(k.name, kAnyNumber);
        if (!v) continue;
        float value = float(double(*v) * 0.01);
        if (k.field == &AdjustmentSettings::gamma)
            adj.setGamma(float(double(*v) * 0.01 + 1.0));
        else if (k.field == &AdjustmentSettings::sharpness)
            adj.setSharpness(value);
        else
            adj.setColour(k.field, value);
    }
    if (auto v = r.ranged("eOrientation", kOrientation)) adj.setOrientation(uint8_t(*v));
}

void readFrame(JobSettings& js, Reader& r)
{
    if (auto v = r.num("eFrameType")) {
        if (*v >= 0 && *v <= int64_t(UINT32_MAX) && validFrameType(uint32_t(*v)))
            js.eFrameType = uint32_t(*v);
        else
            r.refuse(r.shown(key("eFrameType")) + " is out of range (0 to 2)");
    }
    if (js.eFrameType == 0) return;
    r.integer("iFrameWidth", js.iFrameWidth, kNotNegative);
    auto channel = [&](const char* name, uint32_t& colour, int shift) {
        if (auto v = r.ranged(name, kChannel)) setChannel(colour, shift, int32_t(*v));
    };
    channel("iFrameColorG", js.dwFrameColor, 8);
    channel("iFrameColorB", js.dwFrameColor, 0);
    channel("iFrameColorR", js.dwFrameColor, 16);
    channel("iFrameEdgeColorR", js.dwFrameEdgeClr, 16);
    channel("iFrameEdgeColorG", js.dwFrameEdgeClr, 8);
    channel("iFrameEdgeColorB", js.dwFrameEdgeClr, 0);
    js.dwFrameColor |= 0xFF000000u;
    js.dwFrameEdgeClr |= 0xFF000000u;
}

void readIndex(IndexSettings& ix, Reader& r)
{
    r.flag("bIndex", ix.bIndex);
    if (ix.bIndex != 1) return;
    if (auto v = r.text(key("index.szIconSubdir"), kIconSubdirUnits)) ix.szIconSubdir = *v;
    r.integer("index.iResizeX", ix.iResizeX, kPositive);
    r.integer("index.iResizeY", ix.iResizeY, kPositive);
    r.flag("index.bResizeOnlyDown", ix.bResizeOnlyDown);
    r.integer("index.iCols", ix.iCols, kPositive);
    r.integer("index.iSpacing", ix.iSpacing, kNotNegative);
    r.flag("index.bFileName", ix.bFileName);
    r.flag("index.bFileExt", ix.bFileExt);
    r.flag("index.bImageBorder", ix.bImageBorder);
    r.flag("index.bLinkToNew", ix.bLinkToNew);
    r.flag("index.bUseValidURIs", ix.bUseValidURIs);
    if (auto v = r.text(key("index.szBODY"), kIndexTextUnits)) ix.szBODY = indexText(*v);
    r.integer("index.eIconURL", ix.eIconURL, kAddressMode);
    if (auto v = r.text(key("index.szIconURL"), kIndexTextUnits)) ix.szIconURL = indexText(*v);
    r.integer("index.eLinkURL", ix.eLinkURL, kAddressMode);
    if (auto v = r.text(key("index.szLinkURL"), kIndexTextUnits)) ix.szLinkURL = indexText(*v);
    r.flag("index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
}

// Everything the preset says, on top of what js held; the reader notes the
// first reason to refuse it.
void readPreset(JobSettings& js, Reader& r, const FormatRegistry* registry)
{
    const std::optional<std::u16string> dir = r.text(key("szOutDir"), SIZE_MAX);
    if (dir) js.szOutDir = u16ToPath(*dir);
    r.flag("bFixedPalette", js.quantize.useFixedPalette);
    r.flag("bSharedPalette", js.quantize.useGivenPalette);
    if (auto v = r.ranged("bDither", kFlag))
        js.quantize.dither = js.quantize.ditherTo8Bit = js.quantize.ditherHighColour = uint8_t(*v);

    js.iOutFormats = 1;
    js.slots[0].iCompParam = 0;
    r.integer("iOutFormats", js.iOutFormats, kOutputCount);
    readSlots(js, r, registry);

    r.flag("bMultiOutInSubDirs", js.bMultiOutInSubDirs);
    // A preset that names an output folder writes there: beside the
    // sources only when it says so itself, whatever the wizard last did.
    if (r.has(key("bSaveInSrcDirs"))) r.flag("bSaveInSrcDirs", js.bSaveInSrcDirs);
    else if (dir && !dir->empty()) js.bSaveInSrcDirs = 0;
    r.flag("bDeleteSrcFiles", js.bDeleteSrcFiles);
    r.flag("bNoOverwritePrompt", js.bNoOverwritePrompt);
    r.flag("bNoErrorPrompts", js.bNoErrorPrompts);
    r.flag("bSkipExisting", js.bSkipExisting);
    r.flag("bCreateLogFile", js.bCreateLogFile);
    r.flag("bKeepSubDirs", js.bKeepSubDirs);
    r.integer("iKeepSubDirLevels", js.iKeepSubDirLevels);
    r.flag("bUseAsciiFileNames", js.bUseAsciiFileNames);
    r.integer("eResize", js.eResize, kResizeMode);
    r.integer("i3ResizeFactor", js.i3ResizeFactor, kPositive);
    r.integer("iResizeX", js.iResizeX, kPositive);
    r.integer("iResizeY", js.iResizeY, kPositive);
    r.integer("eResizeMethod", js.eResizeMethod, kResizeMethod);
    r.flag("bResizeOnlyDown", js.bResizeOnlyDown);
    r.flag("bResizeKeepAspect", js.bResizeKeepAspect);
    r.flag("bSetPPI", js.bSetPPI);
    r.integer("iSetPPI", js.iSetPPI, kPositive);
    r.flag("bUndither", js.bUndither);
    readAdjustments(js.adjustments, r);
    readFrame(js, r);
    r.flag("bShowMoreOptions", js.bShowMoreOptions);
    readIndex(js.index, r);
    // The index takes two outputs, the picture and its thumbnail, and the
    // wizard saves it so: a run would drop any more, or add one nobody named.
    if (js.index.bIndex == 1 && r.has(key("iOutFormats")) && js.iOutFormats != 2)
        r.refuse(r.shown(key("iOutFormats")) + " is out of range with bIndex=1 (2: the picture and its thumbnail)");
    for (const char* k : kFrameKeys) r.num(k);
    for (const char* k : kIndexNumberKeys) r.num(k);
    // Only so that they count as keys of ours when nothing else is there.
    for (const char* k : kIndexKeys) r.has(key(k));

    normalizeSlots(js, registry);
    checkParameters(js, r, registry);
}

void writePreset(const JobSettings& js, Writer& w, const FormatRegistry& reg)
{
    w.text(key("szOutDir"), pathToU16(js.szOutDir));
    w.flag("bFixedPalette", js.quantize.useFixedPalette);
    w.flag("bSharedPalette", js.quantize.useGivenPalette);
    w.flag("bDither", js.quantize.dither);
    // With the index the run writes its two outputs, whatever the count.
    uint32_t outFormats = js.index.bIndex == 1 ? 2 : std::clamp<uint32_t>(js.iOutFormats, 1, kMaxOutputFormats);
    w.num("iOutFormats", outFormats);
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        const OutputFormatSlot& slot = js.slots[size_t(i)];
        if (uint32_t(i) < outFormats) {
            if (validFormatId(slot.iFormatId, &reg)) w.num(slotKey("iFormatId", i), slot.iFormatId);
            else w.remove(slotKey("iFormatId", i));
            const int32_t colour = int32_t(slot.iColorFormat);
            if (knownColourFormat(colour)) w.num(slotKey("iColorFormat", i), colour);
            else w.remove(slotKey("iColorFormat", i));
            // A quality typed above 100 is written as the 100 the writers
            // use in its place.
            const Range* range = parameterRange(slot, reg);
            int64_t parameter = slot.iCompParam;
            if (range == &kQuality) parameter = std::min<int64_t>(parameter, kQuality.max);
            w.ranged(slotKey("iCompParam", i), parameter, range ? *range : kNotNegative);
            w.text(slotKey("szSubFormat", i), std::u16string_view(slot.szSubFormat).substr(0, kSubFormatUnits - 1));
        } else {
            w.remove(slotKey("iFormatId", i));
            w.remove(slotKey("iColorFormat", i));
            w.remove(slotKey("iCompParam", i));
            w.remove(slotKey("szSubFormat", i));
        }
    }
    w.remove("iFormatId");
    w.remove("iColorFormat");
    w.remove("szSubFormat");

    w.flag("bMultiOutInSubDirs", js.bMultiOutInSubDirs);
    w.flag("bSaveInSrcDirs", js.bSaveInSrcDirs);
    w.flag("bDeleteSrcFiles", js.bDeleteSrcFiles);
    w.flag("bNoOverwritePrompt", js.bNoOverwritePrompt);
    w.flag("bNoErrorPrompts", js.bNoErrorPrompts);
    w.flag("bSkipExisting", js.bSkipExisting);
    w.flag("bCreateLogFile", js.bCreateLogFile);
    w.flag("bKeepSubDirs", js.bKeepSubDirs);
    w.num("iKeepSubDirLevels", js.iKeepSubDirLevels);
    w.flag("bUseAsciiFileNames", js.bUseAsciiFileNames);
    w.ranged("eResize", js.eResize, kResizeMode);
    w.ranged("i3ResizeFactor", js.i3ResizeFactor, kPositive);
    w.ranged("iResizeX", js.iResizeX, kPositive);
    w.ranged("iResizeY", js.iResizeY, kPositive);
    w.ranged("eResizeMethod", js.eResizeMethod, kResizeMethod);
    w.flag("bResizeOnlyDown", js.bResizeOnlyDown);
    w.flag("bResizeKeepAspect", js.bResizeKeepAspect);
    w.flag("bSetPPI", js.bSetPPI);
    w.ranged("iSetPPI", js.iSetPPI, kPositive);
    w.flag("bUndither", js.bUndither);
    const AdjustmentSettings& adj = js.adjustments;
    for (const AdjustmentKey& k : kAdjustmentKeys) {
        double v = adj.*k.field;
        if (k.field == &AdjustmentSettings::gamma) v -= 1.0;
        w.num(k.name, hundredths(v));
    }
    w.ranged("eOrientation", adj.orientation, kOrientation);
    const bool frameKnown = js.eFrameType <= uint32_t(INT32_MAX) && validFrameType(js.eFrameType);
    if (frameKnown) w.num("eFrameType", int32_t(js.eFrameType));
    else w.remove("eFrameType");
    if (frameKnown && js.eFrameType != 0) {
        w.ranged("iFrameWidth", js.iFrameWidth, kNotNegative);
        w.num("iFrameColorR", channel(js.dwFrameColor, 16));
        w.num("iFrameColorG", channel(js.dwFrameColor, 8));
        w.num("iFrameColorB", channel(js.dwFrameColor, 0));
        w.num("iFrameEdgeColorR", channel(js.dwFrameEdgeClr, 16));
        w.num("iFrameEdgeColorG", channel(js.dwFrameEdgeClr, 8));
        w.num("iFrameEdgeColorB", channel(js.dwFrameEdgeClr, 0));
    } else {
        // Keys of an earlier save would otherwise outlive the switch.
        for (const char* k : kFrameKeys) w.remove(k);
    }
    w.flag("bShowMoreOptions", js.bShowMoreOptions);
    const IndexSettings& ix = js.index;
    w.flag("bIndex", ix.bIndex);
    if (ix.bIndex) {
        w.text(key("index.szIconSubdir"), std::u16string_view(ix.szIconSubdir).substr(0, kIconSubdirUnits - 1));
        w.ranged("index.iResizeX", ix.iResizeX, kPositive);
        w.ranged("index.iResizeY", ix.iResizeY, kPositive);
        w.flag("index.bResizeOnlyDown", ix.bResizeOnlyDown);
        w.ranged("index.iCols", ix.iCols, kPositive);
        w.ranged("index.iSpacing", ix.iSpacing, kNotNegative);
        w.flag("index.bFileName", ix.bFileName);
        w.flag("index.bFileExt", ix.bFileExt);
        w.flag("index.bLinkToNew", ix.bLinkToNew);
        w.flag("index.bImageBorder", ix.bImageBorder);
        w.flag("index.bUseValidURIs", ix.bUseValidURIs);
        w.text(key("index.szBODY"), cp1252ToU16(std::string_view(ix.szBODY).substr(0, kIndexTextMax)));
        w.ranged("index.eIconURL", ix.eIconURL, kAddressMode);
        w.text(key("index.szIconURL"), cp1252ToU16(std::string_view(ix.szIconURL).substr(0, kIndexTextMax)));
        w.ranged("index.eLinkURL", ix.eLinkURL, kAddressMode);
        w.text(key("index.szLinkURL"), cp1252ToU16(std::string_view(ix.szLinkURL).substr(0, kIndexTextMax)));
        w.flag("index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
    } else {
        for (const char* k : kIndexKeys) w.remove(k);
    }
}

// Every key of the settings: those the load asks for, those a save writes
// or removes (with every switch on and with every switch off), and the
// values of the settings store. Taken from the code that reads and writes
// them, so a key cannot be written that a load would refuse. Lower-cased,
// for lookups; `preset` keeps the keys a preset is read by as spelt, those
// a save writes first: the store's own are no key to suggest.
struct KnownKeys {
    std::vector<std::u16string> preset;
    std::unordered_set<std::u16string> folded;
};

std::u16string folded(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) c = asciiLower(c);
    return out;
}

const KnownKeys& knownKeys()
{
    static const KnownKeys known = [] {
        std::vector<std::u16string> names;
        const FormatRegistry none;
        JobSettings on;
        on.iOutFormats = kMaxOutputFormats;
        on.eFrameType = 1;
        on.index.bIndex = 1;
        ProfileFile scratch;
        Writer w(scratch, &names);
        writePreset(on, w, none);
        writePreset(JobSettings{}, w, none);
        const ProfileFile empty;
        Reader r(empty, &names);
        readPreset(on, r, &none);
        KnownKeys k;
        for (std::u16string& name : names)
            if (k.folded.insert(folded(name)).second) k.preset.push_back(std::move(name));
        for (const std::string& name : settingsValueNames()) k.folded.insert(folded(asciiToU16(name)));
        return k;
    }();
    return known;
}

// Edits between two keys, without regard to letter case; two letters
// swapped count as one edit.
size_t keyDistance(std::u16string_view a, std::u16string_view b)
{
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j) {
            const bool same = asciiLower(a[i - 1]) == asciiLower(b[j - 1]);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && asciiLower(a[i - 1]) == asciiLower(b[j - 2]) &&
                asciiLower(a[i - 2]) == asciiLower(b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

// The preset key a misspelt one was most likely meant to be: at most two
// edits away, and of the same output when the key ends in an output's
// number (szSubFormt3 is szSubFormat3, not szSubFormat0). Empty when none
// is that close.
std::u16string nearestKey(std::u16string_view name)
{
    constexpr size_t kMaxEdits = 2;
    // Longer keys are no typo of ours and would only cost time.
    if (name.size() > 64) return {};
    auto slot = [](std::u16string_view k) { return !k.empty() && k.back() >= u'0' && k.back() <= u'9' ? k.back() : 0; };
    std::u16string best;
    size_t bestEdits = kMaxEdits + 1;
    bool bestSameSlot = false;
    for (const std::u16string& k : knownKeys().preset) {
        const size_t edits = keyDistance(name, k);
        const bool sameSlot = slot(name) != 0 && slot(name) == slot(k);
        if (edits < bestEdits || (edits == bestEdits && sameSlot && !bestSameSlot)) {
            best = k;
            bestEdits = edits;
            bestSameSlot = sameSlot;
        }
    }
    return best;
}

// The first key of the preset's section that the program does not know,
// as a refusal; empty when every key is known. A misspelt key would
// otherwise be passed over, and the run take that option from the settings
// store.
std::string unknownKeyRefusal(const ProfileFile& f)
{
    const KnownKeys& known = knownKeys();
    for (const std::u16string& name : f.keys(kPresetSection)) {
        if (known.folded.count(folded(name))) continue;
        std::string why = u16ToUtf8(name) + "=" + u16ToUtf8(f.get(kPresetSection, name).value_or(u"")) +
                          " is not a key of a preset";
        const std::u16string nearest = nearestKey(name);
        if (!nearest.empty()) why += " (did you mean " + u16ToUtf8(nearest) + "?)";
        return why;
    }
    return {};
}

} // namespace

bool presetLoad(JobSettings& js, const fs::path& file, const FormatRegistry* registry, std::string* why)
{
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        if (why) *why = kNoSuchPresetText;
        return false;
    }
    return presetLoadFrom(js, ProfileFile(file), registry, why);
}

std::string presetRefusal(const fs::path& file, const FormatRegistry* registry)
{
    JobSettings trial = jobSettings();
    std::string why;
    presetLoad(trial, file, registry, &why);
    return why;
}

bool presetLoadFrom(JobSettings& js, const ProfileFile& f, const FormatRegistry* registry, std::string* why)
{
    // Read into a copy: a refused preset leaves the settings as they were.
    Reader r(f);
    JobSettings next = js;
    readPreset(next, r, registry);
    std::string refusal;
    // Without a single key of ours the run would be the settings store's,
    // not the preset's: a misspelt section or misspelt keys.
    if (!r.foundAny()) {
        if (!f.readable()) refusal = "cannot be read";
        else if (!f.hasSection(kPresetSection)) refusal = "has no [Quillon] section";
        else refusal = "its [Quillon] section holds no key of a preset";
    } else {
        // A misspelt key first: a value refused beside it may be the
        // misspelling's doing.
        refusal = unknownKeyRefusal(f);
        if (refusal.empty()) refusal = r.why();
    }
    if (!refusal.empty()) {
        if (why) *why = refusal;
        return false;
    }
    js = std::move(next);
    return true;
}

bool presetSave(const JobSettings& js, const fs::path& file, const FormatRegistry* registry)
{
    ProfileFile f(file);
    Writer w(f);
    writePreset(js, w, registry ? *registry : formatRegistry());
    return f.save(file);
}

PresetFile& presetFile()
{
    static PresetFile preset;
    return preset;
}

bool PresetFile::load(const fs::path* file, std::string* why)
{
    const fs::path& target = file ? *file : path;
    if (target.empty()) return true;
    return presetLoad(jobSettings(), target, nullptr, why);
}

bool PresetFile::save(const fs::path* file)
{
    const fs::path& target = file ? *file : path;
    if (target.empty()) return false;
    return presetSave(jobSettings(), target);
}

bool PresetFile::setName(std::u16string_view name)
{
    if (folder.empty() || name.empty() || name.find_first_of(std::u16string_view(u"/\0", 2)) != std::u16string_view::npos)
        return false;
    path = folder / u16ToPath(std::u16string(name) + asciiToU16(kPresetExtension));
    return true;
}

bool presetDirInitAt(PresetFile& preset, const fs::path& roaming)
{
    preset.folder.clear();
    preset.path.clear();
    if (roaming.empty()) return false;
    fs::path folder = roaming / kPresetFolderName;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) return false;
    preset.folder = folder;
    return true;
}

bool presetDirInit(void* dialog, uint32_t comboId)
{
    PresetFile& preset = presetFile();
    preset.dialog = dialog;
    preset.comboId = comboId;
    return presetDirInitAt(preset, roamingAppDataFolder());
}

std::vector<std::u16string> presetNames(const PresetFile& preset)
{
    std::vector<std::string> names;
    if (preset.folder.empty()) return {};
    std::error_code ec;
    fs::directory_iterator it(preset.folder, ec), end;
    constexpr size_t kExt = sizeof(kPresetExtension) - 1;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc)) continue;
        std::string name = it->path().filename().native();
        // Exactly ".qpt": the name must lead back to the same file.
        if (name.size() <= kExt || std::string_view(name).substr(name.size() - kExt) != kPresetExtension) continue;
        names.push_back(name.substr(0, name.size() - kExt));
    }
    std::sort(names.begin(), names.end());
    std::vector<std::u16string> out;
    for (const std::string& n : names) out.push_back(nameBytesToU16(n));
    return out;
}

bool presetDelete(PresetFile& preset, std::u16string_view name)
{
    fs::path keep = preset.path;
    if (!preset.setName(name)) return false;
    std::error_code ec;
    bool removed = fs::remove(preset.path, ec);
    preset.path = keep;
    return removed;
}

} // namespace quillon
