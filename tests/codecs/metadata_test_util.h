#pragma once
// Helpers of the metadata tests: JPEG files tagged by exiftool, the raw
// segments inside them, and exiftool's JSON read back as text values.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/image_info.h"
#include "core/text.h"
#include "support/quiet_batch_ui.h"
#include "support/test_support.h"

namespace quillon::test::meta {

// A small JPEG made by ImageMagick, with no metadata of its own.
inline std::vector<uint8_t> plainJpeg(const TempDir& dir)
{
    std::filesystem::path p = dir / "plain.jpg";
    if (!std::filesystem::exists(p)) run("convert -size 8x8 xc:gray -strip " + shellQuote(p.string()));
    return readFile(p);
}

// The payload of the first APPn/COM segment with `marker` whose data begins
// with `prefix`, without the prefix; empty when there is none.
inline std::vector<uint8_t> jpegSegment(const std::vector<uint8_t>& file, uint8_t marker, const std::string& prefix)
{
    size_t pos = 2;
    while (pos + 4 <= file.size() && file[pos] == 0xFF) {
        uint8_t m = file[pos + 1];
        if (m == 0xDA || m == 0xD9) break;
        size_t len = size_t(file[pos + 2] << 8 | file[pos + 3]);
        if (len < 2 || pos + 2 + len > file.size()) break;
        const uint8_t* data = file.data() + pos + 4;
        size_t n = len - 2;
        if (m == marker && n >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data))
            return std::vector<uint8_t>(data + prefix.size(), data + n);
        pos += 2 + len;
    }
    return {};
}

// `jpeg` with one more segment right after SOI.
inline std::vector<uint8_t> withSegment(const std::vector<uint8_t>& jpeg, uint8_t marker, const std::string& prefix,
                                        const std::vector<uint8_t>& payload)
{
    size_t len = prefix.size() + payload.size() + 2;
    std::vector<uint8_t> out;
    out.reserve(jpeg.size() + len + 2);
    out.insert(out.end(), jpeg.begin(), jpeg.begin() + 2);
    out.insert(out.end(), {0xFF, marker, uint8_t(len >> 8), uint8_t(len)});
    out.insert(out.end(), prefix.begin(), prefix.end());
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// Runs exiftool with `args` over a copy of the plain JPEG and returns the
// tagged file's bytes.
inline std::vector<uint8_t> exiftoolTagged(const TempDir& dir, const std::string& args,
                                           const std::string& name = "tagged.jpg")
{
    std::vector<uint8_t> plain = plainJpeg(dir);
    std::filesystem::path p = dir / name;
    writeFile(p, plain);
    int rc = run("exiftool -q -q -overwrite_original " + args + " " + shellQuote(p.string()));
    EXPECT_EQ(rc, 0) << args;
    return readFile(p);
}

// One object of exiftool's JSON, as tag name -> value text (strings without
// their quotes, numbers as printed, arrays of strings joined by "|").
inline std::map<std::string, std::string> parseExiftoolJson(const std::string& json)
{
    std::map<std::string, std::string> out;
    size_t i = 0;
    auto readString = [&](size_t& k) {
        std::string s;
        ++k;  // opening quote
        while (k < json.size() && json[k] != '"') {
            if (json[k] == '\\' && k + 1 < json.size()) {
                ++k;
                char c = json[k];
                if (c == 'n') s += '\n';
                else if (c == 't') s += '\t';
                else if (c == 'u' && k + 4 < json.size()) {
                    unsigned code = std::stoul(json.substr(k + 1, 4), nullptr, 16);
                    k += 4;
                    std::u16string one(1, char16_t(code));
                    s += u16ToUtf8(one);
                } else s += c;
            } else s += json[k];
            ++k;
        }
        ++k;
        return s;
    };
    while ((i = json.find('"', i)) != std::string::npos) {
        std::string key = readString(i);
        while (i < json.size() && (json[i] == ' ' || json[i] == ':')) ++i;
        if (i >= json.size()) break;
        std::string value;
        if (json[i] == '"') value = readString(i);
        else if (json[i] == '[') {
            ++i;
            while (i < json.size() && json[i] != ']') {
                if (json[i] == '"') {
                    if (!value.empty()) value += '|';
                    value += readString(i);
                } else if (json[i] != ',' && json[i] != ' ' && json[i] != '\n') {
                    size_t e = json.find_first_of(",]\n", i);
                    if (!value.empty()) value += '|';
                    value += json.substr(i, e - i);
                    i = e;
                } else ++i;
            }
            ++i;
        } else {
            size_t e = json.find_first_of(",}\n", i);
            value = json.substr(i, e - i);
            i = e;
        }
        out[key] = value;
    }
    return out;
}

// `exiftool -j -n` of a file, parsed as above.
inline std::map<std::string, std::string> exiftoolJson(const std::filesystem::path& file, const std::string& extra = "")
{
    return parseExiftoolJson(runOutput("exiftool -j -n " + extra + " " + shellQuote(file.string()) + " 2>/dev/null"));
}

// The warnings of `exiftool -validate`, one per line.
inline std::vector<std::string> exiftoolWarnings(const std::filesystem::path& file)
{
    std::string text = runOutput("exiftool -validate -warning -a -s3 " + shellQuote(file.string()) + " 2>&1");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t e = text.find('\n', start);
        if (e == std::string::npos) e = text.size();
        std::string line = text.substr(start, e - start);
        // The first line is the count ("2 Warnings", "1 Warning (minor)", "OK").
        bool summary = start == 0;
        if (!line.empty() && !summary) lines.push_back(line);
        start = e + 1;
    }
    return lines;
}

// The warnings of `exiftool -validate` that our EXIF blocks do not always
// bring: exiftool expects the tags a camera writes where we write what the
// image holds.
inline std::vector<std::string> exiftoolUnexpectedWarnings(const std::filesystem::path& file)
{
    std::vector<std::string> out;
    for (const std::string& w : exiftoolWarnings(file))
        if (w.find("Missing required") == std::string::npos) out.push_back(w);
    return out;
}

inline std::string fieldUtf8(const ImageInfo& info, int field)
{
    const char16_t* t = info.get(field);
    return t ? u16ToUtf8(t) : std::string();
}

// The texts a record must hold, field by field, in UTF-8.
using FieldTexts = std::vector<std::pair<int, std::string>>;
inline void expectFieldTexts(const ImageInfo& info, const FieldTexts& want)
{
    for (const auto& [field, text] : want) EXPECT_EQ(fieldUtf8(info, field), text) << "field " << field;
}

// One output format of a metadata batch: a file name the registry finds its
// writer by (empty: each input's own format) and its sub-format (empty: the
// format's first).
struct BatchFormat {
    std::filesystem::path probe;
    std::u16string subFormat;
};

// Runs one batch that writes every input in each of `formats` into
// `outDir`, numbers at 90, replacing what is there. A message the batch
// would show is a failure of the test.
inline BatchResult convertInBatch(const std::vector<std::filesystem::path>& inputs,
                                  const std::filesystem::path& outDir, const std::vector<BatchFormat>& formats)
{
    FormatRegistry reg;
    registerAllFormats(reg);
    std::filesystem::create_directories(outDir);
    JobSettings s;
    s.szOutDir = outDir / "";
    s.bNoOverwritePrompt = 1;
    s.iOutFormats = uint32_t(formats.size());
    for (uint32_t k = 0; k < s.iOutFormats; ++k) {
        OutputFormatSlot& slot = s.slots[k];
        slot.iFormatId = formats[k].probe.empty() ? -1 : reg.findByExtension(formats[k].probe, true);
        slot.szSubFormat = formats[k].subFormat;
        slot.iColorFormat = CF_AUTO;
        slot.iCompParam = 90;
    }
    InputListHooks hooks;
    hooks.registry = &reg;
    InputList list(&hooks);
    for (const std::filesystem::path& p : inputs) EXPECT_EQ(list.addFile(p, false, false), RC_OK) << p;
    QuietBatchUi ui;
    ui.cancelAllRemaining = false;
    bool running = false;
    BatchContext ctx{s, list, ui, running};
    ctx.registry = &reg;
    const BatchResult r = batchRun(ctx);
    for (const std::u16string& e : ui.errors) ADD_FAILURE() << u16ToUtf8(e);
    return r;
}

} // namespace quillon::test::meta
