#include "app/wizard_nav.h"

namespace quillon {

int wizardForwardTarget(int page, const NavSettings& s)
{
    switch (page) {
    case PAGE_INPUT_FILES:
        return PAGE_OUTPUT_OPTIONS;
    case PAGE_OUTPUT_OPTIONS:
        if (s.outFormats >= 2 && !s.index) return PAGE_MULTIPLE_FORMATS;
        [[fallthrough]];
    case PAGE_MULTIPLE_FORMATS:
        if (s.showMoreOptions) return PAGE_MORE_OPTIONS;
        [[fallthrough]];
    case PAGE_MORE_OPTIONS:
        if (s.index) return PAGE_INDEX_OPTIONS;
        return PAGE_PROCESSING;
    default:
        return PAGE_PROCESSING;
    }
}

int wizardBackTarget(int page, const NavSettings& s)
{
    switch (page) {
    case PAGE_PROCESSING:
        if (s.index) return PAGE_INDEX_OPTIONS;
        if (s.showMoreOptions) return PAGE_MORE_OPTIONS;
        if (s.outFormats > 1) return PAGE_MULTIPLE_FORMATS;
        return PAGE_OUTPUT_OPTIONS;
    case PAGE_INDEX_OPTIONS:
        return s.showMoreOptions ? PAGE_MORE_OPTIONS : PAGE_OUTPUT_OPTIONS;
    case PAGE_MORE_OPTIONS:
        return (s.outFormats >= 2 && !s.index) ? PAGE_MULTIPLE_FORMATS : PAGE_OUTPUT_OPTIONS;
    case PAGE_MULTIPLE_FORMATS:
        return PAGE_OUTPUT_OPTIONS;
    default:
        return PAGE_INPUT_FILES;
    }
}

const char16_t* wizardNextText(int page, const NavSettings& s)
{
    switch (page) {
    case PAGE_INPUT_FILES:
        return u"Next >";
    case PAGE_OUTPUT_OPTIONS:
        return (s.outFormats > 1 || s.showMoreOptions || s.index) ? u"Next >" : u"Start >";
    case PAGE_MULTIPLE_FORMATS:
        return (s.showMoreOptions || s.index) ? u"Next >" : u"Start >";
    case PAGE_MORE_OPTIONS:
        return s.index ? u"Next >" : u"Start >";
    case PAGE_INDEX_OPTIONS:
        return u"Start >";
    default:
        return u"";
    }
}

const char16_t* wizardPageCaption(int page)
{
    static const char16_t* const captions[WIZARD_PAGE_COUNT] = {
        u"Select input files", u"Select output options", u"Select multiple output formats",
        u"Select more options", u"Select index options", u"Processing image batch",
    };
    return page >= 0 && page < WIZARD_PAGE_COUNT ? captions[page] : u"";
}

} // namespace quillon
