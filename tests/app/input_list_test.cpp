#include "app/input_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "app/input_list_fakes.h"
#include "core/format.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

TEST(InputList, AddFileFillsTheEntryFromItsReader)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "grey.png", 300, 200, 8, /*model L*/ 1, /*PF_GRAY8*/ 3);
    writeImage(dir / "pal.gif", 10, 20, 8, 0, /*PF_INDEXED8*/ 6);
    writeImage(dir / "deep.tif", 4000, 3000, 64, 0, /*PF_RGBA16*/ 1, /*straight*/ 1);
    writeImage(dir / "hdr.hdr", 5, 6, 96, 9, /*PF_RGBA_FLOAT*/ 2);

    for (const char* name : {"grey.png", "pal.gif", "deep.tif", "hdr.hdr"})
        ASSERT_EQ(list.addFile(dir / name, true, false), RC_OK) << name;
    EXPECT_TRUE(hooks.errors.empty());
    EXPECT_EQ(hooks.inserted, 4);
    ASSERT_EQ(list.fileCount(), 4u);

    // New files appear at the top; slots keep the order of adding.
    EXPECT_EQ(u16ToUtf8(list.row(0).fileName), "hdr.hdr");
    EXPECT_EQ(slotNames(list), (Names{"grey.png", "pal.gif", "deep.tif", "hdr.hdr"}));

    const FileEntry& grey = *list.slot(0);
    EXPECT_EQ(grey.path, dir / "grey.png");
    EXPECT_EQ(grey.fileSize, fs::file_size(dir / "grey.png"));
    EXPECT_EQ(grey.kind, 2);
    EXPECT_EQ(grey.sampleType, u'b');
    EXPECT_EQ(grey.hasAlpha, 0);
    EXPECT_EQ(grey.adjustments, nullptr);
    const FileEntry& pal = *list.slot(1);
    EXPECT_EQ(pal.kind, 1);
    EXPECT_EQ(pal.sampleType, u'i');
    const FileEntry& deep = *list.slot(2);
    EXPECT_EQ(deep.kind, 0);
    EXPECT_EQ(deep.sampleType, u'w');
    EXPECT_EQ(deep.hasAlpha, 1);
    EXPECT_EQ(list.slot(3)->sampleType, u'f');

    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 0)), "deep.tif");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 1)), "4000 \u00B7 3000");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 2)), "w|64");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 4)), dir.path().string() + "/");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 3)), u16ToUtf8(formatGroupedNumber(deep.fileSize)));
}

TEST(InputList, ColumnAndCountTexts)
{
    EXPECT_EQ(u16ToUtf8(formatGroupedNumber(0)), "0");
    EXPECT_EQ(u16ToUtf8(formatGroupedNumber(999)), "999");
    EXPECT_EQ(u16ToUtf8(formatGroupedNumber(1000)), "1 000");
    EXPECT_EQ(u16ToUtf8(formatGroupedNumber(1234567)), "1 234 567");
    EXPECT_EQ(u16ToUtf8(formatGroupedNumber(18446744073709551615ull)), "18 446 744 073 709 551 615");

    FileEntry e;
    e.path = "/photos/2024/IMG_1.jpg";
    e.fileName = u"IMG_1.jpg";
    e.width = 640;
    e.height = 480;
    e.alphaFilePath = "/masks/m.png";
    e.overrideName = u"first";
    EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 0)), "IMG_1.jpg {image} + m.png {alpha} -> first");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 4)), "/photos/2024/");
    e.path = "loose.jpg";
    EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 4)), "loose.jpg");

    // A quarter turn either way swaps the shown resolution; a half turn or a
    // mirror does not.
    e.adjustments = std::make_unique<AdjustmentSettings>();
    for (uint8_t o : {1, 3, 1 | 8, 3 | 4}) {
        e.adjustments->setOrientation(o);
        EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 1)), "480 \u00B7 640") << int(o);
    }
    for (uint8_t o : {0, 2, 4, 8, 2 | 4}) {
        e.adjustments->setOrientation(o);
        EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 1)), "640 \u00B7 480") << int(o);
    }

    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    EXPECT_EQ(u16ToUtf8(list.countText(0)), "");
    writeImage(dir / "a.bmp");
    writeImage(dir / "b.bmp");
    list.addFile(dir / "a.bmp", false, false);
    EXPECT_EQ(u16ToUtf8(list.countText(0)), "1 file");
    list.addFile(dir / "b.bmp", false, false);
    EXPECT_EQ(u16ToUtf8(list.countText(0)), "2 files");
    EXPECT_EQ(u16ToUtf8(list.countText(1)), "1 selected");
}

TEST(InputList, UnreadableAndNonImageFilesAreRefusedWithTheirText)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeFile(dir / "notes.txt", std::string("just text\n"));
    writeFile(dir / "cut.jpg", std::string("QIMG 12"));
    fs::create_symlink(dir / "gone.jpg", dir / "dangling.jpg");
    fs::create_directory(dir / "folder.jpg");
    ASSERT_EQ(mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);

    EXPECT_EQ(list.addFile(dir / "notes.txt", true, false), RC_UNKNOWN_FORMAT);
    EXPECT_EQ(list.addFile(dir / "cut.jpg", true, false), RC_CORRUPT_FILE);
    EXPECT_EQ(list.addFile(dir / "missing.jpg", true, false), RC_OPEN_FAILED);
    EXPECT_EQ(list.addFile(dir / "dangling.jpg", true, false), RC_OPEN_FAILED);
    EXPECT_EQ(list.addFile(dir / "folder.jpg", true, false), RC_OPEN_FAILED);
    // Probing a FIFO would wait for a writer for ever.
    EXPECT_EQ(list.addFile(dir / "pipe.jpg", true, false), RC_OPEN_FAILED);

    using Box = std::pair<std::string, std::string>;
    const std::vector<Box> expected = {
        {"Unknown file format", "Error - Quillon"},
        {"Corrupted, truncated or malformed file", "Error - Quillon"},
        {"Couldn't open file", "Error - Quillon"},
        {"Couldn't open file", "Error - Quillon"},
        {"Couldn't open file", "Error - Quillon"},
        {"Couldn't open file", "Error - Quillon"},
    };
    EXPECT_EQ(hooks.errors, expected);
    EXPECT_EQ(list.fileCount(), 0u);
    EXPECT_EQ(list.rowCount(), 0u);

    // Without showErrors (folder scans, the command line) nothing is shown.
    hooks.errors.clear();
    EXPECT_EQ(list.addFile(dir / "notes.txt", false, false), RC_UNKNOWN_FORMAT);
    EXPECT_TRUE(hooks.errors.empty());
}

TEST(InputList, DuplicatesAreTheSameFileNotTheSameLetters)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "A.jpg");
    writeImage(dir / "a.jpg");
    writeImage(dir / "sub" / "x.jpg");
    fs::create_hard_link(dir / "A.jpg", dir / "hard.jpg");
    fs::create_symlink(dir / "a.jpg", dir / "soft.jpg");

    EXPECT_EQ(list.addFile(dir / "A.jpg", true, false), RC_OK);
    EXPECT_EQ(list.addFile(dir / "a.jpg", true, false), RC_OK);
    EXPECT_EQ(list.rowCount(), 2u); // two files that differ in case only
    int probes = hooks.probes;
    EXPECT_EQ(list.addFile(dir / "A.jpg", true, false), RC_OK);
    EXPECT_EQ(list.addFile(dir / "sub" / ".." / "a.jpg", true, false), RC_OK);
    EXPECT_EQ(list.addFile(dir / "hard.jpg", true, false), RC_OK);
    EXPECT_EQ(list.addFile(dir / "soft.jpg", true, false), RC_OK);
    EXPECT_EQ(hooks.probes, probes); // refused before probing
    EXPECT_EQ(list.rowCount(), 2u);
    EXPECT_TRUE(hooks.errors.empty());

    // A removed file can be added again.
    list.removeRows({1});
    EXPECT_EQ(list.addFile(dir / "A.jpg", true, false), RC_OK);
    EXPECT_EQ(list.rowCount(), 2u);
    EXPECT_EQ(list.fileCount(), 3u);
}

TEST(InputList, AFileDeletedAfterAddingNoLongerBlocksItsInode)
{
    // A listed file that was deleted may hand its inode to a new file; the
    // new file is not a duplicate. A hard link keeps the inode alive so the
    // reuse is certain.
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "x.jpg");
    fs::create_hard_link(dir / "x.jpg", dir / "y.jpg");
    EXPECT_EQ(list.addFile(dir / "x.jpg", true, false), RC_OK);
    EXPECT_EQ(list.addFile(dir / "y.jpg", true, false), RC_OK);
    EXPECT_EQ(list.rowCount(), 1u); // the same file while x exists
    fs::remove(dir / "x.jpg");
    EXPECT_EQ(list.addFile(dir / "y.jpg", true, false), RC_OK);
    EXPECT_EQ(list.rowCount(), 2u);
    // Removing the stale row does not forget the new file's identity.
    list.removeRows({1});
    fs::create_hard_link(dir / "y.jpg", dir / "z.jpg");
    EXPECT_EQ(list.addFile(dir / "z.jpg", true, false), RC_OK);
    EXPECT_EQ(list.rowCount(), 1u);
}

TEST(InputList, AddingRemembersTheFolderOnlyWhenAsked)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "in" / "a.jpg");
    writeImage(dir / "in" / "b.jpg");
    list.addFile(dir / "in" / "a.jpg", false, true);
    ASSERT_EQ(hooks.remembered.size(), 1u);
    EXPECT_EQ(hooks.remembered[0].string(), (dir / "in").string() + "/");
    list.addDirectory(dir / "in", nullptr);
    list.addFile(dir / "in" / "b.jpg", false, false);
    EXPECT_EQ(hooks.remembered.size(), 1u);
}

namespace {

// root: fun1.JPG abcd.gif abc.gif notes.txt zz.png
//       sub/fun2.jpg sub/deeper/abcd.gif .hidden/fun3.jpg
void makeTree(const fs::path& root)
{
    writeImage(root / "fun1.JPG");
    writeImage(root / "abcd.gif");
    writeImage(root / "abc.gif");
    writeImage(root / "zz.png");
    writeFile(root / "notes.txt", std::string("not an image"));
    writeImage(root / "sub" / "fun2.jpg");
    writeImage(root / "sub" / "deeper" / "abcd.gif");
    writeImage(root / ".hidden" / "fun3.jpg");
}

} // namespace

TEST(InputList, FolderScansFilterAndRecurse)
{
    TempDir dir;
    makeTree(dir.path());

    AddDirectoryParams params;
    params.filter = u"fun*.jpg; ????.gif";
    params.filterOn = 1;
    {
        FakeHooks hooks;
        InputList list(&hooks);
        list.addDirectory(dir.path(), &params);
        EXPECT_EQ(slotPaths(list, dir.path()), (Names{"abcd.gif", "fun1.JPG"}));
        EXPECT_TRUE(hooks.errors.empty());
        EXPECT_EQ(hooks.busyDepth, 0);
        EXPECT_GE(hooks.busyCalls, 1);
    }
    params.recurse = 1;
    {
        FakeHooks hooks;
        InputList list(&hooks);
        list.addDirectory(dir.path(), &params);
        EXPECT_EQ(slotPaths(list, dir.path()),
                  (Names{"abcd.gif", "fun1.JPG", "sub/deeper/abcd.gif", "sub/fun2.jpg"}));
    }
    // The filter is off unless switched on, whatever it holds.
    params.filterOn = 0;
    params.recurse = 0;
    {
        FakeHooks hooks;
        InputList list(&hooks);
        list.addDirectory(dir.path(), &params);
        EXPECT_EQ(slotPaths(list, dir.path()), (Names{"abc.gif", "abcd.gif", "fun1.JPG", "zz.png"}));
        EXPECT_TRUE(hooks.errors.empty()); // notes.txt skipped without a box
    }
    // A dropped folder (no parameters) is scanned through every level; a
    // folder whose name starts with '.' is never entered.
    {
        FakeHooks hooks;
        InputList list(&hooks);
        list.addDirectory(dir.path(), nullptr);
        EXPECT_EQ(slotPaths(list, dir.path()), (Names{"abc.gif", "abcd.gif", "fun1.JPG", "sub/deeper/abcd.gif",
                                                      "sub/fun2.jpg", "zz.png"}));
        // Scanning again adds nothing.
        list.addDirectory(dir.path(), nullptr);
        EXPECT_EQ(list.fileCount(), 6u);
    }
    // Nothing to scan: a missing folder, a file, an empty path.
    {
        FakeHooks hooks;
        InputList list(&hooks);
        list.addDirectory(dir / "nowhere", nullptr);
        list.addDirectory(dir / "zz.png", nullptr);
        list.addDirectory(fs::path(), nullptr);
        EXPECT_EQ(list.fileCount(), 0u);
        EXPECT_EQ(hooks.busyDepth, 0);
    }
}

TEST(InputList, RecursionNeverLoopsThroughLinks)
{
    TempDir dir;
    writeImage(dir / "top" / "a.png");
    writeImage(dir / "top" / "sub" / "b.png");
    writeImage(dir / "other" / "c.png");
    fs::create_directory_symlink(dir / "top", dir / "top" / "sub" / "back");
    fs::create_directory_symlink(dir / "top" / "sub", dir / "top" / "sub" / "self");
    fs::create_directory_symlink(dir / "other", dir / "top" / "elsewhere");

    FakeHooks hooks;
    InputList list(&hooks);
    list.addDirectory(dir / "top", nullptr);
    // The link to a folder outside is followed once; links back are not.
    EXPECT_EQ(slotPaths(list, dir / "top"), (Names{"a.png", "elsewhere/c.png", "sub/b.png"}));
}

TEST(InputList, SidecarOrOrientationFromTheFile)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "side.jpg", 10, 10, 24, 0, 0, 0, "Rotated 90");
    writeImage(dir / "turned.jpg", 30, 10, 24, 0, 0, 0, "Rotated 90");
    writeImage(dir / "mirror.jpg", 30, 10, 24, 0, 0, 0, "Rotated 270 & Bottom-Up");
    writeImage(dir / "plain.jpg", 30, 10, 24, 0, 0, 0, "Unrotated");
    writeImage(dir / "neutral.jpg");
    hooks.sidecars[dir / "side.jpg"] = [](AdjustmentSettings& a) {
        a.setColour(&AdjustmentSettings::luminance, 2.5f);
        a.setColour(&AdjustmentSettings::red, 1.5f);
        a.setColour(&AdjustmentSettings::green, -3.0f);
        a.setColour(&AdjustmentSettings::blue, 0.25f);
        a.setColour(&AdjustmentSettings::contrast, 4.0f);
    };
    hooks.sidecars[dir / "neutral.jpg"] = [](AdjustmentSettings&) {};

    for (const char* n : {"side.jpg", "turned.jpg", "mirror.jpg", "plain.jpg", "neutral.jpg"})
        ASSERT_EQ(list.addFile(dir / n, false, false), RC_OK);

    // The side-car wins over the file's orientation; its luminance and
    // channel gains are capped at 1.
    const FileEntry& side = *list.slot(0);
    ASSERT_NE(side.adjustments, nullptr);
    EXPECT_EQ(side.adjustments->luminance, 1.0f);
    EXPECT_EQ(side.adjustments->red, 1.0f);
    EXPECT_EQ(side.adjustments->green, -3.0f);
    EXPECT_EQ(side.adjustments->blue, 0.25f);
    EXPECT_EQ(side.adjustments->contrast, 4.0f);
    EXPECT_EQ(side.adjustments->colourCount, 5u);
    EXPECT_EQ(side.orientation(), 0);

    const FileEntry& turned = *list.slot(1);
    ASSERT_NE(turned.adjustments, nullptr);
    EXPECT_EQ(turned.orientation(), 1);
    EXPECT_EQ(turned.adjustments->otherCount, 1u);
    EXPECT_EQ(turned.adjustments->colourCount, 0u);
    EXPECT_EQ(u16ToUtf8(fileListColumnText(turned, 1)), "10 \u00B7 30");
    EXPECT_EQ(list.slot(2)->orientation(), 7);
    EXPECT_EQ(list.slot(3)->adjustments, nullptr);
    // An empty side-car still gives the file its own (neutral) record.
    ASSERT_NE(list.slot(4)->adjustments, nullptr);
    EXPECT_TRUE(list.slot(4)->adjustments->isNeutral());
}

TEST(InputList, RemovalLeavesSlotsUntilClearAll)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    for (const char* n : {"a.png", "b.png", "c.png", "d.png"}) {
        writeImage(dir / n);
        list.addFile(dir / n, false, false);
    }
    // Rows: d c b a. Remove c and a.
    list.row(1).overrideName = u"renamed";
    list.row(1).metadataOverride = std::make_unique<ImageInfoOwned>();
    list.removeRows({3, 1, 7});
    EXPECT_EQ(list.rowCount(), 2u);
    EXPECT_EQ(u16ToUtf8(list.row(0).fileName), "d.png");
    EXPECT_EQ(u16ToUtf8(list.row(1).fileName), "b.png");
    EXPECT_EQ(list.fileCount(), 4u);
    EXPECT_EQ(list.slot(0), nullptr);
    EXPECT_EQ(list.slot(2), nullptr);
    EXPECT_FALSE(list.entryAt(2).used());
    EXPECT_TRUE(list.entryAt(2).overrideName.empty());
    EXPECT_EQ(list.entryAt(2).metadataOverride, nullptr);

    writeImage(dir / "e.png");
    list.addFile(dir / "e.png", false, false);
    EXPECT_EQ(list.fileCount(), 5u);
    EXPECT_EQ(u16ToUtf8(list.slot(4)->fileName), "e.png");
    EXPECT_EQ(slotNames(list), (Names{"b.png", "d.png", "e.png"}));

    list.clearAll();
    EXPECT_EQ(list.fileCount(), 0u);
    EXPECT_EQ(list.rowCount(), 0u);
    EXPECT_EQ(hooks.busyDepth, 0);
    list.addFile(dir / "a.png", false, false);
    EXPECT_EQ(list.fileCount(), 1u);
    EXPECT_EQ(u16ToUtf8(list.slot(0)->fileName), "a.png");
}

TEST(InputList, OverflowChunksHoldTheFiles4097On)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    // 4,097 files in one folder: hard links to one image would count as the
    // same file, so write real copies.
    fs::create_directory(dir / "img");
    for (int i = 0; i < 4097; ++i) {
        char name[32];
        snprintf(name, sizeof name, "f%05d.png", i);
        writeFile(dir / "img" / name, std::string("QIMG 1 1 24 0 0 0\n"));
    }
    list.addDirectory(dir / "img", nullptr);
    ASSERT_EQ(list.fileCount(), 4097u);
    EXPECT_EQ(list.chunkCount(), 2u);
    EXPECT_EQ(u16ToUtf8(list.slot(4096)->fileName), "f04096.png");
    EXPECT_EQ(&list.entryAt(4096), list.slot(4096));
    list.clearAll();
    EXPECT_EQ(list.chunkCount(), 1u);
    EXPECT_EQ(list.slot(4096), nullptr);
}

TEST(InputList, SortingByEachColumn)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "b" / "Beta.png", 100, 100, 8);
    writeImage(dir / "a" / "alpha.png", 50, 200, 24);
    writeImage(dir / "C" / "gamma.png", 100, 100, 32);
    writeImage(dir / "c2" / "Delta.png", 70000, 70000, 8);
    for (const char* p : {"b/Beta.png", "a/alpha.png", "C/gamma.png", "c2/Delta.png"})
        list.addFile(dir / p, false, false);
    ASSERT_EQ(u16ToUtf8(list.row(2).fileName), "alpha.png");
    list.row(2).fileSize = 5000; // the others hold a few dozen bytes
    auto order = [&] {
        Names out;
        for (FileEntry* e : list.rows()) out.push_back(u16ToUtf8(e->fileName));
        return out;
    };

    list.sort(fileListCompareName);
    EXPECT_EQ(order(), (Names{"alpha.png", "Beta.png", "Delta.png", "gamma.png"}));
    EXPECT_EQ(list.lastSortCompare(), &fileListCompareName);
    list.sort(fileListCompareName);
    EXPECT_EQ(order(), (Names{"gamma.png", "Delta.png", "Beta.png", "alpha.png"}));
    EXPECT_EQ(list.lastSortCompare(), nullptr);
    list.sort(fileListCompareName);
    EXPECT_EQ(order(), (Names{"alpha.png", "Beta.png", "Delta.png", "gamma.png"}));

    // Pixels first, then bits; 70000 x 70000 does not wrap to a small count.
    list.sort(fileListCompareResolution);
    EXPECT_EQ(order(), (Names{"Beta.png", "alpha.png", "gamma.png", "Delta.png"}));
    // Bits first, then pixels.
    list.sort(fileListCompareBits);
    EXPECT_EQ(order(), (Names{"Beta.png", "Delta.png", "alpha.png", "gamma.png"}));
    list.sort(fileListCompareSize);
    EXPECT_EQ(order().back(), "alpha.png");
    list.sort(fileListCompareSize);
    EXPECT_EQ(order().front(), "alpha.png");
    // Folders compare without regard to case: a, b, C, c2.
    list.sort(fileListCompareFolder);
    EXPECT_EQ(order(), (Names{"alpha.png", "Beta.png", "gamma.png", "Delta.png"}));

    // Adding a file forgets the last sort: the next click is ascending again.
    writeImage(dir / "e.png");
    list.addFile(dir / "e.png", false, false);
    EXPECT_EQ(list.lastSortCompare(), nullptr);
    EXPECT_EQ(u16ToUtf8(list.row(0).fileName), "e.png");
    list.sort(fileListCompareFolder);
    EXPECT_EQ(order().front(), "e.png"); // its folder is the others' parent
    EXPECT_EQ(order().back(), "Delta.png");
}

TEST(InputList, OrientationMasksAndAlphaPlane)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "a.png", 20, 10);
    writeImage(dir / "b.png", 20, 10);
    writeImage(dir / "mask.png");
    writeFile(dir / "junk.png", std::string("junk"));
    list.addFile(dir / "a.png", false, false);
    list.addFile(dir / "b.png", false, false); // rows: b a

    list.setOrientation({0}, ORIENT_ROTATION_MASK, 0); // nothing to clear: no record made
    EXPECT_EQ(list.row(0).adjustments, nullptr);
    list.setOrientation({0, 1}, ORIENT_ROTATION_MASK, 3);
    list.setOrientation({0}, ORIENT_MIRROR_H, ORIENT_MIRROR_H);
    EXPECT_EQ(list.row(0).orientation(), 3 | 8);
    EXPECT_EQ(list.row(1).orientation(), 3);
    EXPECT_EQ(list.row(0).adjustments->otherCount, 1u);
    list.setOrientation({0}, ORIENT_ROTATION_MASK, 2);
    EXPECT_EQ(list.row(0).orientation(), 2 | 8);
    list.setOrientation({0}, ORIENT_ROTATION_MASK | ORIENT_MIRROR_H, 0);
    ASSERT_NE(list.row(0).adjustments, nullptr); // the record stays, neutral
    EXPECT_TRUE(list.row(0).adjustments->isNeutral());

    hooks.errors.clear();
    EXPECT_EQ(list.setAlphaPlane({0, 1}, dir / "junk.png"), RC_UNKNOWN_FORMAT);
    ASSERT_EQ(hooks.errors.size(), 1u);
    EXPECT_EQ(hooks.errors[0].first, "Unknown file format");
    EXPECT_EQ(hooks.errors[0].second, "Error - Quillon");
    EXPECT_TRUE(list.row(0).alphaFilePath.empty());

    EXPECT_EQ(list.setAlphaPlane({0, 1}, dir / "mask.png"), RC_OK);
    EXPECT_EQ(list.row(1).alphaFilePath, dir / "mask.png");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(list.row(1), 0)), "a.png {image} + mask.png {alpha}");
    list.clearAlphaPlane({1});
    EXPECT_TRUE(list.row(1).alphaFilePath.empty());
    EXPECT_FALSE(list.row(0).alphaFilePath.empty());
}

TEST(InputList, AddDirectoryDialogCheck)
{
    TempDir dir;
    writeImage(dir / "f.png");
    EXPECT_EQ(std::u16string(addDirectoryCheck(fs::path())),
              u"Please select a directory first!\n\nUse the [...] button to browse...");
    EXPECT_EQ(std::u16string(addDirectoryCheck(dir / "missing")), u"The directory doesn't exist!");
    EXPECT_EQ(std::u16string(addDirectoryCheck(dir / "f.png")), u"The directory doesn't exist!");
    EXPECT_EQ(addDirectoryCheck(dir.path()), nullptr);
}

TEST(InputList, LongPathsKeepEveryCharacter)
{
    TempDir dir;
    fs::path folder = dir.path();
    for (char c : {'a', 'b', 'c'}) folder /= std::string(100, c);
    std::string name = std::string(200, 'n') + ".tiff";
    writeImage(folder / name);
    FakeHooks hooks;
    InputList list(&hooks);
    list.addDirectory(dir.path(), nullptr);
    ASSERT_EQ(list.fileCount(), 1u);
    const FileEntry& e = *list.slot(0);
    EXPECT_GT(e.path.native().size(), 500u);
    EXPECT_EQ(u16ToUtf8(e.fileName), name);
    EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 0)), name);
    EXPECT_EQ(u16ToUtf8(fileListColumnText(e, 4)), folder.string() + "/");
}

TEST(InputList, RelativeNamesBecomeFullPaths)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    writeImage(dir / "sub" / "rel.png");
    struct Cwd {
        fs::path old = fs::current_path();
        ~Cwd() { fs::current_path(old); }
    } restore;
    fs::current_path(dir.path());
    ASSERT_EQ(list.addFile("./sub/./rel.png", false, false), RC_OK);
    ASSERT_EQ(list.fileCount(), 1u);
    EXPECT_EQ(list.slot(0)->path, dir / "sub" / "rel.png");
    EXPECT_EQ(u16ToUtf8(fileListColumnText(*list.slot(0), 4)), (dir / "sub").string() + "/");
    // The same file by its full name is a duplicate.
    ASSERT_EQ(list.addFile(dir / "sub" / "rel.png", false, false), RC_OK);
    EXPECT_EQ(list.fileCount(), 1u);
}

// A scan tells what it passed over among the names a user takes for
// pictures of ours (an empty file, text named .jpg, a link to nothing);
// other extensions, files the filter excludes and deeper levels are passed
// over without a word, and the dialog's scan (no report asked) is as before.
TEST(InputList, FolderScansNameWhatTheyLeaveOut)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    writeImage(dir / "good.png");
    writeFile(dir / "empty.jpg", std::string());
    writeFile(dir / "text.JPG", std::string("hello"));
    writeFile(dir / "notes.txt", std::string("hello"));
    writeFile(dir / "sub" / "deep.jpg", std::string("hello"));
    writeFile(dir / "skip.gif", std::string("hello"));
    fs::create_symlink(dir / "nowhere.png", dir / "gone.png");

    FakeHooks hooks;
    hooks.registry = &reg;
    InputList list(&hooks);
    AddDirectoryParams params;
    params.filter = u"*.jpg;*.png;*.txt";
    params.filterOn = 1;
    std::vector<FileNotAdded> leftOut;
    list.addDirectory(dir.path(), &params, &leftOut);
    EXPECT_EQ(slotNames(list), (Names{"good.png"}));
    Names named;
    for (const FileNotAdded& f : leftOut) named.push_back(f.path.filename().string() + " " + u16ToUtf8(errorText(f.rc)));
    EXPECT_EQ(named, (Names{"empty.jpg Unknown file format", "gone.png Couldn't open file",
                            "text.JPG Unknown file format"}));

    InputList again(&hooks);
    again.addDirectory(dir.path(), &params);
    EXPECT_EQ(slotNames(again), (Names{"good.png"}));
    EXPECT_TRUE(hooks.errors.empty());

    // Folders a scan cannot read are named with the system's reason,
    // whatever the filter: one whose path is longer than the system takes
    // (made one level at a time, by relative names), and, where permissions
    // hold (not for root), one its user may not read, given or met.
    TempDir tree;
    writeImage(tree / "top" / "a.png");
    const std::string level(200, 'd');
    ASSERT_EQ(run("bash -c " + shellQuote("cd " + shellQuote((tree / "top").string()) +
                                          " && for i in $(seq 25); do mkdir " + level + " && cd " + level +
                                          " || exit 1; done")),
              0);
    fs::path tooLong = tree / "top";
    while (tooLong.native().size() < PATH_MAX) tooLong /= level;
    fs::create_directories(tree / "top" / "locked");
    ::chmod((tree / "top" / "locked").c_str(), 0);
    std::vector<FileNotAdded> folders;
    params.recurse = 1;
    InputList deep(&hooks);
    deep.addDirectory(tree / "top", &params, &folders);
    deep.addDirectory(tree / "top" / "locked", &params, &folders);
    ::chmod((tree / "top" / "locked").c_str(), 0700);
    run("rm -rf " + shellQuote(tree.path().string()));
    EXPECT_EQ(slotNames(deep), (Names{"a.png"}));
    Names reasons;
    for (const FileNotAdded& f : folders) reasons.push_back(f.path.string() + ": " + f.reason);
    if (geteuid() == 0)
        EXPECT_EQ(reasons, (Names{tooLong.string() + ": File name too long"}));
    else
        EXPECT_EQ(reasons, (Names{tooLong.string() + ": File name too long",
                                  (tree / "top" / "locked").string() + ": Permission denied",
                                  (tree / "top" / "locked").string() + ": Permission denied"}));
    EXPECT_EQ(u16ToUtf8(notAddedText({{tree / "top" / "locked/", RC_OPEN_FAILED, "Permission denied"}})),
              "This file could not be added:\n\nlocked: Permission denied");
}

// The box naming the files of one addition that could not be added lists
// ten and counts the rest: at exactly ten there is no rest to count, and one
// more file is counted, not listed.
TEST(InputList, NotAddedBoxListsTenAndCountsOnlyARealRest)
{
    auto failures = [](size_t n) {
        std::vector<FileNotAdded> files;
        for (size_t i = 1; i <= n; ++i)
            files.push_back({fs::path("/in") / ("f" + std::to_string(i) + ".png"),
                             i % 2 ? RC_UNKNOWN_FORMAT : RC_CORRUPT_FILE});
        return files;
    };
    auto lines = [](size_t from, size_t to) {
        std::string text;
        for (size_t i = from; i <= to; ++i)
            text += "\nf" + std::to_string(i) + ".png: " +
                    (i % 2 ? "Unknown file format" : "Corrupted, truncated or malformed file");
        return text;
    };
    EXPECT_EQ(u16ToUtf8(notAddedText(failures(1))), "This file could not be added:\n" + lines(1, 1));
    EXPECT_EQ(u16ToUtf8(notAddedText(failures(9))), "These 9 files could not be added:\n" + lines(1, 9));
    EXPECT_EQ(u16ToUtf8(notAddedText(failures(10))), "These 10 files could not be added:\n" + lines(1, 10));
    EXPECT_EQ(u16ToUtf8(notAddedText(failures(11))),
              "These 11 files could not be added:\n" + lines(1, 10) + "\n...and 1 more.");
}
