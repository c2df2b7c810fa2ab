#include "app/presets.h"

#include <algorithm>
#include <cmath>

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

// Reads a preset through one section with the settings' own conventions.
class Reader {
public:
    explicit Reader(const ProfileFile& f) : f_(f) {}
    std::optional<int32_t> num(std::string_view name) const { return f_.getInt(kPresetSection, key(name)); }
    std::optional<int32_t> num(const std::u16string& name) const { return f_.getInt(kPresetSection, name); }
    void flag(std::string_view name, uint8_t& field) const
    {
        if (auto v = num(name)) field = *v != 0;
    }
    template <class T>
    void integer(std::string_view name, T& field) const
    {
        if (auto v = num(name)) field = T(*v);
    }
    template <class T>
    void size(std::string_view name, T& field) const
    {
        if (auto v = num(name); v && *v > 0) field = T(*v);
    }
    std::optional<std::u16string> text(const std::u16string& name, size_t maxUnits) const
    {
        if (!f_.get(kPresetSection, name)) return std::nullopt;
        return f_.getString(kPresetSection, name, u"", maxUnits);
    }

private:
    const ProfileFile& f_;
};

class Writer {
public:
    explicit Writer(ProfileFile& f) : f_(f) {}
    void num(std::string_view name, int64_t v) { f_.setInt(kPresetSection, key(name), int32_t(v)); }
    void num(const std::u16string& name, int64_t v) { f_.setInt(kPresetSection, name, int32_t(v)); }
    void flag(std::string_view name, uint8_t v) { num(name, v ? 1 : 0); }
    void text(const std::u16string& name, std::u16string_view v) { f_.set(kPresetSection, name, v); }
    void remove(const std::u16string& name) { f_.remove(kPresetSection, name); }
    void remove(std::string_view name) { f_.remove(kPresetSection, key(name)); }

private:
    ProfileFile& f_;
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

// A used output whose format the registry does not hold, as "key=value";
// empty when there is none. Loading it would quietly write some other
// format in its place.
std::string unknownFormat(const Reader& r, const FormatRegistry* registry)
{
    int32_t outputs = 1;
    if (auto v = r.num("iOutFormats"); v && validOutFormats(*v)) outputs = *v;
    auto check = [&](const std::u16string& name) -> std::string {
        auto v = r.num(name);
        if (!v || validFormatId(*v, registry)) return {};
        return u16ToUtf8(name) + "=" + std::to_string(*v);
    };
    // The single-output key counts only when slot 0's own key does not
    // replace it.
    if (!r.num(slotKey("iFormatId", 0)))
        if (std::string bad = check(key("iFormatId")); !bad.empty()) return bad;
    for (int i = 0; i < outputs; ++i)
        if (std::string bad = check(slotKey("iFormatId", i)); !bad.empty()) return bad;
    return {};
}

std::string refusalText(const std::string& bad, const FormatRegistry* registry)
{
    const FormatRegistry& reg = registry ? *registry : formatRegistry();
    return bad + " names no output format (0 to " + std::to_string(reg.count() - 1) +
           ", or -1 for each output's own extension)";
}

} // namespace

bool presetLoad(JobSettings& js, const fs::path& file, const FormatRegistry* registry, std::string* why)
{
    return presetLoadFrom(js, ProfileFile(file), registry, why);
}

std::string presetRefusal(const fs::path& file, const FormatRegistry* registry)
{
    const ProfileFile f(file);
    std::string bad = unknownFormat(Reader(f), registry);
    return bad.empty() ? bad : refusalText(bad, registry);
}

bool presetLoadFrom(JobSettings& js, const ProfileFile& f, const FormatRegistry* registry, std::string* why)
{
    Reader r(f);
    if (std::string bad = unknownFormat(r, registry); !bad.empty()) {
        if (why) *why = refusalText(bad, registry);
        return false;
    }

    if (auto dir = r.text(key("szOutDir"), SIZE_MAX)) js.szOutDir = u16ToPath(*dir);
    r.flag("bFixedPalette", js.quantize.useFixedPalette);
    r.flag("bSharedPalette", js.quantize.useGivenPalette);
    if (auto v = r.num("bDither")) js.quantize.dither = js.quantize.ditherTo8Bit = js.quantize.ditherHighColour = *v != 0;

    js.iOutFormats = 1;
    js.slots[0].iCompParam = 0;
    if (auto v = r.num("iOutFormats"); v && validOutFormats(*v)) js.iOutFormats = uint32_t(*v);
    // A preset of the single-output days fills slot 0 first.
    if (auto v = r.num("iFormatId"); v && validFormatId(*v, registry)) js.slots[0].iFormatId = *v;
    if (auto v = r.num("iColorFormat")) js.slots[0].iColorFormat = uint32_t(*v);
    if (auto v = r.text(key("szSubFormat"), kSubFormatUnits)) js.slots[0].szSubFormat = *v;
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        OutputFormatSlot& slot = js.slots[size_t(i)];
        if (auto v = r.num(slotKey("iFormatId", i)); v && validFormatId(*v, registry)) slot.iFormatId = *v;
        if (auto v = r.num(slotKey("iColorFormat", i))) slot.iColorFormat = uint32_t(*v);
        // Quality, factor or target size as saved; without the key (or with
        // 0) the slot takes the last number used for its kind.
        if (auto v = r.num(slotKey("iCompParam", i)); v && *v >= 0) slot.iCompParam = *v;
        if (auto v = r.text(slotKey("szSubFormat", i), kSubFormatUnits)) slot.szSubFormat = *v;
    }

    r.flag("bMultiOutInSubDirs", js.bMultiOutInSubDirs);
    r.flag("bSaveInSrcDirs", js.bSaveInSrcDirs);
    r.flag("bDeleteSrcFiles", js.bDeleteSrcFiles);
    r.flag("bNoOverwritePrompt", js.bNoOverwritePrompt);
    r.flag("bNoErrorPrompts", js.bNoErrorPrompts);
    r.flag("bSkipExisting", js.bSkipExisting);
    r.flag("bCreateLogFile", js.bCreateLogFile);
    r.flag("bKeepSubDirs", js.bKeepSubDirs);
    r.integer("iKeepSubDirLevels", js.iKeepSubDirLevels);
    r.flag("bUseAsciiFileNames", js.bUseAsciiFileNames);
    r.integer("eResize", js.eResize);
    r.size("i3ResizeFactor", js.i3ResizeFactor);
    r.size("iResizeX", js.iResizeX);
    r.size("iResizeY", js.iResizeY);
    if (auto v = r.num("eResizeMethod"); v && validResizeMethod(*v)) js.eResizeMethod = uint32_t(*v);
    r.flag("bResizeOnlyDown", js.bResizeOnlyDown);
    r.flag("bResizeKeepAspect", js.bResizeKeepAspect);
    r.flag("bSetPPI", js.bSetPPI);
    r.integer("iSetPPI", js.iSetPPI);
    r.flag("bUndither", js.bUndither);

    AdjustmentSettings& adj = js.adjustments;
    for (const AdjustmentKey& k : kAdjustmentKeys) {
        auto v = r.num(k.name);
        if (!v) continue;
        float value = float(*v * 0.01);
        if (k.field == &AdjustmentSettings::gamma)
            adj.setGamma(float(*v * 0.01 + 1.0));
        else if (k.field == &AdjustmentSettings::sharpness)
            adj.setSharpness(value);
        else
            adj.setColour(k.field, value);
    }
    if (auto v = r.num("eOrientation")) adj.setOrientation(uint8_t(*v));

    if (auto v = r.num("eFrameType"); v && validFrameType(uint32_t(*v))) js.eFrameType = uint32_t(*v);
    if (js.eFrameType != 0) {
        if (auto v = r.num("iFrameWidth"); v && *v >= 0) js.iFrameWidth = *v;
        if (auto v = r.num("iFrameColorG")) setChannel(js.dwFrameColor, 8, *v);
        if (auto v = r.num("iFrameColorB")) setChannel(js.dwFrameColor, 0, *v);
        if (auto v = r.num("iFrameColorR")) setChannel(js.dwFrameColor, 16, *v);
        if (auto v = r.num("iFrameEdgeColorR")) setChannel(js.dwFrameEdgeClr, 16, *v);
        if (auto v = r.num("iFrameEdgeColorG")) setChannel(js.dwFrameEdgeClr, 8, *v);
        if (auto v = r.num("iFrameEdgeColorB")) setChannel(js.dwFrameEdgeClr, 0, *v);
        js.dwFrameColor |= 0xFF000000u;
        js.dwFrameEdgeClr |= 0xFF000000u;
    }

    r.flag("bShowMoreOptions", js.bShowMoreOptions);
    IndexSettings& ix = js.index;
    r.flag("bIndex", ix.bIndex);
    if (ix.bIndex == 1) {
        if (auto v = r.text(key("index.szIconSubdir"), kIconSubdirUnits)) ix.szIconSubdir = *v;
        r.size("index.iResizeX", ix.iResizeX);
        r.size("index.iResizeY", ix.iResizeY);
        r.flag("index.bResizeOnlyDown", ix.bResizeOnlyDown);
        r.size("index.iCols", ix.iCols);
        r.integer("index.iSpacing", ix.iSpacing);
        r.flag("index.bFileName", ix.bFileName);
        r.flag("index.bFileExt", ix.bFileExt);
        r.flag("index.bImageBorder", ix.bImageBorder);
        r.flag("index.bLinkToNew", ix.bLinkToNew);
        r.flag("index.bUseValidURIs", ix.bUseValidURIs);
        if (auto v = r.text(key("index.szBODY"), kIndexTextUnits)) ix.szBODY = indexText(*v);
        r.integer("index.eIconURL", ix.eIconURL);
        if (auto v = r.text(key("index.szIconURL"), kIndexTextUnits)) ix.szIconURL = indexText(*v);
        r.integer("index.eLinkURL", ix.eLinkURL);
        if (auto v = r.text(key("index.szLinkURL"), kIndexTextUnits)) ix.szLinkURL = indexText(*v);
        r.flag("index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
    }
    normalizeSlots(js, registry);
    return true;
}

bool presetSave(const JobSettings& js, const fs::path& file)
{
    ProfileFile f(file);
    Writer w(f);

    w.text(key("szOutDir"), pathToU16(js.szOutDir));
    w.flag("bFixedPalette", js.quantize.useFixedPalette);
    w.flag("bSharedPalette", js.quantize.useGivenPalette);
    w.flag("bDither", js.quantize.dither);
    uint32_t outFormats = std::clamp<uint32_t>(js.iOutFormats, 1, kMaxOutputFormats);
    w.num("iOutFormats", outFormats);
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        const OutputFormatSlot& slot = js.slots[size_t(i)];
        if (uint32_t(i) < outFormats) {
            w.num(slotKey("iFormatId", i), slot.iFormatId);
            w.num(slotKey("iColorFormat", i), int32_t(slot.iColorFormat));
            w.num(slotKey("iCompParam", i), slot.iCompParam);
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
    w.num("eResize", int32_t(js.eResize));
    w.num("i3ResizeFactor", js.i3ResizeFactor);
    w.num("iResizeX", int32_t(js.iResizeX));
    w.num("iResizeY", int32_t(js.iResizeY));
    w.num("eResizeMethod", int32_t(js.eResizeMethod));
    w.flag("bResizeOnlyDown", js.bResizeOnlyDown);
    w.flag("bResizeKeepAspect", js.bResizeKeepAspect);
    w.flag("bSetPPI", js.bSetPPI);
    w.num("iSetPPI", js.iSetPPI);
    w.flag("bUndither", js.bUndither);
    const AdjustmentSettings& adj = js.adjustments;
    for (const AdjustmentKey& k : kAdjustmentKeys) {
        double v = adj.*k.field;
        if (k.field == &AdjustmentSettings::gamma) v -= 1.0;
        w.num(k.name, hundredths(v));
    }
    w.num("eOrientation", adj.orientation);
    w.num("eFrameType", int32_t(js.eFrameType));
    if (js.eFrameType != 0) {
        w.num("iFrameWidth", js.iFrameWidth);
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
        w.num("index.iResizeX", int32_t(ix.iResizeX));
        w.num("index.iResizeY", int32_t(ix.iResizeY));
        w.flag("index.bResizeOnlyDown", ix.bResizeOnlyDown);
        w.num("index.iCols", ix.iCols);
        w.num("index.iSpacing", ix.iSpacing);
        w.flag("index.bFileName", ix.bFileName);
        w.flag("index.bFileExt", ix.bFileExt);
        w.flag("index.bLinkToNew", ix.bLinkToNew);
        w.flag("index.bImageBorder", ix.bImageBorder);
        w.flag("index.bUseValidURIs", ix.bUseValidURIs);
        w.text(key("index.szBODY"), cp1252ToU16(std::string_view(ix.szBODY).substr(0, kIndexTextMax)));
        w.num("index.eIconURL", int32_t(ix.eIconURL));
        w.text(key("index.szIconURL"), cp1252ToU16(std::string_view(ix.szIconURL).substr(0, kIndexTextMax)));
        w.num("index.eLinkURL", int32_t(ix.eLinkURL));
        w.text(key("index.szLinkURL"), cp1252ToU16(std::string_view(ix.szLinkURL).substr(0, kIndexTextMax)));
        w.flag("index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
    } else {
        for (const char* k : kIndexKeys) w.remove(k);
    }
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
    for (const std::string& n : names) out.push_back(utf8ToU16(n));
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
