// Quillon's entry: settings in, formats registered, the wizard, settings out.
#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_paths.h"
#include "app/command_line.h"
#include "app/format_table.h"
#include "app/job_settings.h"
#include "app/temp_files.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "ui/about_dialog.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"
#include "ui/wizard_app.h"

namespace {

bool hasEnv(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v;
}

// The toolkit's notes while it looks for a screen that is not there; what
// matters is said by our own line.
void quietPlatformNotes(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Names this program by its full path, which works from any folder, quoted
// for the shell where it needs to be.
void sayNoDisplay()
{
    const std::string path = quillon::appPath().string();
    std::string command = path;
    if (path.empty() || path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-") !=
                            std::string::npos) {
        command = "'";
        for (char c : path) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    std::fprintf(stderr,
                 "Quillon: no display to show the wizard on: run it on a desktop, on a virtual screen "
                 "(xvfb-run -a %s ...; the README's \"The wizard without a display\" shows it over VNC), "
                 "or convert without a window with -silent and a preset\n",
                 command.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    using namespace quillon;
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const bool silent = commandLineIsSilent(args);
    appPathInit(argc > 0 ? argv[0] : nullptr);
    // A silent run needs no screen: on a machine without one (a server, a
    // cron job), or with a display it cannot reach, it draws off screen
    // instead of failing to connect. The wizard needs one: without it the
    // program says how to run and ends, rather than let the toolkit abort.
    const bool platformChosen = hasEnv("QT_QPA_PLATFORM");
    if (!platformChosen) {
        if (!silent && !hasEnv("WAYLAND_DISPLAY") && !hasEnv("DISPLAY")) {
            sayNoDisplay();
            return 1;
        }
        std::string platforms;
        if (hasEnv("WAYLAND_DISPLAY")) platforms += "wayland;";
        if (hasEnv("DISPLAY")) platforms += "xcb;";
        platforms += "offscreen";
        setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
    }
    // Interrupted, the run takes the output it was writing with it: no
    // half-written temporary stays beside the user's files.
    installTemporaryCleanup();
    // Standard error of a silent run is its report to the caller: the
    // toolkit's notes about the platform (no runtime folder, no window
    // manager) are not part of it.
    if (silent)
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
        });
    QtMessageHandler before = nullptr;
    if (!silent && !platformChosen) before = qInstallMessageHandler(quietPlatformNotes);
    QApplication app(argc, argv);
    if (!silent && !platformChosen) {
        qInstallMessageHandler(before);
        // Programs the wizard starts (a browser for the help) choose their own.
        unsetenv("QT_QPA_PLATFORM");
        // The display named could not be reached: only the fallback was left.
        if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
            sayNoDisplay();
            return 1;
        }
    }
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setWindowIcon(ui::appIcon());

    // A first start opens the help; the hook is in place before the load.
    // Nobody reads it in a silent run, so none opens there.
    if (!silent) setFirstStartHelp([](int topic) { ui::helpShow(nullptr, topic); });
    settingsLoad(!silent);
    registerAllFormats();
    // The settings were read before the formats existed: make every output
    // slot name a format that can write now that they do.
    normalizeSlots(jobSettings());
    auto shutDown = [] {
        // The read-ahead uses the registry: stop it first.
        imageCacheDestroy(&imageCache());
        formatRegistry().clear();
    };
    // A silent run with a typo in its options or its presets would do
    // something nobody asked for (scan one level, write another format, at
    // another quality): it does not start.
    if (silent) {
        const std::vector<std::string> refused = commandLineRefusals(args);
        for (const std::string& line : refused) std::fprintf(stderr, "Quillon: %s\n", line.c_str());
        if (!refused.empty()) {
            shutDown();
            return 1;
        }
    }
    // Every frame or page of a file is decoded, in the background too.
    imageCache().allFrames = 1;
    imageCache().readAheadAllFrames = 1;

    int result = 0;
    {
        ui::WizardApp wizard(std::move(args));
        wizard.exec();
        result = wizard.exitStatus();
    }
    // A silent run takes its settings from the store and its presets, and
    // leaves the store alone: what one preset asked for (deleting sources,
    // say) must not carry over to a later run that did not ask.
    // Leaving for the download page ends the program with the settings as
    // they were stored.
    if (!silent && !jobSettings().silentMode && !ui::quitWithoutSavingRequested()) settingsSave();
    shutDown();
    return result;
}
