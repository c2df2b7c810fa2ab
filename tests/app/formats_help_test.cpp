#include "app/formats_help.h"

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "core/format.h"

using namespace quillon;

TEST(FormatsHelp, ListsEveryDescriptorOnce)
{
    FormatRegistry reg;
    registerAllFormats(reg);
    std::string page = formatsHelpHtml(reg);
    size_t rows = 0;
    for (size_t p = page.find("<tr><td>"); p != std::string::npos; p = page.find("<tr><td>", p + 1)) ++rows;
    EXPECT_EQ(rows, size_t(reg.count()));
    EXPECT_EQ(rows, 41u);
    EXPECT_NE(page.find("<td>.bmp</td><td>Windows bitmap format</td><td>yes</td><td>yes</td><td>Normal, RLE compressed"),
              std::string::npos);
    // Descriptions are escaped for HTML.
    EXPECT_NE(page.find("Computer aided A &amp; L support"), std::string::npos);
}
