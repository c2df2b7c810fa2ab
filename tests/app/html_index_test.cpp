// The index page's parts (head, cells, addresses, thumbnail sizes), and
// pages made by a real batch: names holding markup parsed back by Python's
// HTML parser, a caption beyond Latin-1 in UTF-8, and the page's permissions
// against the outputs'.
#include "app/html_index.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/text.h"
#include "support/quiet_batch_ui.h"
#include "support/test_support.h"

using namespace quillon;
namespace fs = std::filesystem;

TEST(HtmlIndex, UrlEncoding)
{
    std::string s = "my photo#1.jpg";
    urlEncodeInPlace(s);
    EXPECT_EQ(s, "my%20photo%231.jpg");
    std::string e = "caf\xE9/x_(1)!~*'-.:\\";
    urlEncodeInPlace(e);
    EXPECT_EQ(e, "caf%E9/x_(1)!~*'-.:\\");
    std::string all;
    for (int i = 1; i < 256; ++i) all += char(i);
    urlEncodeInPlace(all);
    // 62 alphanumerics and 12 marks stay; the other 181 bytes take 3 each.
    EXPECT_EQ(all.size(), 62u + 12u + 181u * 3u);
}

TEST(HtmlIndex, HeadAndTail)
{
    std::string head = indexHead(u"", 4);
    EXPECT_EQ(head.substr(0, 38), "<!Image index created by Quillon 5>\r\n\r");
    EXPECT_NE(head.find("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\r\n"),
              std::string::npos);
    EXPECT_NE(head.find("<body>\r\n\r\n<table border=0 cellspacing=4>\r\n"), std::string::npos);
    EXPECT_NE(indexHead(u"bgcolor=#FFFFFF", 0).find("<body bgcolor=#FFFFFF>"), std::string::npos);
    EXPECT_EQ(indexTail(), "\r\n</table>\r\n\r\n</body>\r\n\r\n</html>\r\n");
}

TEST(HtmlIndex, ThumbnailSizes)
{
    uint32_t w, h;
    EXPECT_FALSE(indexThumbnailSize(100, 80, 160, 120, true, &w, &h));
    ASSERT_TRUE(indexThumbnailSize(4000, 1000, 160, 120, true, &w, &h));
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(h, 40u);
    ASSERT_TRUE(indexThumbnailSize(1000, 4000, 160, 120, false, &w, &h));
    EXPECT_EQ(w, 30u);
    EXPECT_EQ(h, 120u);
    ASSERT_TRUE(indexThumbnailSize(100, 80, 160, 120, false, &w, &h)); // enlarged when allowed
    EXPECT_EQ(w, 150u);
    EXPECT_EQ(h, 120u);
    // Products beyond 32 bits keep the right shape.
    ASSERT_TRUE(indexThumbnailSize(100000, 50000, 100000, 100000, false, &w, &h));
    EXPECT_EQ(w, 100000u);
    EXPECT_EQ(h, 50000u);
}

TEST(HtmlIndex, CellsAndRows)
{
    IndexCell c;
    c.columns = 3;
    c.iconSubdir = u"ico";
    c.thumbnailName = u"photo.png";
    c.fullExtension = u"jpg";
    c.sourceName = u"photo.tif";
    c.thumbWidth = 160;
    c.thumbHeight = 40;
    int32_t column = 0;
    std::string first = indexCellLines(c, column);
    EXPECT_EQ(first,
              "\r\n<tr>\r\n<td align=center valign=top>\r\n\t<a href=\"photo.jpg\"><img src=\"ico/photo.png\" "
              "width=160 height=40 border=0><br/></a>\r\n");
    EXPECT_EQ(column, 1);
    std::string rows;
    for (int i = 1; i < 7; ++i) rows += indexCellLines(c, column);
    // 7 cells in 3 columns: rows of 3, 3 and 1.
    size_t trs = 0;
    for (size_t p = (first + rows).find("<tr>"); p != std::string::npos; p = (first + rows).find("<tr>", p + 1)) ++trs;
    EXPECT_EQ(trs, 3u);
    EXPECT_EQ(column, 1);

    IndexCell d = c;
    d.linkUrl = 2;
    d.linkPrefix = u"http://host/pics";
    d.iconUrl = 2;
    d.iconPrefix = u"http://host/thumbs/";
    d.useValidUris = true;
    d.linkToNew = true;
    d.imageBorder = true;
    d.fileName = true;
    d.imageRes = true;
    d.resolutionKnown = true;
    d.width = 4000;
    d.height = 1000;
    d.bits = 24;
    d.thumbnailName = u"my photo#1.png";
    d.sourceName = u"my photo#1.tif";
    column = 1;
    EXPECT_EQ(indexCellLines(d, column),
              "<td align=center valign=top>\r\n\t<a href=\"http://host/pics/my%20photo%231.jpg\" target=_blank>"
              "<img src=\"http://host/thumbs/my%20photo%231.png\" width=160 height=40 border=1><br/></a>"
              "my photo#1<br/>4000x1000x24<br/>\r\n");
    d.resolutionKnown = false;
    d.fileExt = true;
    d.linkUrl = 0;
    d.iconUrl = 0;
    EXPECT_EQ(indexCellLines(d, column), "<td align=center valign=top>\r\n\tmy photo#1.tif<br/><br/>\r\n");
}

// Names that are not UTF-8 (carried as their bytes): the addresses hold
// those bytes percent-encoded, whether or not every address is encoded, and
// the caption shows U+FFFD, so the page stays UTF-8.
TEST(HtmlIndex, NamesThatAreNotUtf8)
{
    IndexCell c;
    c.fileName = true;
    c.fileExt = true;
    c.iconSubdir = pathToU16("\xE9t\xE9");
    c.thumbnailName = pathToU16("caf\xE9 \x93q\x94.png");
    c.fullExtension = u"jpg";
    c.sourceName = pathToU16("caf\xE9 \x93q\x94.tif");
    for (bool valid : {false, true}) {
        c.useValidUris = valid;
        int32_t column = 1;
        const std::string space = valid ? "%20" : " ";
        EXPECT_EQ(indexCellLines(c, column),
                  "<td align=center valign=top>\r\n\t<a href=\"caf%E9" + space + "%93q%94.jpg\"><img src=\"%E9t%E9/caf%E9" +
                      space + "%93q%94.png\" width=0 height=0 border=0><br/></a>caf\xEF\xBF\xBD \xEF\xBF\xBDq\xEF\xBF\xBD.tif"
                      "<br/>\r\n");
    }
}

TEST(HtmlIndex, SettingTextsReachThePageAsTyped)
{
    // The body attributes and base addresses are the user's Windows-1252
    // text: the UTF-8 page carries the same characters, markup unescaped.
    const std::string body = "background=\"\x80-\xE9.png\" style='a&b'";
    EXPECT_NE(indexHead(latin1ToU16(body), 0).find("<body background=\"\xE2\x82\xAC-\xC3\xA9.png\" style='a&b'>"),
              std::string::npos);
    IndexCell c;
    c.linkUrl = 2;
    c.linkPrefix = latin1ToU16("http://h/\x9C\xE9/?a=1&b=");
    c.iconUrl = 0;
    c.thumbnailName = u"a.png";
    c.fullExtension = u"jpg";
    int32_t column = 1;
    EXPECT_NE(indexCellLines(c, column).find("<a href=\"http://h/\xC5\x93\xC3\xA9/?a=1&b=/a.jpg\">"),
              std::string::npos);
}

// ---------------------------------------------------------------- pages made by a batch

namespace {

struct IndexBatch : ::testing::Test {
    test::TempDir dir;
    FormatRegistry reg;
    InputListHooks hooks;
    std::unique_ptr<InputList> list;
    JobSettings s;
    test::QuietBatchUi ui;

    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        registerAllFormats(reg);
        hooks.registry = &reg;
        list = std::make_unique<InputList>(&hooks);
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
        s.szOutDir = dir / "out/";
        s.iOutFormats = 2;
        for (int k = 0; k < 2; ++k) {
            s.slots[size_t(k)].iFormatId = reg.findByExtension(std::u16string_view(u"x.bmp"), true);
            s.slots[size_t(k)].szSubFormat = u"Normal";
            s.slots[size_t(k)].iColorFormat = CF_AUTO;
        }
        s.bNoOverwritePrompt = 1;
        s.bUseAsciiFileNames = 0;
        s.index.bIndex = 1;
        s.index.bUseAsciiFileNames = 0;
    }
    // A 40 x 30 bitmap by any name (made under a plain one).
    void addInput(const std::string& name)
    {
        const fs::path plain = dir / "in" / "made.bmp", p = dir / "in" / name;
        const std::string make = "convert -size 40x30 gradient:red-blue -type TrueColor BMP3:";
        ASSERT_EQ(test::run(make + test::shellQuote(plain.string())), 0);
        fs::rename(plain, p);
        ASSERT_EQ(list->addFile(p, false, false), RC_OK) << name;
    }
    BatchResult run()
    {
        bool running = false;
        BatchContext ctx{s, *list, ui, running};
        ctx.registry = &reg;
        return batchRun(ctx);
    }
    std::string page()
    {
        std::vector<uint8_t> b = test::readFile(dir / "out" / "index.html");
        return std::string(b.begin(), b.end());
    }
};

// The page as a browser's parser sees it: the elements and attribute names
// it holds, each cell's text between its line breaks (caption, then
// resolution), and the addresses that name no file beside or below it.
std::string parsedPage(const fs::path& folder)
{
    const std::string script = R"PY(
import os, sys, urllib.parse
from html.parser import HTMLParser
class Page(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.attrs, self.cells, self.lost = set(), set(), [], []
    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)
        for k, v in attrs:
            self.attrs.add(k)
            if k in ('href', 'src') and not os.path.isfile(os.path.join(d, urllib.parse.unquote(v, errors='strict'))):
                self.lost.append(v)
        if tag == 'td':
            self.cells.append([''])
    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag == 'br' and self.cells:
            self.cells[-1].append('')
    def handle_data(self, data):
        if self.cells:
            self.cells[-1][-1] += data
d = sys.argv[1]
p = Page()
p.feed(open(os.path.join(d, 'index.html'), encoding='utf-8', errors='strict').read())
p.close()
print('tags:', *sorted(p.tags))
print('attributes:', *sorted(p.attrs))
for c in sorted(p.cells):
    print('cell:', c[1], '|', c[2])
print('lost:', *p.lost)
)PY";
    return test::runOutput("python3 -c " + test::shellQuote(script) + " " + test::shellQuote(folder.string()));
}

} // namespace

// Names that hold each character markup gives meaning to, and whole tags:
// each caption reads as its file's name, no element or attribute comes from
// a name, and every address still finds its file, with valid addresses and
// without.
TEST_F(IndexBatch, NamesHoldingMarkupStayText)
{
    QUILLON_REQUIRE_TOOL("python3");
    const std::vector<std::string> names = {"a<b>&\"q'.bmp", "<img src=x onerror=alert(1)>.bmp",
                                            "x' onmouseover='alert(2).bmp", "&lt;b&gt; \"x\" & y.bmp"};
    for (const std::string& n : names) addInput(n);
    s.index.bFileName = 1;
    s.index.bFileExt = 1;
    s.index.bImageRes = 1;
    std::string want = "tags: a body br head html img meta table td tr\n"
                       "attributes: align bgcolor border cellspacing content height href http-equiv link src target "
                       "text valign vlink width\n";
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& n : sorted) want += "cell: " + n + " | 40x30x24\n";
    want += "lost:\n";
    for (bool valid : {false, true}) {
        SCOPED_TRACE(valid ? "valid addresses" : "names as they are");
        s.index.bUseValidURIs = valid;
        EXPECT_EQ(run().converted, 8);
        EXPECT_EQ(parsedPage(dir / "out"), want) << page();
    }
}

// A caption beyond Latin-1 reaches the page in UTF-8, as the page declares;
// the page gets the permissions an output gets: the user's umask for a new
// one, the old page's own when it replaces one.
TEST_F(IndexBatch, Utf8PageWithTheOutputsPermissions)
{
    // "ünïcødé 写真"
    const std::string name = "\xC3\xBC" "n" "\xC3\xAF" "c" "\xC3\xB8" "d" "\xC3\xA9" " \xE5\x86\x99\xE7\x9C\x9F";
    addInput(name + ".bmp");
    auto modeOf = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    const mode_t before = ::umask(027);
    BatchResult r = run();
    ::umask(before);
    EXPECT_EQ(r.converted, 2);
    const std::string html = page();
    EXPECT_NE(html.find("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\r\n"),
              std::string::npos);
    EXPECT_NE(html.find("</a>" + name + "<br/>\r\n"), std::string::npos) << html;
    EXPECT_EQ(utf8ToU16(html).find(u'\uFFFD'), std::u16string::npos);
    EXPECT_EQ(modeOf(dir / "out" / (name + ".bmp")), 0640u);
    EXPECT_EQ(modeOf(dir / "out" / "index.html"), 0640u);

    // A page kept private stays so; and nothing is left beside it.
    fs::permissions(dir / "out" / "index.html", fs::perms(0600));
    EXPECT_EQ(run().converted, 2);
    EXPECT_EQ(modeOf(dir / "out" / "index.html"), 0600u);
    for (const auto& e : fs::directory_iterator(dir / "out"))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
}

// An output kept in a sub-folder whose name is not UTF-8 is linked by the
// folder's bytes, as its thumbnail is: built from the folder's display text,
// the link would name the bytes of U+FFFD, a folder that is not there.
TEST_F(IndexBatch, KeptSubFoldersThatAreNotUtf8AreLinkedByTheirBytes)
{
    fs::create_directories(dir / "in" / "caf\xE9");
    addInput("caf\xE9/p.bmp");
    s.bKeepSubDirs = 1;
    s.iKeepSubDirLevels = -1;
    for (bool valid : {false, true}) {
        SCOPED_TRACE(valid ? "valid addresses" : "names as they are");
        s.index.bUseValidURIs = valid;
        EXPECT_EQ(run().converted, 2);
        ASSERT_TRUE(fs::exists(dir / "out" / "caf\xE9" / "p.bmp"));
        const std::string html = page();
        EXPECT_NE(html.find("<a href=\"caf%E9/p.bmp\""), std::string::npos) << html;
        EXPECT_NE(html.find("<img src=\"caf%E9/ico/p.bmp\""), std::string::npos) << html;
    }
}
