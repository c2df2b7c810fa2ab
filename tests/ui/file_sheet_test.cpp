#include "ui/file_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSlider>
#include <QTabWidget>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "core/text.h"
#include "support/quiet_batch_ui.h"
#include "support/test_support.h"
#include "sheet_fixture.h"
#include "ui/hooks.h"
#include "ui/input_page.h"

using namespace quillon;
using namespace quillon::ui;
namespace fs = std::filesystem;

namespace {

struct FileSheetTest : test::SheetFixture {
    static bool ticked(SheetPage* p, int id) { return p->controls().check(id)->isChecked(); }
    static void tick(SheetPage* p, int id, bool on) { p->controls().check(id)->setChecked(on); }
    static QString text(SheetPage* p, int id)
    {
        QWidget* w = p->controls().get(id);
        if (auto* e = qobject_cast<QPlainTextEdit*>(w)) return e->toPlainText();
        return w->property("text").toString();
    }
    // Runs the list through the batch as JPEG at quality 90 into out/ and
    // returns where `name`'s output went.
    fs::path batchToJpeg(const std::string& name)
    {
        JobSettings s;
        s.szOutDir = dir / "out/";
        fs::create_directories(s.szOutDir);
        s.iOutFormats = 1;
        s.slots[0].iFormatId = formatRegistry().findByExtension(std::u16string_view(u"x.jpg"), true);
        EXPECT_GE(s.slots[0].iFormatId, 0);
        s.slots[0].iColorFormat = CF_AUTO;
        s.slots[0].iCompParam = 90;
        s.slots[0].szSubFormat = u"Normal, by Quality:";
        test::QuietBatchUi ui;
        bool running = false;
        BatchContext ctx{s, *list, ui, running};
        BatchResult r = batchRun(ctx);
        EXPECT_GE(r.converted, 1) << (ui.errors.empty() ? std::string() : u16ToUtf8(ui.errors[0]));
        return dir / "out" / name;
    }
};

TEST_F(FileSheetTest, FileInfoTellsTheFileItsSizeAndItsFrames)
{
    EXPECT_EQ(fileSizeText(1536), QStringLiteral("1536 Bytes  (2 KB)"));
    EXPECT_EQ(fileSizeText(511), QStringLiteral("511 Bytes  (0 KB)"));
    EXPECT_EQ(fileSizeText(512), QStringLiteral("512 Bytes  (1 KB)"));

    fs::path p = make("two.tif", "-size 40x30 xc:red -size 40x30 xc:blue -type TrueColor -depth 8 -compress none");
    FileEntry& e = add(p);
    FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
    SheetPage* info = sheet.page(SHEET_FILE_INFO);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(sheet.page(SHEET_METADATA), nullptr); // built only when shown
    EXPECT_EQ(sheet.windowTitle(), QStringLiteral("two.tif - Quillon"));
    const QStringList lines = text(info, 1200).split(QLatin1Char('\n'));
    EXPECT_EQ(lines.value(0), QStringLiteral("Source file:\t") + QString::fromStdString(p.string()));
    EXPECT_EQ(lines.value(1), QStringLiteral("File size:\t") + fileSizeText(fs::file_size(p)));
    EXPECT_TRUE(lines.contains(QStringLiteral("Resolution:\t40 x 30 x 24"))) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Frames/pages:\t2"))) << lines.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("Color space:\tRGB")));

    // A CMYK document with transparency is read as RGB with alpha, yet
    // shows the model of its file.
    fs::path cmyk = make("ink.psd", "-size 16x8 gradient:red-blue -alpha set -channel A -evaluate set 50% +channel "
                                    "-colorspace CMYK -depth 8");
    FileEntry& c = add(cmyk);
    FileSheet sheet3(nullptr, c, SHEET_FILE_INFO);
    const QString ink = text(sheet3.page(SHEET_FILE_INFO), 1200);
    EXPECT_TRUE(ink.contains(QStringLiteral("Color space:\tCMYK + Alpha"))) << ink.toStdString();

    // A file that went away shows why instead of its header.
    fs::path gone = make("gone.bmp", "-size 8x8 xc:red BMP3:");
    FileEntry& g = add(gone);
    fs::remove(gone);
    FileSheet sheet2(nullptr, g, SHEET_FILE_INFO);
    const QString t = text(sheet2.page(SHEET_FILE_INFO), 1200);
    EXPECT_TRUE(t.contains(QStringLiteral("\nError:\t"))) << t.toStdString();
    EXPECT_FALSE(t.contains(QStringLiteral("Resolution")));
}

TEST_F(FileSheetTest, FileInfoControlsRoundTripThroughTheEntry)
{
    fs::path alpha = make("mask.bmp", "-size 20x10 gradient:black-white BMP3:");
    FileEntry& e = add(make("a.bmp", "-size 20x10 xc:teal BMP3:"));
    e.overrideName = u"day1";
    e.alphaFilePath = alpha;
    fileEntrySetOrientation(e, 11);
    {
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        SheetPage* p = sheet.page(SHEET_FILE_INFO);
        EXPECT_TRUE(ticked(p, 1201));
        EXPECT_EQ(text(p, 1202), QStringLiteral("day1"));
        EXPECT_TRUE(p->controls().get(1202)->isEnabled());
        EXPECT_TRUE(ticked(p, 1203));
        EXPECT_EQ(text(p, 1204), QString::fromStdString(alpha.string()));
        EXPECT_EQ(p->controls().combo(1206)->currentIndex(), 3);
        EXPECT_TRUE(ticked(p, 1207));
        EXPECT_FALSE(ticked(p, 1208));
        // Confirming unchanged controls changes nothing.
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_EQ(e.overrideName, u"day1");
    EXPECT_EQ(e.alphaFilePath, alpha);
    EXPECT_EQ(e.orientation(), 11);
    ASSERT_TRUE(e.adjustments);
    EXPECT_EQ(e.adjustments->otherCount, 1u);

    {
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        SheetPage* p = sheet.page(SHEET_FILE_INFO);
        tick(p, 1201, false);
        tick(p, 1203, false);
        p->controls().combo(1206)->setCurrentIndex(1);
        tick(p, 1207, false);
        tick(p, 1208, true);
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_TRUE(e.overrideName.empty());
    EXPECT_TRUE(e.alphaFilePath.empty());
    EXPECT_EQ(e.orientation(), 1 | 4);

    // No record is made for no turn; "90° cw" with a horizontal mirror is 11.
    FileEntry& plain = add(make("b.bmp", "-size 20x10 xc:teal BMP3:"));
    ASSERT_FALSE(plain.adjustments);
    {
        FileSheet sheet(nullptr, plain, SHEET_FILE_INFO);
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_FALSE(plain.adjustments);
    {
        FileSheet sheet(nullptr, plain, SHEET_FILE_INFO);
        SheetPage* p = sheet.page(SHEET_FILE_INFO);
        p->controls().combo(1206)->setCurrentIndex(3);
        tick(p, 1207, true);
        p->controls().check(1201)->setChecked(true);
        p->controls().edit(1202)->setText(QStringLiteral("renamed"));
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_EQ(plain.orientation(), 11);
    EXPECT_EQ(plain.overrideName, u"renamed");
}

TEST_F(FileSheetTest, AnAlphaFileThatCannotServeKeepsTheSheetOpenAndChangesNothing)
{
    fs::path junk = dir / "notes.txt";
    test::writeFile(junk, std::string("just some words, not an image\n"));
    fs::path good = make("mask.bmp", "-size 20x10 gradient:black-white BMP3:");
    FileEntry& e = add(make("a.bmp", "-size 20x10 xc:teal BMP3:"));

    struct Case {
        QString path;
        QString message;
    } cases[] = {
        {QString(), QStringLiteral("No alpha file specified!")},
        {QString::fromStdString((dir / "missing.bmp").string()), QStringLiteral("Alpha file does not exist!")},
        {QString::fromStdString(junk.string()),
         QStringLiteral("Invalid alpha file: ") + QString::fromUtf16(errorText(RC_UNKNOWN_FORMAT))},
    };
    for (const Case& c : cases) {
        boxes.clear();
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        SheetPage* p = sheet.page(SHEET_FILE_INFO);
        // Other changes on the same and other pages wait for a valid OK.
        tick(p, 1201, true);
        p->controls().edit(1202)->setText(QStringLiteral("other"));
        p->controls().combo(1206)->setCurrentIndex(2);
        sheet.showPage(SHEET_ADJUSTMENTS);
        tick(sheet.page(SHEET_ADJUSTMENTS), 556, true);
        tick(p, 1203, true);
        p->controls().edit(1204)->setText(c.path);
        EXPECT_FALSE(sheet.confirm()) << c.message.toStdString();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].first, c.message);
        EXPECT_EQ(boxes[0].second, QStringLiteral("Quillon"));
        EXPECT_FALSE(ticked(p, 1203));
        EXPECT_FALSE(p->controls().get(1204)->isEnabled());
        EXPECT_FALSE(p->controls().get(1205)->isEnabled());
        EXPECT_EQ(sheet.currentPage(), SHEET_FILE_INFO);
        EXPECT_TRUE(e.overrideName.empty());
        EXPECT_TRUE(e.alphaFilePath.empty());
        EXPECT_FALSE(e.adjustments);
    }
    boxes.clear();
    FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
    SheetPage* p = sheet.page(SHEET_FILE_INFO);
    tick(p, 1203, true);
    p->controls().edit(1204)->setText(QString::fromStdString(good.string()));
    EXPECT_TRUE(sheet.confirm());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(e.alphaFilePath, good);
}

TEST_F(FileSheetTest, MetadataOverridesReachTheJpegOutput)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    fs::path p = make("in.jpg", "-size 32x24 gradient:red-blue -quality 90");
    ASSERT_EQ(test::run("exiftool -q -overwrite_original -DocumentName=Holiday -Artist=Ann -Copyright=Mine "
                        "-ImageDescription=Beach " +
                        test::shellQuote(p.string())),
              0);
    FileEntry& e = add(p);
    {
        FileSheet sheet(nullptr, e, SHEET_METADATA);
        SheetPage* m = sheet.page(SHEET_METADATA);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(text(m, 1210), QStringLiteral("Holiday"));
        EXPECT_EQ(text(m, 1213), QStringLiteral("Ann"));
        EXPECT_EQ(text(m, 1212), QStringLiteral("Mine"));
        EXPECT_EQ(text(m, 1211), QStringLiteral("Beach"));
        // The file's own title typed again is no override.
        m->controls().edit(1210)->setText(QStringLiteral("Holiday"));
        m->controls().edit(1213)->setText(QStringLiteral("Bob"));
        // Clearing a value the file has takes it out of the outputs.
        m->controls().edit(1212)->clear();
        m->controls().edit(1221)->setText(QStringLiteral("sea"));
        m->controls().edit(1216)->setText(QStringLiteral("-300"));
        m->controls().edit(1217)->clear();
        m->controls().selectData(1218, 1);
        ASSERT_TRUE(sheet.confirm());
    }
    ASSERT_TRUE(e.metadataOverride);
    EXPECT_FALSE(e.metadataOverride->has(INFO_TITLE));
    EXPECT_EQ(std::u16string(e.metadataOverride->get(INFO_AUTHOR)), u"Bob");
    EXPECT_EQ(std::u16string(e.metadataOverride->get(INFO_DENSITY)), u"300 x 300 ppi");
    EXPECT_FALSE(e.metadataOverride->has(INFO_COPYRIGHT));
    EXPECT_EQ(e.metadataCleared, uint64_t(1) << INFO_COPYRIGHT);

    // The sheet shows the override the next time.
    {
        FileSheet sheet(nullptr, e, SHEET_METADATA);
        SheetPage* m = sheet.page(SHEET_METADATA);
        EXPECT_EQ(text(m, 1213), QStringLiteral("Bob"));
        EXPECT_EQ(text(m, 1212), QString());
        EXPECT_EQ(text(m, 1216), QStringLiteral("300"));
        EXPECT_EQ(text(m, 1217), QStringLiteral("300"));
        EXPECT_EQ(m->controls().selData(1218, -1), 1);
    }

    fs::path out = batchToJpeg("in.jpg");
    ASSERT_TRUE(fs::exists(out));
    std::string tags = test::runOutput("exiftool -s -s -s -Artist -Copyright -XResolution -YResolution -ResolutionUnit " +
                                       test::shellQuote(out.string()));
    EXPECT_EQ(tags, "Bob\n300\n300\ninches\n");
}

TEST_F(FileSheetTest, AClearedPixelDensityStaysClearedInTheSheetAndTheOutput)
{
    QUILLON_REQUIRE_TOOL("identify");
    fs::path p = make("in.jpg", "-size 32x24 gradient:red-blue -density 300 -units PixelsPerInch -quality 90");
    const std::string densityOf = "identify -format '%x %y %U' ";
    ASSERT_EQ(test::runOutput(densityOf + test::shellQuote(p.string())), "300 300 PixelsPerInch");
    FileEntry& e = add(p);
    {
        FileSheet sheet(nullptr, e, SHEET_METADATA);
        SheetPage* m = sheet.page(SHEET_METADATA);
        EXPECT_EQ(text(m, 1216), QStringLiteral("300"));
        m->controls().edit(1216)->clear();
        m->controls().edit(1217)->clear();
        ASSERT_TRUE(sheet.confirm());
    }
    ASSERT_TRUE(e.metadataOverride);
    EXPECT_EQ(e.metadataCleared, uint64_t(1) << INFO_DENSITY);
    {
        // Shown cleared the next time, and still cleared when confirmed.
        FileSheet sheet(nullptr, e, SHEET_METADATA);
        SheetPage* m = sheet.page(SHEET_METADATA);
        EXPECT_EQ(text(m, 1216), QString());
        EXPECT_EQ(text(m, 1217), QString());
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_EQ(e.metadataCleared, uint64_t(1) << INFO_DENSITY);

    fs::path out = batchToJpeg("in.jpg");
    ASSERT_TRUE(fs::exists(out));
    // As ImageMagick reads a JPEG it wrote without any density.
    fs::path plain = make("plain.jpg", "-size 32x24 gradient:red-blue -quality 90");
    const std::string none = test::runOutput(densityOf + test::shellQuote(plain.string()));
    EXPECT_NE(none.find("Undefined"), std::string::npos) << none;
    EXPECT_EQ(test::runOutput(densityOf + test::shellQuote(out.string())), none);
}

TEST_F(FileSheetTest, MetadataOfAFileThatNoLongerDecodesStaysAsItWas)
{
    fs::path p = make("in.bmp", "-size 32x24 xc:teal BMP3:");
    FileEntry& e = add(p);
    e.metadataOverride = std::make_unique<ImageInfoOwned>();
    e.metadataOverride->set(INFO_AUTHOR, u"Kept");
    FileSheet sheet(nullptr, e, SHEET_METADATA);
    SheetPage* m = sheet.page(SHEET_METADATA);
    EXPECT_EQ(text(m, 1213), QStringLiteral("Kept"));
    m->controls().edit(1213)->setText(QStringLiteral("Lost"));
    sheet.showPage(SHEET_FILE_INFO);
    tick(sheet.page(SHEET_FILE_INFO), 1201, true);
    sheet.page(SHEET_FILE_INFO)->controls().edit(1202)->setText(QStringLiteral("named"));
    // The file is cut short behind the sheet's back.
    test::writeFile(p, std::string("BM"));
    EXPECT_TRUE(sheet.confirm());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].second, QStringLiteral("Quillon"));
    ASSERT_TRUE(e.metadataOverride);
    EXPECT_EQ(std::u16string(e.metadataOverride->get(INFO_AUTHOR)), u"Kept");
    EXPECT_EQ(e.overrideName, u"named");
}

TEST_F(FileSheetTest, AdjustmentControlsRoundTripThroughTheEntry)
{
    EXPECT_EQ(adjustPosition(0.25, 200), 50);
    EXPECT_EQ(adjustPosition(-0.1, 200), -20);
    EXPECT_EQ(adjustPosition(0.0149, 100), 1);
    EXPECT_EQ(adjustPosition(-0.0149, 100), -1);

    FileEntry& e = add(make("a.bmp", "-size 20x10 xc:teal BMP3:"));
    e.adjustments = std::make_unique<AdjustmentSettings>();
    e.adjustments->setColour(&AdjustmentSettings::contrast, 0.25f);
    e.adjustments->setGamma(1.5f);
    e.adjustments->setColour(&AdjustmentSettings::red, -0.1f);
    e.adjustments->setColour(&AdjustmentSettings::blue, 0.05f);
    e.adjustments->setSharpness(0.3f);
    e.adjustments->setInvert(true);
    e.adjustments->setOrientation(2);
    {
        FileSheet sheet(nullptr, e, SHEET_ADJUSTMENTS);
        SheetPage* a = sheet.page(SHEET_ADJUSTMENTS);
        EXPECT_TRUE(ticked(a, 530));
        EXPECT_EQ(a->controls().slider(531)->value(), 50);
        EXPECT_EQ(text(a, 532), QStringLiteral("0.50"));
        EXPECT_FALSE(ticked(a, 539));
        EXPECT_FALSE(a->controls().slider(540)->isEnabled());
        EXPECT_TRUE(ticked(a, 536));
        EXPECT_EQ(a->controls().slider(537)->value(), 30);
        EXPECT_TRUE(ticked(a, 545));
        EXPECT_EQ(a->controls().slider(546)->value(), 150);
        EXPECT_EQ(text(a, 547), QStringLiteral("1.50"));
        EXPECT_TRUE(ticked(a, 551));
        EXPECT_EQ(a->controls().slider(552)->value(), -20);
        EXPECT_EQ(a->controls().slider(554)->value(), 0);
        EXPECT_EQ(a->controls().slider(553)->value(), 10);
        EXPECT_EQ(text(a, 555), QStringLiteral("-0.20, 0.00, 0.10"));
        EXPECT_TRUE(ticked(a, 556));
        // A slider moved by the user shows its new value at once.
        a->controls().slider(531)->setValue(-40);
        EXPECT_EQ(text(a, 532), QStringLiteral("-0.40"));
        ASSERT_TRUE(sheet.confirm());
    }
    ASSERT_TRUE(e.adjustments);
    EXPECT_FLOAT_EQ(e.adjustments->contrast, -0.2f);
    EXPECT_FLOAT_EQ(e.adjustments->gamma, 1.5f);
    EXPECT_FLOAT_EQ(e.adjustments->red, -0.1f);
    EXPECT_FLOAT_EQ(e.adjustments->blue, 0.05f);
    EXPECT_FLOAT_EQ(e.adjustments->sharpness, 0.3f);
    EXPECT_EQ(e.adjustments->invert, 1);
    EXPECT_EQ(e.adjustments->colourCount, 5u);
    EXPECT_EQ(e.adjustments->otherCount, 2u); // sharpness and the turn
    EXPECT_EQ(e.adjustments->orientation, 2);

    // Every box off keeps a neutral record, with the turn.
    {
        FileSheet sheet(nullptr, e, SHEET_ADJUSTMENTS);
        SheetPage* a = sheet.page(SHEET_ADJUSTMENTS);
        for (int box : {530, 536, 545, 551, 556}) a->controls().check(box)->click();
        EXPECT_EQ(a->controls().slider(546)->value(), 100);
        EXPECT_EQ(text(a, 547), QStringLiteral("1.00"));
        EXPECT_EQ(text(a, 555), QStringLiteral("0.00, 0.00, 0.00"));
        ASSERT_TRUE(sheet.confirm());
    }
    ASSERT_TRUE(e.adjustments);
    EXPECT_EQ(e.adjustments->colourCount, 0u);
    EXPECT_EQ(e.adjustments->otherCount, 1u);
    EXPECT_FLOAT_EQ(e.adjustments->gamma, 1.0f);
    EXPECT_EQ(e.adjustments->orientation, 2);

    // "Inverted colors" alone makes a record of its own.
    FileEntry& plain = add(make("b.bmp", "-size 20x10 xc:teal BMP3:"));
    {
        FileSheet sheet(nullptr, plain, SHEET_ADJUSTMENTS);
        ASSERT_TRUE(sheet.confirm());
    }
    EXPECT_FALSE(plain.adjustments);
    {
        FileSheet sheet(nullptr, plain, SHEET_ADJUSTMENTS);
        sheet.page(SHEET_ADJUSTMENTS)->controls().check(556)->click();
        ASSERT_TRUE(sheet.confirm());
    }
    ASSERT_TRUE(plain.adjustments);
    EXPECT_EQ(plain.adjustments->invert, 1);
    EXPECT_EQ(plain.adjustments->colourCount, 1u);
}

TEST_F(FileSheetTest, TheSheetsTurnComesBeforeTheJobs)
{
    // 5x3 with distinct pixels, so any wrong turn or mirror shows.
    fs::path p = make("in.bmp", "-size 5x3 gradient:red-blue -fill white -draw 'point 0,0' -type TrueColor BMP3:");
    FileEntry& e = add(p);
    {
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        SheetPage* f = sheet.page(SHEET_FILE_INFO);
        f->controls().combo(1206)->setCurrentIndex(3); // 90° cw
        ASSERT_TRUE(sheet.confirm());
    }
    JobSettings s;
    s.adjustments.setOrientation(8); // the job mirrors left to right
    Ref<Image> out;
    ASSERT_EQ(batchLoadInput(out, p, &e, nullptr, nullptr, nullptr, s, nullptr, nullptr), RC_OK);
    ASSERT_EQ(test::run("convert " + test::shellQuote(p.string()) + " -rotate 90 -flop " +
                        test::shellQuote((dir / "want.ppm").string())),
              0);
    test::Pnm want;
    ASSERT_TRUE(test::readPnm(dir / "want.ppm", want));
    ASSERT_EQ(out->width, want.width);
    ASSERT_EQ(out->height, want.height);
    Ref<Image> rgba = Ref<Image>::adopt(imageConvertNew(out.get(), false, false, PF_RGBA8));
    ASSERT_TRUE(rgba);
    for (uint32_t y = 0; y < want.height; ++y)
        for (uint32_t x = 0; x < want.width; ++x) {
            const Rgba8 px = rgba->row<Rgba8>(y)[x];
            EXPECT_EQ(px.r, want.at(x, y, 0)) << x << "," << y;
            EXPECT_EQ(px.g, want.at(x, y, 1)) << x << "," << y;
            EXPECT_EQ(px.b, want.at(x, y, 2)) << x << "," << y;
        }
}

TEST_F(FileSheetTest, TheInputPageOpensTheSheetOnThePageItsCommandNames)
{
    std::vector<int> starts;
    std::vector<const FileEntry*> entries;
    uiHooks().fileSheet = [&](QWidget*, FileEntry& entry, int start) {
        starts.push_back(start);
        entries.push_back(&entry);
        entry.overrideName = u"changed";
        return true;
    };
    InputPage page;
    page.resize(600, 400);
    fs::path a = make("a.bmp", "-size 20x10 xc:teal BMP3:");
    fs::path b = make("b.bmp", "-size 20x10 xc:teal BMP3:");
    ASSERT_EQ(page.list().addFile(a, false, false), RC_OK);
    ASSERT_EQ(page.list().addFile(b, false, false), RC_OK);
    page.runCommand(CMD_FILE_INFO); // nothing selected: no sheet
    EXPECT_TRUE(starts.empty());
    const QModelIndex row1 = page.model()->index(1, 0);
    page.view()->selectionModel()->select(row1, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    page.view()->setCurrentIndex(row1);
    std::unique_ptr<QMenu> menu = page.buildContextMenu();
    QStringList items;
    for (QAction* act : menu->actions())
        if (!act->isSeparator()) items << act->text();
    EXPECT_EQ(items.value(0), QStringLiteral("File info && tools..."));
    EXPECT_EQ(menu->defaultAction(), menu->actions().value(0));
    EXPECT_TRUE(items.contains(QStringLiteral("Override file name...")));
    EXPECT_TRUE(items.contains(QStringLiteral("View meta data...")));
    // The first selected row counts, wherever the cursor is.
    page.view()->selectionModel()->setCurrentIndex(page.model()->index(0, 0), QItemSelectionModel::NoUpdate);
    page.runCommand(CMD_FILE_INFO);
    page.runCommand(CMD_OVERRIDE_NAME);
    page.runCommand(CMD_VIEW_METADATA);
    Q_EMIT page.view()->doubleClicked(row1);
    EXPECT_EQ(starts, (std::vector<int>{SHEET_LAST, SHEET_FILE_INFO, SHEET_METADATA, SHEET_LAST}));
    for (const FileEntry* entry : entries) EXPECT_EQ(entry->path, a); // newest row first
    EXPECT_TRUE(page.model()->data(row1, Qt::DisplayRole).toString().contains(QStringLiteral("changed")));
}

} // namespace
