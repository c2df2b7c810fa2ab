// The README's table of output formats, for people writing presets by hand,
// against the registry the program fills.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app/format_table.h"
#include "core/format.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;

TEST(ReadmeFormats, IdsExtensionsSubFormatsAndNumbersAreTheProgramsOwn)
{
    FormatRegistry reg;
    registerAllFormats(reg);
    std::ifstream in(std::string(QUILLON_SOURCE_DIR) + "/README.md");
    ASSERT_TRUE(in);
    // "| 18 | `.jpg` JPEG | `Normal, by Quality:`, ... | quality, 1 to 100 |",
    // continued by rows with an empty id.
    const std::regex row(R"(^\| (-?\d*) \| ([^|]*)\| ([^|]*)\| ([^|]*)\|$)");
    const std::regex quoted("`([^`]+)`");
    std::set<int> listed;
    int id = -2;
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, row)) continue;
        if (!m[1].str().empty()) {
            id = std::stoi(m[1].str());
            listed.insert(id);
            if (id < 0) continue;
            const FormatDescriptor* d = reg.at(id);
            ASSERT_TRUE(d && d->createWriter) << line;
            EXPECT_EQ(m[2].str().rfind("`." + u16ToUtf8(d->extension) + "`", 0), 0u) << line;
        }
        if (id < 0) continue;
        const FormatDescriptor* d = reg.at(id);
        const std::string number = m[4].str();
        const uint8_t kind = number.find("quality") != std::string::npos ? PARAM_QUALITY
                             : number.find("size") != std::string::npos  ? PARAM_SIZE_KB
                                                                         : PARAM_NONE;
        const std::string subs = m[3].str();
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
