// The README's table of output formats, for people writing presets by hand,
// against the registry the program fills.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "core/format.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;

namespace {

// The README's lines that match `row`: the whole line, then its groups.
std::vector<std::vector<std::string>> readmeRows(const std::regex& row)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/README.md");
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, row)) rows.emplace_back(m.begin(), m.end());
    }
    return rows;
}

} // namespace

TEST(ReadmeFormats, IdsExtensionsSubFormatsAndNumbersAreTheProgramsOwn)
{
    FormatRegistry reg;
    registerAllFormats(reg);
    // "| 18 | `.jpg` JPEG | `Normal, by Quality:`, ... | quality, 1 to 100 |",
    // continued by rows with an empty id.
    const auto rows = readmeRows(std::regex(R"(^\| (-?\d*) \| ([^|]*)\| ([^|]*)\| ([^|]*)\|$)"));
    ASSERT_FALSE(rows.empty());
    const std::regex quoted("`([^`]+)`");
    std::set<int> listed;
    int id = -2;
    for (const auto& m : rows) {
        const std::string& line = m[0];
        if (!m[1].empty()) {
            id = std::stoi(m[1]);
            listed.insert(id);
            if (id < 0) continue;
            const FormatDescriptor* d = reg.at(id);
            ASSERT_TRUE(d && d->createWriter) << line;
            EXPECT_EQ(m[2].rfind("`." + u16ToUtf8(d->extension) + "`", 0), 0u) << line;
        }
        if (id < 0) continue;
        const FormatDescriptor* d = reg.at(id);
        const std::string& number = m[4];
        const uint8_t kind = number.find("quality") != std::string::npos ? PARAM_QUALITY
                             : number.find("size") != std::string::npos  ? PARAM_SIZE_KB
                                                                         : PARAM_NONE;
        const std::string& subs = m[3];
        for (auto it = std::sregex_iterator(subs.begin(), subs.end(), quoted); it != std::sregex_iterator(); ++it) {
            const int32_t sub = d->subFormatIndex(utf8ToU16((*it)[1].str()));
            ASSERT_GE(sub, 0) << (*it)[1].str() << " in " << line;
            EXPECT_EQ(d->paramKind(uint32_t(sub)), kind) << (*it)[1].str();
        }
    }
    std::set<int> writable{-1};
    for (int32_t i = 0; i < reg.count(); ++i)
        if (reg.at(i)->createWriter) writable.insert(i);
    EXPECT_EQ(listed, writable);
}

// The README's list of what Quillon reads: every extension the registry
// holds, each on the row of the codec that reads it, and nothing else.
TEST(ReadmeFormats, ReadExtensionsAreTheRegistrysOwn)
{
    FormatRegistry reg;
    registerAllFormats(reg);
    // "| `.bmp`, `.dib`, `.rle` | Windows bitmap, also RLE compressed |"
    const auto rows = readmeRows(std::regex(R"(^\| (`\.[a-z]+`(, `\.[a-z]+`)*) \| [^|]+ \|$)"));
    ASSERT_FALSE(rows.empty());
    const std::regex ext("`\\.([a-z]+)`");
    std::multiset<std::string> listed, held;
    for (const auto& m : rows) {
        const std::string& line = m[0];
        const std::string& exts = m[1];
        std::set<ReaderFactoryFn> readers;
        for (auto it = std::sregex_iterator(exts.begin(), exts.end(), ext); it != std::sregex_iterator(); ++it) {
            listed.insert((*it)[1].str());
            // A name two codecs share is on each one's row: one of its
            // registry rows is that codec's.
            std::set<ReaderFactoryFn> withName;
            for (int32_t i = 0; i < reg.count(); ++i)
                if (u16ToUtf8(reg.at(i)->extension) == (*it)[1].str()) withName.insert(reg.at(i)->createReader);
            ASSERT_FALSE(withName.empty()) << (*it)[1].str();
            if (readers.empty()) readers = withName;
            std::set<ReaderFactoryFn> common;
            for (ReaderFactoryFn f : withName)
                if (readers.count(f)) common.insert(f);
            EXPECT_FALSE(common.empty()) << "one row, two codecs: " << line;
            readers = common;
        }
    }
    for (int32_t i = 0; i < reg.count(); ++i) held.insert(u16ToUtf8(reg.at(i)->extension));
    EXPECT_EQ(held.size(), 41u);
    EXPECT_EQ(listed, held);
}
