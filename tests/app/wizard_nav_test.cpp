#include "app/wizard_nav.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/app_paths.h"

using namespace quillon;

TEST(WizardNav, ForwardAndBackOverEverySettingCombination)
{
    // The expected targets come from a chain of the pages each setting
    // switches on, independently of the switch-based implementation.
    for (int formats = 1; formats <= 3; ++formats)
        for (int more = 0; more < 2; ++more)
            for (int index = 0; index < 2; ++index) {
                NavSettings s{formats, more != 0, index != 0};
                bool multi = formats >= 2 && !index;
                std::vector<int> chain = {PAGE_INPUT_FILES, PAGE_OUTPUT_OPTIONS};
                if (multi) chain.push_back(PAGE_MULTIPLE_FORMATS);
                if (more) chain.push_back(PAGE_MORE_OPTIONS);
                if (index) chain.push_back(PAGE_INDEX_OPTIONS);
                chain.push_back(PAGE_PROCESSING);
                for (size_t i = 0; i + 1 < chain.size(); ++i) {
                    EXPECT_EQ(wizardForwardTarget(chain[i], s), chain[i + 1])
                        << formats << more << index << " from " << chain[i];
                    EXPECT_EQ(wizardBackTarget(chain[i + 1], s), chain[i])
                        << formats << more << index << " back from " << chain[i + 1];
                }
                // Next says "Start >" exactly on the page before processing.
                for (size_t i = 1; i + 1 < chain.size(); ++i) {
                    std::u16string text = wizardNextText(chain[i], s);
                    EXPECT_EQ(text, chain[i + 1] == PAGE_PROCESSING ? u"Start >" : u"Next >")
                        << formats << more << index << " page " << chain[i];
                }
            }
}

TEST(WizardNav, BackFromProcessingWithTwoFormatsLandsOnMultipleFormats)
{
    EXPECT_EQ(wizardBackTarget(PAGE_PROCESSING, {2, false, false}), PAGE_MULTIPLE_FORMATS);
    EXPECT_EQ(wizardBackTarget(PAGE_PROCESSING, {1, false, false}), PAGE_OUTPUT_OPTIONS);
    // With the index on, the multiple-formats page is never shown.
    EXPECT_EQ(wizardForwardTarget(PAGE_OUTPUT_OPTIONS, {3, false, true}), PAGE_INDEX_OPTIONS);
    EXPECT_EQ(std::u16string(wizardPageCaption(PAGE_PROCESSING)), u"Processing image batch");
    EXPECT_EQ(std::u16string(wizardNextText(PAGE_INPUT_FILES, {})), u"Next >");
}

TEST(PathSplit, NameAndExtension)
{
    std::u16string_view name, ext;
    pathSplitNameExt(u"/a/b/file.tar.gz", &name, &ext);
    EXPECT_EQ(name, u"file.tar.gz");
    EXPECT_EQ(ext, u".gz");
    pathSplitNameExt(u"/a/b/README", &name, &ext);
    EXPECT_EQ(name, u"README");
    EXPECT_TRUE(ext.empty());
    EXPECT_EQ(ext.data(), name.data() + name.size());
    pathSplitNameExt(u"dir/odd..", &name, &ext);
    EXPECT_EQ(name, u"odd..");
    EXPECT_TRUE(ext.empty());
    // Backslashes and colons are ordinary characters here.
    pathSplitNameExt(u"/x/12:30\\pic.jpg", &name, &ext);
    EXPECT_EQ(name, u"12:30\\pic.jpg");
    EXPECT_EQ(ext, u".jpg");
    pathSplitNameExt(u"/x.d/noext", &name, &ext);
    EXPECT_TRUE(ext.empty());
}
