#pragma once
// The per-user settings store: one key of named values (binary, 32-bit and
// text), kept in memory while open and written back as a whole, atomically,
// by commit(). Value names match without regard to ASCII letter case.
//
// Reads behave like a sized query: a value that is absent, larger than the
// caller's buffer, or (for fixed-size reads) of another size leaves the
// caller's default untouched.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

enum class ValueType : uint8_t { String = 1, Binary = 3, Dword = 4 };

class SettingsStore {
public:
    // The store of a key such as "Software\Brevik-Software\Quillon 5", kept
    // under the roaming application data folder. Null when there is no such
    // folder or it cannot be created.
    static std::unique_ptr<SettingsStore> open(std::string_view keyPath);
    // The store kept in one given file; its folder is created when missing.
    // A missing, truncated or corrupt file opens as an empty store; a
    // damaged one is first renamed to "<name>.bad" ("<name>.bad.2" and on
    // when that is taken: an older one is never replaced), with a line on
    // standard error. When it cannot be moved, commit() leaves it in place.
    static std::unique_ptr<SettingsStore> openFile(const std::filesystem::path& file);

    // A store read from bytes, tied to no file (commit() fails).
    static std::unique_ptr<SettingsStore> fromBytes(const uint8_t* data, size_t size);

    const std::filesystem::path& file() const { return file_; }
    size_t valueCount() const { return values_.size(); }

    // Sized query: copies the value's bytes into data when they fit in
    // *size bytes; *size becomes the value's size either way. False when the
    // value is absent or does not fit (data is then untouched).
    bool query(std::string_view name, ValueType* type, void* data, uint32_t* size) const;

    // Exactly-sized reads: false (out untouched) unless the value holds
    // exactly 1 or 4 bytes.
    bool readByte(std::string_view name, uint8_t& out) const;
    bool readDword(std::string_view name, uint32_t& out) const;
    // Text stored as UTF-16 with its NUL; maxBytes bounds the stored size,
    // NUL included, as a buffer of that many bytes would.
    bool readString(std::string_view name, std::u16string& out, uint32_t maxBytes) const;
    // The same text seen through an 8-bit (Windows-1252) interface; maxBytes
    // counts the 8-bit bytes with their NUL.
    bool readString8(std::string_view name, std::string& out, uint32_t maxBytes) const;

    void writeBinary(std::string_view name, const void* data, uint32_t size);
    void writeByte(std::string_view name, uint8_t value) { writeBinary(name, &value, 1); }
    void writeDword(std::string_view name, uint32_t value);
    void writeString(std::string_view name, std::u16string_view text);
    void writeString8(std::string_view name, std::string_view cp1252);
    void deleteValue(std::string_view name);
    bool hasValue(std::string_view name) const { return find(name) != nullptr; }
    // The names of the values held, in the order they were first written.
    std::vector<std::string> names() const;

    // Writes the store to its file when anything changed: a temporary file
    // beside it, flushed to disk, then renamed over it, so a crash at any
    // moment leaves either the old or the new contents. False on failure.
    bool commit();

    // Hook run after the temporary file is complete and before the rename
    // (tests use it to stop the process at that moment).
    static void setCommitHook(void (*hook)());

    // The rename that moves a damaged file aside without replacing what is
    // at its new name: 0, or -1 with errno (EEXIST when that name is
    // taken). Null restores the system's. Tests give one that fails as on a
    // file system that cannot refuse to replace (EINVAL), to reach the way
    // taken there.
    using NoReplaceRename = int (*)(const char* from, const char* to);
    static void setNoReplaceRename(NoReplaceRename rename);

private:
    struct Value {
        std::string name;
        ValueType type;
        std::vector<uint8_t> data;
    };
    const Value* find(std::string_view name) const;
    void put(std::string_view name, ValueType type, const void* data, uint32_t size);
    bool parse(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> serialize() const;

    std::filesystem::path file_;
    std::vector<Value> values_;
    bool dirty_ = false;
    bool keepDamaged_ = false;
};

// Where the store of a key lives: "Software\A\B" becomes <folder>/A/B/settings.
// Empty for a key with an empty, "." or ".." component.
std::filesystem::path settingsStorePath(const std::filesystem::path& folder, std::string_view keyPath);

// Writes bytes to a file atomically (temporary file in the same folder,
// fsync, rename, fsync of the folder). False when any step fails; the old
// file is then untouched.
bool writeFileAtomically(const std::filesystem::path& file, const void* data, size_t size);

// Reads a whole file of at most maxBytes; false when it is missing, larger or
// unreadable.
bool readWholeFile(const std::filesystem::path& file, std::vector<uint8_t>& out, size_t maxBytes);

// Windows-1252 text to UTF-16 and back; characters without a Windows-1252
// byte are approximated (a base letter or "?").
std::u16string cp1252ToU16(std::string_view bytes);
std::string u16ToCp1252(std::u16string_view text);

} // namespace quillon
