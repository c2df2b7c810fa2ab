#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/byte_cursor.h"
#include "core/text.h"
#include "platform/known_folders.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

// File layout: magic, version, value count, the values (type, name, data),
// then a CRC-32 of everything before it, so that a cut or damaged file is
// recognised as a whole instead of yielding half-read values.
constexpr uint8_t kMagic[4] = {'Q', 'S', 'T', 'O'};
constexpr uint32_t kFormatVersion = 1;
constexpr uint32_t kMaxValues = 65536;
constexpr uint32_t kMaxNameBytes = 255;
constexpr uint32_t kMaxValueBytes = 1u << 20;
constexpr size_t kMaxFileBytes = size_t(64) << 20;

void (*g_commitHook)() = nullptr;

int systemNoReplaceRename(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

SettingsStore::NoReplaceRename g_noReplaceRename = systemNoReplaceRename;

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

bool writeAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool validType(uint8_t t)
{
    return t == uint8_t(ValueType::String) || t == uint8_t(ValueType::Binary) || t == uint8_t(ValueType::Dword);
}

// Bytes 0x80..0x9F of Windows-1252 and the characters they stand for.
char16_t cp1252High(uint8_t b)
{
    char16_t out[2] = {0, 0};
    char in[2] = {char(b), 0};
    latin1ToWide(out, in, 2);
    return out[0];
}

} // namespace

std::u16string cp1252ToU16(std::string_view bytes) { return latin1ToU16(bytes); }

std::string u16ToCp1252(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.push_back(char(c));
            continue;
        }
        bool mapped = false;
        for (int b = 0x80; b <= 0x9F && !mapped; ++b)
            if (cp1252High(uint8_t(b)) == c) {
                out.push_back(char(b));
                mapped = true;
            }
        if (mapped) continue;
        char16_t one[2] = {c, 0};
        char approx[8] = {};
        wideToAnsiApprox(approx, one, sizeof approx);
        out.push_back(approx[0] ? approx[0] : '?');
    }
    return out;
}

bool readWholeFile(const fs::path& file, std::vector<uint8_t>& out, size_t maxBytes)
{
    out.clear();
    // O_NONBLOCK: a named pipe must be refused, not waited on.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    uint8_t chunk[65536];
    for (;;) {
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            out.clear();
            return false;
        }
        if (r == 0) break;
        // The file may grow under us; never hold more than the limit.
        if (out.size() + size_t(r) > maxBytes) {
            ::close(fd);
            out.clear();
            return false;
        }
        out.insert(out.end(), chunk, chunk + r);
    }
    ::close(fd);
    return true;
}

bool writeFileAtomically(const fs::path& link, const void* data, size_t size)
{
    // A symbolic link (a settings file kept with the user's dot files) stays
    // a link: the file it points to is replaced.
    fs::path file = link;
    std::error_code ec;
    for (int depth = 0; depth < 16 && fs::is_symlink(file, ec); ++depth) {
        fs::path target = fs::read_symlink(file, ec);
        if (ec) break;
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    fs::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    std::string tmpl = (folder / ("." + file.filename().native() + ".XXXXXX")).native();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return false;
    bool ok = writeAll(fd, static_cast<const uint8_t*>(data), size);
    // Keep the permissions a plain file would get rather than mkstemp's 0600
    // only when the old file was readable by others; otherwise stay private.
    struct stat old;
    if (ok && ::stat(file.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && g_commitHook) g_commitHook();
    ok = ok && ::rename(tmpl.c_str(), file.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.c_str());
        return false;
    }
    int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

fs::path settingsStorePath(const fs::path& folder, std::string_view keyPath)
{
    if (folder.empty()) return {};
    std::string_view rest = keyPath;
    constexpr std::string_view kRoot = "Software\\";
    if (rest.size() >= kRoot.size() && equalsNoCase(rest.substr(0, kRoot.size()), kRoot)) rest.remove_prefix(kRoot.size());
    fs::path out = folder;
    while (true) {
        size_t cut = rest.find('\\');
        std::string_view part = rest.substr(0, cut);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos) return {};
        out /= std::string(part);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return out / "settings";
}

namespace {

// Moves a damaged file to "<name>.bad", or "<name>.bad.2" and on when that
// is taken: a second damaged file is kept beside the first, never over it,
// since either may be all that is left of someone's settings.
std::error_code moveAside(const fs::path& file, fs::path& bad)
{
    constexpr int kMaxKept = 1000;
    for (int n = 1; n <= kMaxKept; ++n) {
        bad = file;
        bad += n == 1 ? std::string(".bad") : ".bad." + std::to_string(n);
        if (g_noReplaceRename(file.c_str(), bad.c_str()) == 0) return {};
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return std::error_code(errno, std::generic_category());
        // A file system that cannot refuse to replace: look first.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(bad, ec))) continue;
        fs::rename(file, bad, ec);
        return ec;
    }
    return std::make_error_code(std::errc::file_exists);
}

} // namespace

std::unique_ptr<SettingsStore> SettingsStore::open(std::string_view keyPath)
{
    fs::path file = settingsStorePath(roamingAppDataFolder(), keyPath);
    if (file.empty()) return nullptr;
    return openFile(file);
}

std::unique_ptr<SettingsStore> SettingsStore::openFile(const fs::path& file)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (!fs::is_directory(file.parent_path(), ec)) return nullptr;
    std::unique_ptr<SettingsStore> store(new (std::nothrow) SettingsStore);
    if (!store) return nullptr;
    store->file_ = file;
    std::vector<uint8_t> bytes;
    struct stat st {};
    const bool present = ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (present && (!readWholeFile(file, bytes, kMaxFileBytes) || !store->parse(bytes))) {
        // Unusable contents read as a first start. They may still be all
        // that is left of someone's settings, so they go aside (one
        // generation) before anything can replace them.
        store->values_.clear();
        store->dirty_ = true;
        fs::path bad;
        ec = moveAside(file, bad);
        if (ec) {
            store->keepDamaged_ = true;
            std::fprintf(stderr, "Quillon: the settings file %s is damaged and cannot be moved aside (%s); "
                                 "the defaults are used and the file is left as it is\n",
                         file.c_str(), ec.message().c_str());
        } else {
            std::fprintf(stderr, "Quillon: the settings file %s is damaged; it is kept as %s and the defaults "
                                 "are used\n",
                         file.c_str(), bad.c_str());
        }
    }
    return store;
}

std::unique_ptr<SettingsStore> SettingsStore::fromBytes(const uint8_t* data, size_t size)
{
    std::unique_ptr<SettingsStore> store(new (std::nothrow) SettingsStore);
    if (!store) return nullptr;
    std::vector<uint8_t> bytes(data, data + size);
    if (!store->parse(bytes)) store->values_.clear();
    return store;
}

bool SettingsStore::parse(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 16) return false;
    size_t body = bytes.size() - 4;
    ByteCursor tail(bytes.data() + body, 4);
    uint32_t crc = tail.u32le();
    if (crc != uint32_t(crc32(0, bytes.data(), uInt(body)))) return false;
    ByteCursor in(bytes.data(), body);
    const uint8_t* magic = in.take(4);
    if (!magic || std::memcmp(magic, kMagic, 4) != 0) return false;
    if (in.u32le() != kFormatVersion) return false;
    uint32_t count = in.u32le();
    if (count > kMaxValues) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t type = in.u8();
        uint32_t nameLen = in.u8();
        const uint8_t* name = in.take(nameLen);
        uint32_t size = in.u32le();
        if (in.overrun() || !name || nameLen == 0 || !validType(type) || size > kMaxValueBytes) return false;
        const uint8_t* data = in.take(size);
        if (!data) return false;
        std::string_view n(reinterpret_cast<const char*>(name), nameLen);
        if (find(n)) continue; // first of two equal names wins
        values_.push_back(Value{std::string(n), ValueType(type), std::vector<uint8_t>(data, data + size)});
    }
    return !in.overrun() && in.atEnd();
}

std::vector<uint8_t> SettingsStore::serialize() const
{
    std::vector<uint8_t> out(kMagic, kMagic + 4);
    putU32(out, kFormatVersion);
    putU32(out, uint32_t(values_.size()));
    for (const Value& v : values_) {
        out.push_back(uint8_t(v.type));
        out.push_back(uint8_t(v.name.size()));
        out.insert(out.end(), v.name.begin(), v.name.end());
        putU32(out, uint32_t(v.data.size()));
        out.insert(out.end(), v.data.begin(), v.data.end());
    }
    putU32(out, uint32_t(crc32(0, out.data(), uInt(out.size()))));
    return out;
}

std::vector<std::string> SettingsStore::names() const
{
    std::vector<std::string> out;
    for (const Value& v : values_) out.push_back(v.name);
    return out;
}

const SettingsStore::Value* SettingsStore::find(std::string_view name) const
{
    for (const Value& v : values_)
        if (equalsNoCase(std::string_view(v.name), name)) return &v;
    return nullptr;
}

void SettingsStore::put(std::string_view name, ValueType type, const void* data, uint32_t size)
{
    if (name.empty() || name.size() > kMaxNameBytes || size > kMaxValueBytes) return;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (Value& v : values_)
        if (equalsNoCase(std::string_view(v.name), name)) {
            v.type = type;
            v.data.assign(p, p + size);
            dirty_ = true;
            return;
        }
    values_.push_back(Value{std::string(name), type, std::vector<uint8_t>(p, p + size)});
    dirty_ = true;
}

bool SettingsStore::query(std::string_view name, ValueType* type, void* data, uint32_t* size) const
{
    const Value* v = find(name);
    if (!v || !size) return false;
    uint32_t have = *size;
    *size = uint32_t(v->data.size());
    if (type) *type = v->type;
    if (v->data.size() > have) return false;
    if (data && !v->data.empty()) std::memcpy(data, v->data.data(), v->data.size());
    return true;
}

bool SettingsStore::readByte(std::string_view name, uint8_t& out) const
{
    const Value* v = find(name);
    if (!v || v->data.size() != 1) return false;
    out = v->data[0];
    return true;
}

bool SettingsStore::readDword(std::string_view name, uint32_t& out) const
{
    const Value* v = find(name);
    if (!v || v->data.size() != 4) return false;
    ByteCursor in(v->data.data(), 4);
    out = in.u32le();
    return true;
}

namespace {
// The UTF-16 text of a stored string, up to its first NUL (a value stored
// without one ends with its data).
std::u16string storedText(const std::vector<uint8_t>& data)
{
    std::u16string text;
    ByteCursor in(data.data(), data.size() & ~size_t(1));
    while (!in.atEnd()) {
        char16_t c = char16_t(in.u16le());
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}
} // namespace

bool SettingsStore::readString(std::string_view name, std::u16string& out, uint32_t maxBytes) const
{
    const Value* v = find(name);
    if (!v || v->data.size() > maxBytes) return false;
    out = storedText(v->data);
    return true;
}

bool SettingsStore::readString8(std::string_view name, std::string& out, uint32_t maxBytes) const
{
    const Value* v = find(name);
    if (!v) return false;
    std::string text = u16ToCp1252(storedText(v->data));
    if (uint64_t(text.size()) + 1 > maxBytes) return false;
    out = std::move(text);
    return true;
}

void SettingsStore::writeBinary(std::string_view name, const void* data, uint32_t size)
{
    put(name, ValueType::Binary, data, size);
}

void SettingsStore::writeDword(std::string_view name, uint32_t value)
{
    uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    put(name, ValueType::Dword, b, 4);
}

void SettingsStore::writeString(std::string_view name, std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        if (c == 0) break;
        bytes.push_back(uint8_t(c));
        bytes.push_back(uint8_t(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    put(name, ValueType::String, bytes.data(), uint32_t(bytes.size()));
}

void SettingsStore::writeString8(std::string_view name, std::string_view cp1252)
{
    writeString(name, cp1252ToU16(cp1252.substr(0, cp1252.find('\0'))));
}

void SettingsStore::deleteValue(std::string_view name)
{
    for (auto it = values_.begin(); it != values_.end(); ++it)
        if (equalsNoCase(std::string_view(it->name), name)) {
            values_.erase(it);
            dirty_ = true;
            return;
        }
}

bool SettingsStore::commit()
{
    if (!dirty_) return true;
    if (file_.empty() || keepDamaged_) return false;
    std::vector<uint8_t> bytes = serialize();
    if (!writeFileAtomically(file_, bytes.data(), bytes.size())) return false;
    dirty_ = false;
    return true;
}

void SettingsStore::setCommitHook(void (*hook)()) { g_commitHook = hook; }

void SettingsStore::setNoReplaceRename(NoReplaceRename rename)
{
    g_noReplaceRename = rename ? rename : systemNoReplaceRename;
}

} // namespace quillon
