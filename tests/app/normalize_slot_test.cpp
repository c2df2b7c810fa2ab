#include <gtest/gtest.h>

#include "app/job_settings.h"
#include "app/presets.h"
#include "core/format.h"
#include "platform/settings_store.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

namespace {

ImageReader* noReader(MappedFile*, const FormatDescriptor*) { return nullptr; }
ImageWriter* noWriter(const std::filesystem::path&, const FormatDescriptor*) { return nullptr; }

const char16_t* const kBmpSubs[] = {u"Normal", u"RLE compressed", u""};
const ColourFormatFlags kBmpCaps[] = {CF_2_COLOURS | CF_16_COLOURS | CF_256_COLOURS | CF_RGB24 | CF_RGBA32,
                                      CF_16_COLOURS | CF_256_COLOURS};
const char16_t* const kJpgSubs[] = {u"Normal, by Quality:", u"Target size:", u"Lossless, factor:", u""};
const ColourFormatFlags kJpgCaps[] = {CF_GRAY8 | CF_RGB24, CF_GRAY8 | CF_RGB24, CF_RGB24};
const uint8_t kJpgKinds[] = {PARAM_QUALITY, PARAM_SIZE_KB, PARAM_FACTOR};

const FormatDescriptor kBbm{u"bbm", u"Deluxe Paint", nullptr, noReader};
const FormatDescriptor kBmp{u"bmp", u"Windows bitmap", nullptr, noReader, noWriter, kBmpSubs, kBmpCaps};
const FormatDescriptor kJpg{u"jpg", u"JPEG", nullptr, noReader, noWriter, kJpgSubs, kJpgCaps, kJpgKinds};
const FormatDescriptor kPcd{u"pcd", u"Photo CD", nullptr, noReader};

// Sorted: bbm 0 (read only), bmp 1, jpg 2, pcd 3 (read only).
struct Registry : FormatRegistry {
    Registry()
    {
        for (const FormatDescriptor* d : {&kPcd, &kJpg, &kBbm, &kBmp}) add(d);
    }
};

} // namespace

TEST(NormalizeSlot, FirstStartDefaultsBecomeAWorkingOutput)
{
    Registry reg;
    ASSERT_EQ(reg.at(1), &kBmp);
    JobSettings js;
    OutputFormatSlot slot; // format 0, "Default", colour 31
    normalizeSlot(slot, js, &reg);
    EXPECT_EQ(slot.iFormatId, 1);
    EXPECT_TRUE(slot.szSubFormat == u"Normal");
    EXPECT_EQ(slot.iColorFormat, 0xFFFFFFFFu);
    EXPECT_EQ(slot.iCompParam, 0); // "Normal" takes no number
}

TEST(NormalizeSlot, ValidChoicesStayAndGapsAreFilled)
{
    Registry reg;
    JobSettings js;
    js.iLastQualityPercent = 88;
    js.iLastSizeKB = 120;
    js.iLastXFactor = 3;

    OutputFormatSlot jpg{2, CF_GRAY8, 0, u"Target size:"};
    normalizeSlot(jpg, js, &reg);
    EXPECT_EQ(jpg.iFormatId, 2);
    EXPECT_TRUE(jpg.szSubFormat == u"Target size:");
    EXPECT_EQ(jpg.iColorFormat, uint32_t(CF_GRAY8));
    EXPECT_EQ(jpg.iCompParam, 120);

    OutputFormatSlot given{2, CF_AUTO, 60, u"Normal, by Quality:"};
    normalizeSlot(given, js, &reg);
    EXPECT_EQ(given.iCompParam, 60);
    EXPECT_EQ(given.iColorFormat, 0xFFFFFFFFu);

    OutputFormatSlot factor{2, CF_RGB24, 0, u"Lossless, factor:"};
    normalizeSlot(factor, js, &reg);
    EXPECT_EQ(factor.iCompParam, 3);

    // Names match exactly; colours must be one flag of this sub-format.
    for (uint32_t colour : {uint32_t(CF_GRAY8 | CF_RGB24), uint32_t(CF_256_COLOURS), 0u, 31u}) {
        OutputFormatSlot s{2, colour, 0, u"normal, by quality:"};
        normalizeSlot(s, js, &reg);
        EXPECT_TRUE(s.szSubFormat == u"Normal, by Quality:");
        EXPECT_EQ(s.iColorFormat, 0xFFFFFFFFu) << colour;
        EXPECT_EQ(s.iCompParam, 88);
    }
    OutputFormatSlot rle{1, CF_256_COLOURS, 0, u"RLE compressed"};
    normalizeSlot(rle, js, &reg);
    EXPECT_EQ(rle.iColorFormat, uint32_t(CF_256_COLOURS));
    EXPECT_EQ(rle.iCompParam, 0);

    // A read-only format with no writer after it: the first writable one.
    OutputFormatSlot last{3, CF_RGB24, 0, u"Normal"};
    normalizeSlot(last, js, &reg);
    EXPECT_EQ(last.iFormatId, 1);
    EXPECT_EQ(last.iColorFormat, uint32_t(CF_RGB24));

    // By extension: nothing to check against.
    OutputFormatSlot byExt{-1, 31, 0, u"Whatever"};
    normalizeSlot(byExt, js, &reg);
    EXPECT_EQ(byExt.iFormatId, -1);
    EXPECT_EQ(byExt.iColorFormat, 31u);
    EXPECT_TRUE(byExt.szSubFormat == u"Whatever");

    // An empty registry changes nothing.
    FormatRegistry empty;
    JobSettings untouched;
    normalizeSlots(untouched, &empty);
    EXPECT_EQ(untouched.slots[0].iFormatId, 0);
    EXPECT_TRUE(untouched.slots[0].szSubFormat == u"Default");
}

TEST(NormalizeSlot, SettingsAndPresetsLoadWritableSlots)
{
    Registry reg;
    TempDir dir;
    {
        auto store = SettingsStore::openFile(dir / "settings");
        store->writeString("VersionNumber", u"5.2");
        store->writeDword("iFormatId0", 4);         // past the registry: default
        store->writeDword("iFormatId1", 2);
        store->writeString("szSubFormat1", u"Target size:");
        store->writeDword("iColorFormat1", CF_RGB24);
        store->writeDword("iFormatId2", uint32_t(-1));
        store->commit();
    }
    JobSettings js;
    auto store = SettingsStore::openFile(dir / "settings");
    settingsLoadFrom(js, store.get(), &reg);
    EXPECT_EQ(js.slots[0].iFormatId, 1);
    EXPECT_TRUE(js.slots[0].szSubFormat == u"Normal");
    EXPECT_EQ(js.slots[1].iFormatId, 2);
    EXPECT_EQ(js.slots[1].iColorFormat, uint32_t(CF_RGB24));
    EXPECT_EQ(js.slots[1].iCompParam, 50);
    EXPECT_EQ(js.slots[2].iFormatId, -1);
    EXPECT_EQ(js.slots[7].iFormatId, 1);

    // 17 is no format, but in a slot the preset does not use.
    test::writeFile(dir / "p.qpt", std::string("[Quillon]\niOutFormats=2\niFormatId0=0\niColorFormat0=-1\n"
                                               "szSubFormat0=Default\niFormatId5=17\n"));
    JobSettings p;
    p.slots[1].iFormatId = 2;
    p.slots[1].szSubFormat = u"Normal, by Quality:";
    EXPECT_TRUE(presetLoad(p, dir / "p.qpt", &reg));
    EXPECT_EQ(p.iOutFormats, 2u);
    EXPECT_EQ(p.slots[0].iFormatId, 1);
    EXPECT_TRUE(p.slots[0].szSubFormat == u"Normal");
    EXPECT_EQ(p.slots[1].iFormatId, 2); // no key: the slot keeps its own
    EXPECT_EQ(p.slots[1].iCompParam, 75);
}
