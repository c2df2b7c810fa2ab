#include "app/html_index.h"

#include <gtest/gtest.h>

#include "core/text.h"

using namespace quillon;

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
    EXPECT_NE(head.find("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\">\r\n"),
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

TEST(HtmlIndex, EightBitSettingTextsReachThePageUnchanged)
{
    // The body attributes and base addresses are Windows-1252 bytes, and
    // the page is 8-bit: they go through as they are.
    const std::string body = "background=\x80-\xE9.png";
    EXPECT_NE(indexHead(latin1ToU16(body), 0).find("<body " + body + ">"), std::string::npos);
    IndexCell c;
    c.linkUrl = 2;
    c.linkPrefix = latin1ToU16("http://h/\x9C\xE9/");
    c.iconUrl = 0;
    c.thumbnailName = u"a.png";
    c.fullExtension = u"jpg";
    int32_t column = 1;
    EXPECT_NE(indexCellLines(c, column).find("<a href=\"http://h/\x9C\xE9/a.jpg\">"), std::string::npos);
}
