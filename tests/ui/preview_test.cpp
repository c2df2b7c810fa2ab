#include "ui/preview.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSlider>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "platform/tasks.h"
#include "support/test_support.h"
#include "sheet_fixture.h"
#include "ui/hooks.h"

using namespace quillon;
using namespace quillon::ui;
namespace fs = std::filesystem;

namespace {

struct PreviewTest : test::SheetFixture {
    static PreviewPage* preview(FileSheet& sheet)
    {
        sheet.showPage(SHEET_PREVIEW);
        return static_cast<PreviewPage*>(sheet.page(SHEET_PREVIEW));
    }
    // The batch's processed image of the entry under a neutral job, as ARGB.
    static QImage batchPicture(const FileEntry& e)
    {
        JobSettings s;
        Ref<Image> out;
        if (failed(batchLoadInput(out, e.path, &e, nullptr, nullptr, nullptr, s, nullptr, nullptr))) return {};
        return previewToQImage(out.get());
    }
};

TEST(PreviewFit, ScalesDownOnlyAndKeepsTheShape)
{
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 100, 50), 1.0);
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 200, 150), 1.0);
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 400, 150), 0.5);   // too wide
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 100, 300), 0.5);   // too tall
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 800, 300), 0.25);  // wide wins
    EXPECT_DOUBLE_EQ(previewFitFactor(200, 150, 300, 450), 1.0 / 3);
}

TEST_F(PreviewTest, ShowsTheFileAsTheBatchTurnsItWithTheSheetsUnconfirmedChanges)
{
    FileEntry& e = add(make("in.bmp", "-size 40x30 gradient:red-blue -fill yellow -draw 'rectangle 0,0 9,4' "
                                      "-type TrueColor BMP3:"));
    FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
    sheet.resize(620, 460);
    sheet.show();
    SheetPage* info = sheet.page(SHEET_FILE_INFO);
    info->controls().combo(1206)->setCurrentIndex(1); // 90° ccw
    sheet.showPage(SHEET_ADJUSTMENTS);
    SheetPage* adj = sheet.page(SHEET_ADJUSTMENTS);
    adj->controls().check(539)->click();
    adj->controls().slider(540)->setValue(30);
    adj->controls().check(551)->click();
    adj->controls().slider(552)->setValue(-40);
    PreviewPage* page = preview(sheet);
    ASSERT_TRUE(page->loading());
    page->waitForLoader();
    const QImage shown = page->control()->picture();
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(shown.size(), QSize(30, 40));
    // Nothing is confirmed yet.
    EXPECT_FALSE(e.adjustments);

    // The same changes confirmed, as the batch processes them.
    FileEntry copy;
    copy.path = e.path;
    copy.adjustments = std::make_unique<AdjustmentSettings>();
    copy.adjustments->setOrientation(1);
    copy.adjustments->setColour(&AdjustmentSettings::brightness, 0.3f);
    copy.adjustments->setColour(&AdjustmentSettings::red, -0.2f);
    const QImage want = batchPicture(copy);
    ASSERT_EQ(want.size(), QSize(30, 40));

    // What the control draws: the picture centred on white.
    const QImage drawn = page->control()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int ox = (drawn.width() - 30) / 2, oy = (drawn.height() - 40) / 2;
    ASSERT_GE(ox, 1);
    ASSERT_GE(oy, 1);
    int differing = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 30; ++x)
            if ((drawn.pixel(ox + x, oy + y) & 0xFFFFFF) != (want.pixel(x, y) & 0xFFFFFF)) ++differing;
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(drawn.pixel(ox - 1, oy - 1) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(drawn.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);

    // And the adjustments made a difference.
    FileEntry plain;
    plain.path = e.path;
    fileEntrySetOrientation(plain, 1);
    const QImage unadjusted = batchPicture(plain);
    EXPECT_NE(unadjusted.pixel(15, 20), want.pixel(15, 20));
}

TEST_F(PreviewTest, ALargePictureIsScaledToFitThePageKeepingItsShapeOnTheFirstVisit)
{
    FileEntry& e = add(make("wide.bmp", "-size 1200x300 gradient:red-blue -type TrueColor BMP3:"));
    auto expectFitted = [](PreviewPage* page) {
        page->waitForLoader();
        // The page's size once every pending layout has settled.
        QApplication::processEvents();
        const QImage shown = page->control()->picture();
        ASSERT_FALSE(shown.isNull());
        const QSize area = page->control()->contentsRect().size();
        EXPECT_GT(area.width(), 400);
        EXPECT_EQ(shown.width(), area.width());
        EXPECT_LE(shown.height(), area.height());
        EXPECT_NEAR(double(shown.width()) / shown.height(), 4.0, 0.05);
    };
    {
        // Opened on the preview: the page exists before the sheet is shown.
        FileSheet sheet(nullptr, e, SHEET_PREVIEW);
        sheet.resize(620, 460);
        sheet.show();
        expectFitted(static_cast<PreviewPage*>(sheet.page(SHEET_PREVIEW)));
    }
    {
        // Reached by its tab: the page is built into a sheet already shown.
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        sheet.resize(700, 520);
        sheet.show();
        expectFitted(preview(sheet));
    }
}

TEST_F(PreviewTest, LeavingWhileTheFileLoadsStopsTheLoaderAndKeepsNothing)
{
    FileEntry& e = add(make("big.bmp", "-size 3000x2000 plasma:fractal -type TrueColor BMP3:"));
    const int64_t before = Image::liveCount();
    {
        FileSheet sheet(nullptr, e, SHEET_FILE_INFO);
        sheet.resize(620, 460);
        sheet.show();
        for (int i = 0; i < 12; ++i) {
            PreviewPage* page = preview(sheet);
            EXPECT_TRUE(page->loading());
            if (i % 3 == 1) QTest::qWait(i); // sometimes the loader is under way
            sheet.showPage(i % 2 ? SHEET_METADATA : SHEET_FILE_INFO);
            EXPECT_FALSE(page->loading());
            EXPECT_TRUE(page->control()->picture().isNull());
        }
        // Closed while the preview loads.
        preview(sheet);
        sheet.reject();
    }
    {
        FileSheet sheet(nullptr, e, SHEET_PREVIEW);
        // Destroyed while the preview loads, without being closed first.
    }
    QApplication::processEvents();
    // A read-ahead the preview started belongs to the cache and may still
    // be decoding: the cache is stopped and emptied before images are counted.
    imageCacheDestroy(&imageCache());
    EXPECT_EQ(Image::liveCount(), before);
}

// Holds the loader once it has decoded the file until the page cancels it,
// then a little longer, so that a page that frees the load without waiting
// for its loader does so while the loader still has work to do.
struct HeldLoader {
    Event reached;
    std::atomic<bool> sawCancel{false};
    std::atomic<int> holds{0};

    HeldLoader()
    {
        previewLoaderHook() = [this](const AbortFlag* cancel) {
            ++holds;
            reached.set();
            for (int i = 0; i < 12000 && !aborted(cancel); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            sawCancel = aborted(cancel);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        };
    }
    ~HeldLoader() { previewLoaderHook() = nullptr; }
    bool arrive()
    {
        const bool ok = reached.wait(60000);
        reached.reset();
        return ok;
    }
};

TEST_F(PreviewTest, LeavingOrClosingWhileTheLoaderWorksCancelsAndWaitsForIt)
{
    fs::path p = make("in.png", "-size 600x400 plasma:fractal -alpha set PNG32:");
    fs::path mask = make("mask.bmp", "-size 600x400 gradient:black-white -type TrueColor BMP3:");
    FileEntry& e = add(p);
    e.alphaFilePath = mask;
    e.adjustments = std::make_unique<AdjustmentSettings>();
    e.adjustments->setOrientation(1);
    e.adjustments->setColour(&AdjustmentSettings::contrast, 0.5f);
    const int64_t before = Image::liveCount();
    {
        HeldLoader held;
        {
            FileSheet sheet(nullptr, e, SHEET_METADATA);
            sheet.show();
            PreviewPage* page = preview(sheet);
            ASSERT_TRUE(held.arrive());
            sheet.showPage(SHEET_METADATA);
            EXPECT_TRUE(held.sawCancel);
            EXPECT_FALSE(page->loading());
            EXPECT_TRUE(page->control()->picture().isNull());

            held.sawCancel = false;
            preview(sheet);
            ASSERT_TRUE(held.arrive());
            // Closed, then destroyed, while the loader works.
            sheet.reject();
        }
        EXPECT_TRUE(held.sawCancel);

        held.sawCancel = false;
        {
            FileSheet sheet(nullptr, e, SHEET_PREVIEW);
            ASSERT_TRUE(held.arrive());
            // Destroyed while the loader works, without being closed first.
        }
        EXPECT_TRUE(held.sawCancel);
        EXPECT_EQ(held.holds, 3);
    }
    QApplication::processEvents();
    // A cancelled load offers the cache nothing; the read-ahead's own entry
    // goes with the cache.
    imageCacheDestroy(&imageCache());
    EXPECT_EQ(Image::liveCount(), before);

    // A page left while loading loads again when shown again, and the
    // picture arrives on the page's thread by itself.
    FileSheet sheet(nullptr, e, SHEET_PREVIEW);
    sheet.resize(620, 460);
    sheet.show();
    PreviewPage* page = preview(sheet);
    sheet.showPage(SHEET_FILE_INFO);
    page = preview(sheet);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !page->control()->picture().isNull(); }, 120000));
    // Turned a quarter, fitted to the control.
    const QSize shown = page->control()->picture().size();
    EXPECT_NEAR(double(shown.width()) / shown.height(), 400.0 / 600, 0.01);
}

TEST_F(PreviewTest, TheCacheKeepsTheImageAsDecoded)
{
    fs::path p = make("in.png", "-size 40x30 gradient:red-blue -alpha set -channel A -evaluate set 50% +channel PNG32:");
    fs::path mask = make("mask.bmp", "-size 40x30 gradient:black-white -type TrueColor BMP3:");
    FileEntry& e = add(p);
    e.alphaFilePath = mask;
    e.adjustments = std::make_unique<AdjustmentSettings>();
    e.adjustments->setOrientation(3);
    e.adjustments->setColour(&AdjustmentSettings::contrast, 0.5f);
    e.adjustments->setSharpness(0.5f);

    JobSettings s;
    Ref<Image> before;
    ASSERT_EQ(batchLoadInput(before, p, &e, nullptr, nullptr, nullptr, s, nullptr, nullptr), RC_OK);
    {
        FileSheet sheet(nullptr, e, SHEET_PREVIEW);
        sheet.show();
        PreviewPage* page = static_cast<PreviewPage*>(sheet.page(SHEET_PREVIEW));
        page->waitForLoader();
        ASSERT_FALSE(page->control()->picture().isNull());
        sheet.showPage(SHEET_FILE_INFO); // leaving offers the decoded image
    }
    Ref<Image> cached = Ref<Image>::adopt(imageCacheFind(&imageCache(), p, u"", u""));
    ASSERT_TRUE(cached);

    Ref<ImageReader> reader;
    ASSERT_EQ(imageFileOpen(reader, p, true), RC_OK);
    Image* fresh = nullptr;
    ASSERT_EQ(imageCreateForReader(reader.get(), &fresh, false), RC_OK);
    Ref<Image> decoded = Ref<Image>::adopt(fresh);
    ASSERT_EQ(reader->decode(decoded.get(), false, nullptr, nullptr), RC_OK);
    ASSERT_EQ(cached->width, decoded->width);
    ASSERT_EQ(cached->height, decoded->height);
    EXPECT_EQ(cached->pixelFormat, decoded->pixelFormat);
    EXPECT_EQ(cached->alphaKind, decoded->alphaKind);
    for (uint32_t y = 0; y < decoded->height; ++y)
        ASSERT_EQ(std::memcmp(cached->rowBytesPtr(y), decoded->rowBytesPtr(y), decoded->width * decoded->bytesPerPixel()),
                  0)
            << "row " << y;

    // The batch gives the same output through the cache as without it.
    Ref<Image> after;
    ASSERT_EQ(batchLoadInput(after, p, &e, nullptr, nullptr, nullptr, s, &imageCache(), nullptr), RC_OK);
    ASSERT_EQ(after->width, before->width);
    ASSERT_EQ(after->height, before->height);
    EXPECT_EQ(after->alphaKind, before->alphaKind);
    for (uint32_t y = 0; y < before->height; ++y)
        ASSERT_EQ(std::memcmp(after->rowBytesPtr(y), before->rowBytesPtr(y), before->width * before->bytesPerPixel()), 0)
            << "row " << y;
}

TEST_F(PreviewTest, AnAnimationShowsItsFirstFrameOnItsCanvas)
{
    QUILLON_REQUIRE_TOOL("gifsicle");
    fs::path p = make("anim.gif", "-page 40x30+5+6 -size 20x10 xc:red -page 40x30+0+0 -size 40x30 xc:blue -loop 0");
    // The canvas blue, where ImageMagick leaves the first colour.
    ASSERT_EQ(test::run("gifsicle -b -B '#0000FF' " + test::shellQuote(p.string())), 0);
    FileEntry& e = add(p);
    FileSheet sheet(nullptr, e, SHEET_PREVIEW);
    PreviewPage* page = static_cast<PreviewPage*>(sheet.page(SHEET_PREVIEW));
    page->waitForLoader();
    const QImage shown = page->control()->picture();
    ASSERT_EQ(shown.size(), QSize(40, 30));
    EXPECT_EQ(shown.pixel(5, 6) & 0xFFFFFF, 0xFF0000u);
    EXPECT_EQ(shown.pixel(24, 15) & 0xFFFFFF, 0xFF0000u);
    EXPECT_EQ(shown.pixel(25, 15) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(shown.pixel(4, 6) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(shown.pixel(5, 16) & 0xFFFFFF, 0x0000FFu);
}

TEST_F(PreviewTest, ClickingOpensTheFileOnlyWhenItsNameIsAnImages)
{
    QStringList opened;
    uiHooks().shellOpen = [&](const QString& target) {
        opened << target;
        return true;
    };
    fs::path named = make("pic.bmp", "-size 8x8 xc:teal BMP3:");
    fs::path sniffed = dir / "pic.dat";
    fs::copy_file(named, sniffed);
    for (const fs::path& p : {named, sniffed}) {
        FileEntry& e = add(p);
        FileSheet sheet(nullptr, e, SHEET_PREVIEW);
        PreviewPage* page = static_cast<PreviewPage*>(sheet.page(SHEET_PREVIEW));
        page->control()->click();
    }
    EXPECT_EQ(opened, QStringList{QString::fromStdString(named.string())});
}

} // namespace
