#pragma once
// Which wizard page follows which: the skipping rules for Next and Back and
// the text of the Next button, as pure functions of the three settings that
// drive them.
#include <string>

namespace quillon {

enum WizardPageIndex : int {
    PAGE_INPUT_FILES = 0,
    PAGE_OUTPUT_OPTIONS = 1,
    PAGE_MULTIPLE_FORMATS = 2,
    PAGE_MORE_OPTIONS = 3,
    PAGE_INDEX_OPTIONS = 4,
    PAGE_PROCESSING = 5,
    WIZARD_PAGE_COUNT = 6,
};

// The private commands a page sends itself.
enum WizardCommand : int {
    CMD_PARSE_COMMAND_LINE = 9876,
    CMD_SETTINGS_TO_CONTROLS = 65432,
    CMD_CONTROLS_TO_SETTINGS = 23456,
    CMD_UPDATE_CONTROL_STATES = 54321,
};

struct NavSettings {
    int outFormats = 1;           // iOutFormats
    bool showMoreOptions = false; // bShowMoreOptions
    bool index = false;           // index.bIndex
};

// The page Next leads to from `page`.
int wizardForwardTarget(int page, const NavSettings& s);
// The page Back leads to from `page`.
int wizardBackTarget(int page, const NavSettings& s);
// "Next >" or "Start >" for the page's Next button (empty on the last page).
const char16_t* wizardNextText(int page, const NavSettings& s);
// The page's caption ("Select input files", ...).
const char16_t* wizardPageCaption(int page);

} // namespace quillon
