#include "app/format_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/image_reader.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

TEST(FormatTable, FortyOneDescriptorsSortedAsSavedSettingsExpect)
{
    FormatRegistry r;
    registerAllFormats(r);
    ASSERT_EQ(r.count(), kFormatTableRows);
    EXPECT_EQ(formatTableRow(41), nullptr);
    std::set<std::string> keys;
    for (int i = 0; i < r.count(); ++i) {
        const FormatDescriptor* d = r.at(i);
        keys.insert(u16ToUtf8(d->extension) + "|" + u16ToUtf8(d->description));
        if (i) {
            EXPECT_LE(compareNoCase(r.at(i - 1)->extension, d->extension), 0);
        }
        // Writable formats carry their lists; read-only ones none.
        if (d->subFormatNames) {
            EXPECT_GT(d->subFormatCount(), 0u);
            EXPECT_NE(d->subFormatCaps, nullptr);
        }
    }
    EXPECT_EQ(keys.size(), 41u);
    // The saved position of a format is its index in this order.
    const char* order[] = {"bbm", "bmp", "cal", "cals", "cur", "dds", "dib", "fit", "fits", "gif", "hdr",
                           "ico", "iff", "img", "jfif", "jif", "jpe", "jpeg", "jpg", "lbm", "mac", "neo",
                           "pbm", "pcx", "pfm", "pgm", "pic", "pic", "png", "pnm", "ppm", "psd", "pxr",
                           "ras", "ras", "raw", "rle", "tga", "tif", "tiff", "webp"};
    for (int i = 0; i < 41; ++i) EXPECT_EQ(u16ToUtf8(r.at(i)->extension), order[i]) << i;
    EXPECT_EQ(u16ToUtf8(r.at(26)->description), "PC Paint image");
    EXPECT_EQ(u16ToUtf8(r.at(27)->description), "Radiance RGBE image format");
    EXPECT_EQ(u16ToUtf8(r.at(33)->description), "Computer aided A & L support");
    EXPECT_EQ(u16ToUtf8(r.at(34)->description), "Sun raster format");
    // Lists of the writers, exactly.
    const FormatDescriptor* jpg = r.at(18);
    EXPECT_EQ(jpg->subFormatCount(), 6u);
    EXPECT_EQ(u16ToUtf8(jpg->subFormatNames[1]), "Normal, to Size:");
    EXPECT_EQ(jpg->paramKind(1), PARAM_SIZE_KB);
    EXPECT_EQ(jpg->paramKind(4), PARAM_QUALITY);
    EXPECT_EQ(jpg->subFormatCaps[5], 0x4100u);
    const FormatDescriptor* tiff = r.at(39);
    EXPECT_EQ(u16ToUtf8(tiff->subFormatNames[2]), "JPEG, by Quality:");
    EXPECT_EQ(tiff->paramKind(2), PARAM_QUALITY);
    EXPECT_EQ(tiff->subFormatCaps[3], 0x500000u);
    EXPECT_EQ(r.at(40)->paramKind(1), PARAM_QUALITY);
    EXPECT_EQ(r.at(1)->subFormatCaps[0], 0xD089u);
    EXPECT_EQ(r.at(1)->subFormatCaps[1], 0x88u);
    EXPECT_EQ(r.at(1)->paramKinds, nullptr);
    EXPECT_EQ(r.at(5)->subFormatCount(), 12u);
    EXPECT_EQ(r.at(35)->subFormatCaps[1], 0xCCC000u);
    // BMP reads through all three of its extensions, writes only as "bmp".
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"a.DIB"), false), 6);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"a.rle"), false), 36);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"a.rle"), true), -1);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"a.bmp"), true), 1);
}

TEST(FormatTable, FormatsNotBuiltOpenNothing)
{
    // A registry of its own: settings tests in this binary read the
    // process-wide one. Every row without a reader is looked for by name:
    // whichever codecs exist, none of those rows is found or probed.
    FormatRegistry r;
    registerAllFormats(r);
    TempDir dir;
    for (int i = 0; i < kFormatTableRows; ++i) {
        const FormatDescriptor* d = formatTableRow(i);
        if (d->createReader) continue;
        EXPECT_EQ(d->probe, nullptr) << u16ToUtf8(d->extension);
        int found = r.findByExtension(std::u16string_view(d->extension), false);
        // "pic" and "ras" name two formats: the other one may be built.
        if (found >= 0) {
            EXPECT_NE(r.at(found), d);
            EXPECT_NE(r.at(found)->createReader, nullptr);
        }
    }
    // And by content: a registry of one row without entry points opens
    // nothing, even sniffing.
    FormatDescriptor none{u"psd", u"PhotoShop format"};
    FormatRegistry lone;
    lone.add(&none);
    writeFile(dir / "x.psd", std::string("8BPS and then some bytes of no known format at all.........."));
    Ref<ImageReader> reader;
    EXPECT_EQ(imageFileOpen(reader, dir / "x.psd", true, &lone), RC_UNKNOWN_FORMAT);
    EXPECT_FALSE(reader);
}

TEST(FormatTable, WritableRowsCarryTheirCodecsEntryPoints)
{
    // A row with a writer reads too, and its lists are complete.
    for (int i = 0; i < kFormatTableRows; ++i) {
        const FormatDescriptor* d = formatTableRow(i);
        if (!d->createWriter) continue;
        SCOPED_TRACE(u16ToUtf8(d->extension));
        EXPECT_NE(d->createReader, nullptr);
        EXPECT_NE(d->probe, nullptr);
        ASSERT_NE(d->subFormatNames, nullptr);
        uint32_t n = d->subFormatCount();
        ASSERT_GT(n, 0u);
        for (uint32_t k = 0; k < n; ++k) EXPECT_NE(d->subFormatCaps[k], 0u) << k;
    }
    const FormatDescriptor* bmp = formatTableRow(0);
    EXPECT_EQ(u16ToUtf8(bmp->extension), "bmp");
    EXPECT_NE(bmp->createWriter, nullptr);
    EXPECT_EQ(bmp->subFormatIndex(u"RLE compressed"), 1);
}
