// Not a check: writes a picture of every wizard page when
// QUILLON_SCREENSHOT_DIR names a folder (scripts/screenshots sets it).
#include <QCoreApplication>
#include <QPixmap>

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "support/test_support.h"
#include "ui/hooks.h"
#include "ui/wizard_app.h"

using namespace quillon;

TEST(Screenshots, EachPage)
{
    const char* out = std::getenv("QUILLON_SCREENSHOT_DIR");
    if (!out) GTEST_SKIP() << "QUILLON_SCREENSHOT_DIR not set";
    if (formatRegistry().count() == 0) registerAllFormats();
    test::TempDir dir;
    std::vector<std::string> args;
    for (const char* spec : {"640x480 gradient:navy-gold", "300x200 plasma:", "120x90 xc:teal"}) {
        std::string name = (dir / ("photo" + std::to_string(args.size()) + ".bmp")).string();
        test::run(std::string("convert -size ") + spec + " BMP3:" + test::shellQuote(name));
        args.push_back(name);
    }
    jobSettings() = JobSettings{};
    jobSettings().szOutDir = dir / "out/";
    normalizeSlots(jobSettings()); // as start-up does once the formats exist
    std::filesystem::create_directories(dir / "out");
    // A picture run never waits on a question.
    ui::uiHooks().msgBox = [](QWidget*, const QString&, const QString&, const std::vector<ui::MsgButton>&,
                              int32_t closeValue) { return closeValue; };
    ui::WizardApp app(args);
    app.frame().resize(720, 480);
    app.frame().show();
    auto save = [&](int page) {
        QPixmap shot = app.frame().grab();
        std::string file = std::string(out) + "/page" + std::to_string(page) + ".png";
        EXPECT_TRUE(shot.save(QString::fromStdString(file)));
    };
    for (int page = 0; page < PAGE_PROCESSING; ++page) {
        app.frame().setCurrentPage(page);
        QCoreApplication::processEvents();
        save(page);
    }
    // The processing page once its batch is done.
    app.frame().setCurrentPage(PAGE_PROCESSING);
    for (int i = 0; i < 500 && app.frame().windowTitle() != QStringLiteral("Batch Completed! - Quillon"); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    save(PAGE_PROCESSING);
    ui::uiHooks() = {};
}
