#pragma once
// INI ("profile") files as the presets use them: sections and keys matched
// without regard to ASCII letter case, the first match winning; values
// trimmed of blanks with one pair of enclosing quotes removed; ';' starts a
// comment line; LF and CRLF lines. Files are read as UTF-16 (with a byte
// order mark), UTF-8 or Windows-1252 and always written as UTF-8.
//
// The whole file is held in memory: reads see the edits made so far, and
// save() writes everything at once, atomically.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class ProfileFile {
public:
    ProfileFile() = default;
    // Reads the file; a missing, oversized or unreadable file reads as empty
    // (and readable() is false).
    explicit ProfileFile(const std::filesystem::path& file);
    // The same from bytes already in memory.
    static ProfileFile fromBytes(const uint8_t* data, size_t size);

    bool readable() const { return readable_; }

    // The value of a key, or nothing when the section or key is missing.
    std::optional<std::u16string> get(std::u16string_view section, std::u16string_view key) const;
    // The value cut to maxUnits - 1 characters, or the default.
    std::u16string getString(std::u16string_view section, std::u16string_view key, std::u16string_view def,
                             size_t maxUnits = SIZE_MAX) const;
    // A signed decimal number (wrapping like a 32-bit register), or the
    // default when the key is missing or holds no number.
    int32_t getInt(std::u16string_view section, std::u16string_view key, int32_t def) const;
    std::optional<int32_t> getInt(std::u16string_view section, std::u16string_view key) const;

    // Replaces the key's line in place or appends it to its section (creating
    // the section at the end); a null value deletes the key. Values that
    // would not read back as written (leading or trailing blanks or quotes)
    // are quoted; a value with a line break cannot be kept, so the key is
    // deleted instead and false returned.
    bool set(std::u16string_view section, std::u16string_view key, const std::u16string* value);
    bool set(std::u16string_view section, std::u16string_view key, std::u16string_view value)
    {
        std::u16string v(value);
        return set(section, key, &v);
    }
    bool setInt(std::u16string_view section, std::u16string_view key, int32_t value);
    void remove(std::u16string_view section, std::u16string_view key) { set(section, key, nullptr); }

    // The file's text as it would be saved.
    std::string text() const;
    bool save(const std::filesystem::path& file) const;
    // Whether a header names the section, even one that holds no key.
    bool hasSection(std::u16string_view section) const { return findSection(section) >= 0; }
    // The keys of the section get() reads, as the file spells them, in file
    // order (a key given twice, twice); empty without the section.
    std::vector<std::u16string> keys(std::u16string_view section) const;

private:
    void parse(std::u16string_view text);
    // Index of the first line of the first matching section's header, or -1.
    ptrdiff_t findSection(std::u16string_view section) const;
    // Index of the key's line within the section starting at header, or -1.
    ptrdiff_t findKey(ptrdiff_t header, std::u16string_view key) const;
    ptrdiff_t sectionEnd(ptrdiff_t header) const;

    std::vector<std::u16string> lines_;
    bool crlf_ = false;
    bool readable_ = false;
};

// Decodes the bytes of a text file: UTF-16 with either byte order mark,
// UTF-8 (with or without its mark) or, when the bytes are not UTF-8,
// Windows-1252.
std::u16string decodeTextFile(const uint8_t* data, size_t size);

} // namespace quillon
