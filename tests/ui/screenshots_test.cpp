// Not a check: writes a picture of every wizard page when
// QUILLON_SCREENSHOT_DIR names a folder (scripts/screenshots sets it).
#include <QCoreApplication>
#include <QPixmap>

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "support/test_support.h"
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
    ui::WizardApp app(args);
    app.frame().resize(720, 480);
    app.frame().show();
    for (int page = 0; page < WIZARD_PAGE_COUNT; ++page) {
        if (page == PAGE_PROCESSING) break; // running a batch is not a picture
        app.frame().setCurrentPage(page);
        QCoreApplication::processEvents();
        QPixmap shot = app.frame().grab();
        std::string file = std::string(out) + "/page" + std::to_string(page) + ".png";
        EXPECT_TRUE(shot.save(QString::fromStdString(file)));
    }
}
