// Quillon's entry: settings in, formats registered, the wizard, settings out.
#include <QApplication>

#include <string>
#include <vector>

#include "app/app_paths.h"
#include "app/format_table.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"
#include "ui/wizard_app.h"

int main(int argc, char** argv)
{
    using namespace quillon;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setWindowIcon(ui::appIcon());
    appPathInit(argc > 0 ? argv[0] : nullptr);

    // A first start opens the help; the hook is in place before the load.
    setFirstStartHelp([](int topic) { ui::helpShow(nullptr, topic); });
    settingsLoad();
    registerAllFormats();
    // The settings were read before the formats existed: make every output
    // slot name a format that can write now that they do.
    normalizeSlots(jobSettings());
    // Every frame or page of a file is decoded, in the background too.
    imageCache().allFrames = 1;
    imageCache().readAheadAllFrames = 1;

    int result = 0;
    {
        std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        ui::WizardApp wizard(std::move(args));
        wizard.exec();
        result = wizard.exitStatus();
    }
    settingsSave();
    // The read-ahead uses the registry: stop it first.
    imageCacheDestroy(&imageCache());
    formatRegistry().clear();
    return result;
}
