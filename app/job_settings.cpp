#include "app/job_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/format.h"
#include "core/text.h"
#include "platform/settings_store.h"

namespace quillon {

namespace {

std::function<void(int)> g_firstStartHelp;

constexpr char kVersionValue[] = "VersionNumber";
constexpr uint32_t kVersionMaxBytes = 128;
constexpr uint32_t kSubFormatMaxBytes = 96;
constexpr uint32_t kIconSubdirMaxBytes = 520;
constexpr uint32_t kIndexTextMaxBytes = 256;
// The same limits in characters, without the NUL.
constexpr size_t kSubFormatMaxUnits = kSubFormatMaxBytes / 2 - 1;
constexpr size_t kIconSubdirMaxUnits = kIconSubdirMaxBytes / 2 - 1;

std::string slotName(const char* base, int slot) { return std::string(base) + char('0' + slot); }

void readFlag(const SettingsStore& s, const char* name, uint8_t& field)
{
    uint8_t v;
    if (s.readByte(name, v)) field = v ? 1 : 0;
}

template <class T>
void readInt(const SettingsStore& s, const char* name, T& field)
{
    static_assert(sizeof(T) == 4);
    uint32_t v;
    if (s.readDword(name, v)) field = T(v);
}

// The value, when `valid` accepts it: a store edited by hand, or written by
// another version, may hold anything.
template <class T, class Valid>
void readChecked(const SettingsStore& s, const char* name, T& field, Valid valid)
{
    uint32_t v;
    if (s.readDword(name, v) && valid(v)) field = T(v);
}

// A positive size that also reads as a positive signed number.
template <class T>
void readSize(const SettingsStore& s, const char* name, T& field)
{
    uint32_t v;
    if (s.readDword(name, v) && v > 0 && v <= uint32_t(INT32_MAX)) field = T(v);
}

bool readFloat(const SettingsStore& s, const char* name, float& out)
{
    uint32_t bits;
    if (!s.readDword(name, bits)) return false;
    float f;
    std::memcpy(&f, &bits, 4);
    if (!std::isfinite(f)) return false;
    out = f;
    return true;
}

uint32_t floatBits(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}

void rebuildList(RecentFolderList& list, const std::vector<std::string>& entries)
{
    list.block.fill(0);
    uint32_t pos = 0;
    list.count = 0;
    for (const std::string& e : entries) {
        std::memcpy(list.block.data() + pos, e.data(), e.size());
        pos += uint32_t(e.size()) + 1;
        ++list.count;
    }
    list.used = pos + 1;
}

// The UTF-8 bytes of a path cut to the last whole character that fits in
// maxBytes with its NUL.
std::string cutUtf8(const std::string& bytes, size_t maxBytes, bool* cut)
{
    *cut = bytes.size() + 1 > maxBytes;
    if (!*cut) return bytes;
    size_t end = maxBytes - 1;
    // Step back over continuation bytes so no character is split.
    while (end > 0 && (uint8_t(bytes[end]) & 0xC0) == 0x80) --end;
    return bytes.substr(0, end);
}

} // namespace

std::vector<std::string> RecentFolderList::entries() const
{
    std::vector<std::string> out;
    uint32_t pos = 0;
    uint32_t limit = std::min<uint32_t>(used, capacity);
    for (uint32_t i = 0; i < count && pos < limit; ++i) {
        const char* start = reinterpret_cast<const char*>(block.data() + pos);
        size_t len = strnlen(start, limit - pos);
        if (len == 0) break;
        out.emplace_back(start, len);
        pos += uint32_t(len) + 1;
    }
    return out;
}

void RecentFolderList::clear()
{
    block.fill(0);
    used = 1;
    count = 0;
}

JobSettings& jobSettings()
{
    static JobSettings settings;
    return settings;
}

void setFirstStartHelp(std::function<void(int)> open) { g_firstStartHelp = std::move(open); }

int compareVersions(std::u16string_view a, std::u16string_view b)
{
    auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            while (i < a.size() && a[i] == u'0') ++i;
            while (j < b.size() && b[j] == u'0') ++j;
            size_t si = i, sj = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            if (i - si != j - sj) return i - si < j - sj ? -1 : 1;
            int c = a.substr(si, i - si).compare(b.substr(sj, j - sj));
            if (c != 0) return c < 0 ? -1 : 1;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
        ++i, ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

bool validOutFormats(int64_t n) { return n >= 1 && n <= kMaxOutputFormats; }

bool validResizeMethod(int64_t filter) { return filter >= 1 && filter <= 8; }

bool validFrameType(uint32_t type) { return (type & 0xFF) <= 2; }

bool validFormatId(int64_t id, const FormatRegistry* registry)
{
    const FormatRegistry& r = registry ? *registry : formatRegistry();
    return id >= -1 && (r.count() == 0 || id < r.count());
}

void normalizeSlot(OutputFormatSlot& slot, const JobSettings& settings, const FormatRegistry* registry)
{
    const FormatRegistry& r = registry ? *registry : formatRegistry();
    if (slot.iFormatId < 0) return;
    auto writable = [&](int32_t i) {
        const FormatDescriptor* d = r.at(i);
        return d && d->createWriter && d->subFormatCount() > 0;
    };
    int32_t id = slot.iFormatId;
    while (id < r.count() && !writable(id)) ++id;
    if (id >= r.count()) {
        id = 0;
        while (id < r.count() && !writable(id)) ++id;
        if (id >= r.count()) return; // nothing can write at all
    }
    slot.iFormatId = id;
    const FormatDescriptor* d = r.at(id);
    int32_t sub = d->subFormatIndex(slot.szSubFormat);
    if (sub < 0) {
        sub = 0;
        slot.szSubFormat = d->subFormatNames[0];
    }
    uint32_t mask = d->subFormatCaps ? d->subFormatCaps[sub] : 0;
    uint32_t c = slot.iColorFormat;
    bool singleFlag = c != 0 && (c & (c - 1)) == 0 && (mask & c) != 0;
    if (c != CF_AUTO && !singleFlag) slot.iColorFormat = CF_AUTO;
    if (slot.iCompParam == 0) {
        switch (d->paramKind(uint32_t(sub))) {
        case PARAM_QUALITY: slot.iCompParam = settings.iLastQualityPercent; break;
        case PARAM_FACTOR: slot.iCompParam = settings.iLastXFactor; break;
        case PARAM_SIZE_KB: slot.iCompParam = settings.iLastSizeKB; break;
        default: break;
        }
    }
}

void normalizeSlots(JobSettings& settings, const FormatRegistry* registry)
{
    const FormatRegistry& r = registry ? *registry : formatRegistry();
    if (r.count() == 0) return;
    for (OutputFormatSlot& slot : settings.slots) normalizeSlot(slot, settings, &r);
}

void mruAddPath(RecentFolderList& list, const std::filesystem::path& path)
{
    if (path.empty()) return;
    bool cut;
    std::string entry = cutUtf8(path.native(), kRecentEntryMaxBytes, &cut);
    entry = entry.substr(0, entry.find('\0'));
    if (entry.empty()) return;
    std::vector<std::string> entries = list.entries();
    // Paths are compared exactly: two folders that differ in letter case are
    // two folders here.
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i] == entry) {
            if (i == 0) return;
            entries.erase(entries.begin() + ptrdiff_t(i));
            break;
        }
    uint32_t n = uint32_t(entry.size()) + 1;
    auto usedBy = [](const std::vector<std::string>& es) {
        uint32_t u = 1;
        for (const std::string& e : es) u += uint32_t(e.size()) + 1;
        return u;
    };
    uint32_t maxCount = std::min<uint32_t>(list.maxCount, 10);
    while (!entries.empty() && (entries.size() >= maxCount || usedBy(entries) + n >= list.capacity)) entries.pop_back();
    if (usedBy(entries) + n >= list.capacity) return;
    entries.insert(entries.begin(), std::move(entry));
    rebuildList(list, entries);
}

bool settingsLoadFrom(JobSettings& js, SettingsStore* store, const FormatRegistry* registry, bool writeBack)
{
    if (!store) return false;
    SettingsStore& s = *store;

    std::u16string version = u"0.0";
    s.readString(kVersionValue, version, kVersionMaxBytes);
    bool firstStart = false;
    if (compareVersions(version, kSettingsVersion) < 0) {
        firstStart = version == u"0.0";
        s.writeString(kVersionValue, kSettingsVersion);
    }

    // The recent folders. The block's last byte is forced to 0 so every scan
    // ends inside it; an entry that leaves no room for the list's final NUL,
    // or is longer than any entry the program writes, is dropped.
    {
        std::array<uint8_t, RecentFolderList::kCapacity> raw{};
        uint32_t size = uint32_t(raw.size());
        ValueType type;
        if (!s.query("LastPathsW", &type, raw.data(), &size)) raw.fill(0);
        raw.back() = 0;
        std::vector<std::string> kept;
        std::vector<int> keptIndex; // stored position -> kept position, -1 dropped
        uint32_t pos = 0, stored = 0;
        while (stored < 10 && pos < raw.size() && raw[pos] != 0) {
            const char* start = reinterpret_cast<const char*>(raw.data() + pos);
            size_t len = strnlen(start, raw.size() - pos);
            bool fits = pos + len + 1 < raw.size() && len + 1 <= kRecentEntryMaxBytes;
            keptIndex.push_back(fits ? int(kept.size()) : -1);
            if (fits) kept.emplace_back(start, len);
            pos += uint32_t(len) + 1;
            ++stored;
        }
        rebuildList(js.recentFolders, kept);
        uint32_t outPath = 0;
        s.readDword("iOutPath", outPath);
        int32_t at = int32_t(outPath);
        js.szOutDir.clear();
        if (at >= 0 && at < int32_t(keptIndex.size()) && keptIndex[size_t(at)] >= 0)
            js.szOutDir = std::filesystem::path(kept[size_t(keptIndex[size_t(at)])]);
    }

    readFlag(s, "bShowMoreOptions", js.bShowMoreOptions);
    readChecked(s, "iOutFormats", js.iOutFormats, [](uint32_t n) { return validOutFormats(int32_t(n)); });
    int32_t legacyFormat = 0;
    uint32_t legacyColour = 31;
    std::u16string legacySub = u"Default";
    {
        uint32_t v;
        if (s.readDword("iFormatId", v) && validFormatId(int32_t(v), registry)) legacyFormat = int32_t(v);
        s.readDword("iColorFormat", legacyColour);
        s.readString("szSubFormat", legacySub, kSubFormatMaxBytes);
    }
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        OutputFormatSlot& slot = js.slots[size_t(i)];
        slot.iFormatId = legacyFormat;
        slot.iColorFormat = legacyColour;
        slot.iCompParam = 0;
        slot.szSubFormat = legacySub;
        uint32_t v;
        if (s.readDword(slotName("iFormatId", i), v) && validFormatId(int32_t(v), registry)) slot.iFormatId = int32_t(v);
        s.readDword(slotName("iColorFormat", i), slot.iColorFormat);
        readInt(s, slotName("iCompParam", i).c_str(), slot.iCompParam);
        s.readString(slotName("szSubFormat", i), slot.szSubFormat, kSubFormatMaxBytes);
    }

    readFlag(s, "bMultiOutInSubDirs", js.bMultiOutInSubDirs);
    readFlag(s, "bSaveInSrcDirs", js.bSaveInSrcDirs);
    readFlag(s, "bDeleteSrcFiles", js.bDeleteSrcFiles);
    readFlag(s, "bNoOverwritePrompt", js.bNoOverwritePrompt);
    readFlag(s, "bNoErrorPrompts", js.bNoErrorPrompts);
    readFlag(s, "bSkipExisting", js.bSkipExisting);
    readFlag(s, "bCreateLogFile", js.bCreateLogFile);
    readFlag(s, "bKeepSubDirs", js.bKeepSubDirs);
    readInt(s, "iKeepSubDirLevels", js.iKeepSubDirLevels);
    readFlag(s, "bUseAsciiFileNames", js.bUseAsciiFileNames);
    readInt(s, "iLastQualityPercent", js.iLastQualityPercent);
    readInt(s, "iLastXFactor", js.iLastXFactor);
    readInt(s, "iLastSizeKB", js.iLastSizeKB);
    readInt(s, "eResize", js.eResize);
    readSize(s, "i3ResizeFactor", js.i3ResizeFactor);
    readChecked(s, "eResizeMethod", js.eResizeMethod, validResizeMethod);
    readSize(s, "iResizeX", js.iResizeX);
    readSize(s, "iResizeY", js.iResizeY);
    readFlag(s, "bResizeOnlyDown", js.bResizeOnlyDown);
    readFlag(s, "bResizeKeepAspect", js.bResizeKeepAspect);
    readFlag(s, "bSetPPI", js.bSetPPI);
    readInt(s, "iSetPPI", js.iSetPPI);
    readFlag(s, "bUndither", js.bUndither);

    AdjustmentSettings& adj = js.adjustments;
    struct ColourValue {
        const char* name;
        float AdjustmentSettings::*field;
    };
    static const ColourValue kColours[] = {
        {"fContrast", &AdjustmentSettings::contrast}, {"fBrightness", &AdjustmentSettings::brightness},
        {"fSaturation", &AdjustmentSettings::saturation}, {"fRed", &AdjustmentSettings::red},
        {"fGreen", &AdjustmentSettings::green}, {"fBlue", &AdjustmentSettings::blue}};
    float f;
    for (const ColourValue& c : kColours)
        if (readFloat(s, c.name, f)) adj.setColour(c.field, f);
    if (readFloat(s, "fSharpness", f)) adj.setSharpness(f);
    if (readFloat(s, "fGamma", f)) adj.setGamma(f);
    {
        uint32_t v;
        if (s.readDword("eOrientation", v)) adj.setOrientation(uint8_t(v));
    }

    readChecked(s, "eFrameType", js.eFrameType, validFrameType);
    readChecked(s, "iFrameWidth", js.iFrameWidth, [](uint32_t v) { return int32_t(v) >= 0; });
    readInt(s, "dwFrameColor", js.dwFrameColor);
    readInt(s, "dwFrameEdgeClr", js.dwFrameEdgeClr);

    IndexSettings& ix = js.index;
    readFlag(s, "index.bIndex", ix.bIndex);
    s.readString("index.szIconSubdir", ix.szIconSubdir, kIconSubdirMaxBytes);
    readSize(s, "index.iResizeX", ix.iResizeX);
    readSize(s, "index.iResizeY", ix.iResizeY);
    readFlag(s, "index.bResizeOnlyDown", ix.bResizeOnlyDown);
    readSize(s, "index.iCols", ix.iCols);
    readInt(s, "index.iSpacing", ix.iSpacing);
    readFlag(s, "index.bFileName", ix.bFileName);
    readFlag(s, "index.bFileExt", ix.bFileExt);
    readFlag(s, "index.bImageRes", ix.bImageRes);
    readFlag(s, "index.bImageBorder", ix.bImageBorder);
    readFlag(s, "index.bLinkToNew", ix.bLinkToNew);
    readFlag(s, "index.bUseValidURIs", ix.bUseValidURIs);
    s.readString8("index.szBODY", ix.szBODY, kIndexTextMaxBytes);
    readInt(s, "index.eIconURL", ix.eIconURL);
    s.readString8("index.szIconURL", ix.szIconURL, kIndexTextMaxBytes);
    readInt(s, "index.eLinkURL", ix.eLinkURL);
    s.readString8("index.szLinkURL", ix.szLinkURL, kIndexTextMaxBytes);
    readFlag(s, "index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
    readFlag(s, "bPreview", js.bPreview);

    uint8_t dither = js.quantize.dither;
    readFlag(s, "bDither", dither);
    js.quantize.dither = js.quantize.ditherTo8Bit = js.quantize.ditherHighColour = dither;
    readFlag(s, "bFixedPalette", js.quantize.useFixedPalette);
    readFlag(s, "bSharedPalette", js.quantize.useGivenPalette);
    readInt(s, "nConverted", js.nConverted);

    normalizeSlots(js, registry);
    if (writeBack) s.commit();
    if (firstStart && g_firstStartHelp) g_firstStartHelp(kHelpTopicMain);
    return firstStart;
}

void settingsSaveTo(JobSettings& js, SettingsStore* store)
{
    if (!store) return;
    SettingsStore& s = *store;

    // The output folder becomes (or stays) a recent entry. A folder too long
    // to keep whole is not stored at all: a cut entry would name another
    // folder, and the next start would write there.
    int32_t outPath = 0;
    const std::string& dir = js.szOutDir.native();
    if (!dir.empty()) {
        std::vector<std::string> entries = js.recentFolders.entries();
        auto it = std::find(entries.begin(), entries.end(), dir);
        if (it != entries.end()) {
            outPath = int32_t(it - entries.begin());
        } else if (dir.size() + 1 > kRecentEntryMaxBytes || dir.find('\0') != std::string::npos) {
            outPath = -1;
        } else {
            mruAddPath(js.recentFolders, js.szOutDir);
            outPath = 0;
        }
    }
    const RecentFolderList& list = js.recentFolders;
    uint32_t used = std::min(list.used, list.capacity);
    s.writeBinary("LastPathsW", list.block.data(), used <= 1 ? 0 : used);
    s.writeDword("iOutPath", uint32_t(outPath));

    s.writeByte("bShowMoreOptions", js.bShowMoreOptions);
    s.writeDword("iOutFormats", js.iOutFormats);
    s.deleteValue("iFormatId");
    s.deleteValue("iColorFormat");
    s.deleteValue("szSubFormat");
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        const OutputFormatSlot& slot = js.slots[size_t(i)];
        s.writeDword(slotName("iFormatId", i), uint32_t(slot.iFormatId));
        s.writeDword(slotName("iColorFormat", i), slot.iColorFormat);
        // 0 means "none given": the number stored before stays for later.
        if (slot.iCompParam != 0) s.writeDword(slotName("iCompParam", i), uint32_t(slot.iCompParam));
        s.writeString(slotName("szSubFormat", i), std::u16string_view(slot.szSubFormat).substr(0, kSubFormatMaxUnits));
    }

    s.writeByte("bMultiOutInSubDirs", js.bMultiOutInSubDirs);
    s.writeByte("bSaveInSrcDirs", js.bSaveInSrcDirs);
    s.writeByte("bDeleteSrcFiles", js.bDeleteSrcFiles);
    s.writeByte("bNoOverwritePrompt", js.bNoOverwritePrompt);
    s.writeByte("bNoErrorPrompts", js.bNoErrorPrompts);
    s.writeByte("bSkipExisting", js.bSkipExisting);
    s.writeByte("bCreateLogFile", js.bCreateLogFile);
    s.writeByte("bKeepSubDirs", js.bKeepSubDirs);
    s.writeDword("iKeepSubDirLevels", uint32_t(js.iKeepSubDirLevels));
    s.writeByte("bUseAsciiFileNames", js.bUseAsciiFileNames);
    s.writeDword("iLastQualityPercent", uint32_t(js.iLastQualityPercent));
    s.writeDword("iLastXFactor", uint32_t(js.iLastXFactor));
    s.writeDword("iLastSizeKB", uint32_t(js.iLastSizeKB));
    s.writeDword("eResize", js.eResize);
    s.writeDword("i3ResizeFactor", uint32_t(js.i3ResizeFactor));
    s.writeDword("eResizeMethod", js.eResizeMethod);
    s.writeDword("iResizeX", js.iResizeX);
    s.writeDword("iResizeY", js.iResizeY);
    s.writeByte("bResizeOnlyDown", js.bResizeOnlyDown);
    s.writeByte("bResizeKeepAspect", js.bResizeKeepAspect);
    s.writeByte("bSetPPI", js.bSetPPI);
    s.writeDword("iSetPPI", uint32_t(js.iSetPPI));
    s.writeByte("bUndither", js.bUndither);
    const AdjustmentSettings& adj = js.adjustments;
    s.writeDword("fContrast", floatBits(adj.contrast));
    s.writeDword("fBrightness", floatBits(adj.brightness));
    s.writeDword("fSharpness", floatBits(adj.sharpness));
    s.writeDword("fSaturation", floatBits(adj.saturation));
    s.writeDword("fGamma", floatBits(adj.gamma));
    s.writeDword("fRed", floatBits(adj.red));
    s.writeDword("fGreen", floatBits(adj.green));
    s.writeDword("fBlue", floatBits(adj.blue));
    s.writeDword("eOrientation", adj.orientation);
    s.writeDword("eFrameType", js.eFrameType);
    s.writeDword("iFrameWidth", uint32_t(js.iFrameWidth));
    s.writeDword("dwFrameColor", js.dwFrameColor);
    s.writeDword("dwFrameEdgeClr", js.dwFrameEdgeClr);
    const IndexSettings& ix = js.index;
    s.writeByte("index.bIndex", ix.bIndex);
    s.writeString("index.szIconSubdir", std::u16string_view(ix.szIconSubdir).substr(0, kIconSubdirMaxUnits));
    s.writeDword("index.iResizeX", ix.iResizeX);
    s.writeDword("index.iResizeY", ix.iResizeY);
    s.writeByte("index.bResizeOnlyDown", ix.bResizeOnlyDown);
    s.writeDword("index.iCols", uint32_t(ix.iCols));
    s.writeDword("index.iSpacing", uint32_t(ix.iSpacing));
    s.writeByte("index.bFileName", ix.bFileName);
    s.writeByte("index.bFileExt", ix.bFileExt);
    s.writeByte("index.bImageRes", ix.bImageRes);
    s.writeByte("index.bImageBorder", ix.bImageBorder);
    s.writeByte("index.bLinkToNew", ix.bLinkToNew);
    s.writeByte("index.bUseValidURIs", ix.bUseValidURIs);
    s.writeString8("index.szBODY", std::string_view(ix.szBODY).substr(0, kIndexTextMax));
    s.writeDword("index.eIconURL", ix.eIconURL);
    s.writeString8("index.szIconURL", std::string_view(ix.szIconURL).substr(0, kIndexTextMax));
    s.writeDword("index.eLinkURL", ix.eLinkURL);
    s.writeString8("index.szLinkURL", std::string_view(ix.szLinkURL).substr(0, kIndexTextMax));
    s.writeByte("index.bUseAsciiFileNames", ix.bUseAsciiFileNames);
    s.writeByte("bPreview", js.bPreview);
    s.writeByte("bDither", js.quantize.dither);
    s.writeByte("bFixedPalette", js.quantize.useFixedPalette);
    s.writeByte("bSharedPalette", js.quantize.useGivenPalette);
    s.writeDword("nConverted", js.nConverted);
    s.commit();
}

std::vector<std::string> settingsValueNames()
{
    // Saved from a record that leaves nothing out: a slot's number of 0 is
    // not written, nor is an empty output folder.
    JobSettings js;
    js.szOutDir = "/";
    for (OutputFormatSlot& slot : js.slots) slot.iCompParam = 1;
    std::unique_ptr<SettingsStore> store = SettingsStore::fromBytes(nullptr, 0);
    if (!store) return {};
    settingsSaveTo(js, store.get());
    std::vector<std::string> names = store->names();
    names.push_back(kVersionValue);
    return names;
}

int settingsLoad(bool writeBack)
{
    JobSettings& js = jobSettings();
    setGlobalQuantizeOptions(&js.quantize);
    std::unique_ptr<SettingsStore> store = SettingsStore::open(kSettingsKey);
    settingsLoadFrom(js, store.get(), nullptr, writeBack);
    return 1;
}

void settingsSave()
{
    std::unique_ptr<SettingsStore> store = SettingsStore::open(kSettingsKey);
    settingsSaveTo(jobSettings(), store.get());
}

} // namespace quillon
