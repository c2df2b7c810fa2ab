#include "core/format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "app/format_table.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// Fake codecs: a probe accepts data that starts with its magic word.
int g_probeCalls[8];

template <int N>
ResultCode probeMagic(MappedFile* f)
{
    static const char* magic[] = {"AAAA", "BBBB", "CCCC", "DDDD", "EEEE", "FFFF", "GGGG", "HHHH"};
    ++g_probeCalls[N];
    return f->size() >= 4 && std::memcmp(f->data(), magic[N], 4) == 0 ? RC_OK : RC_UNKNOWN_FORMAT;
}

class StubReader final : public ImageReader {
public:
    using ImageReader::ImageReader;
    ResultCode headerResult = RC_OK;

protected:
    ResultCode readHeader(const void*) override
    {
        width = height = 1;
        pixelFormat = PF_GRAY8;
        bitsPerPixel = 8;
        return headerResult;
    }
    ResultCode readPixels(Image*, bool, Progress*, AbortFlag*) override { return RC_OK; }
};
ImageReader* stubCreate(MappedFile* f, const FormatDescriptor* d) { return new StubReader(f, d); }

// A probe that knows its signature "VER" but refuses the file: version 9 is
// not read, version 0 is damage; version 1 is claimed.
ResultCode probeVersioned(MappedFile* f)
{
    if (f->size() < 4 || std::memcmp(f->data(), "VER", 3) != 0) return RC_UNKNOWN_FORMAT;
    switch (f->data()[3]) {
    case '1': return RC_OK;
    case '9': return RC_UNSUPPORTED_SUBFORMAT;
    case '0': return RC_CORRUPT_FILE;
    default: return RC_OUT_OF_MEMORY;  // not a refusal that names the format
    }
}
ImageWriter* stubWriter(const std::filesystem::path&, const FormatDescriptor*) { return nullptr; }


} // namespace

TEST(FormatRegistry, SortsByExtensionThenDescriptionStably)
{
    FormatDescriptor tif{u"tif", u"Tag image file format"}, tiff{u"tiff", u"Tag image file format"},
        TIF{u"TIF", u"Another tif"}, tif2{u"tif", u"Tag image file format"}, a{u"a", u"z"};
    FormatRegistry r;
    for (auto* d : {&tif, &tiff, &TIF, &tif2, &a}) ASSERT_TRUE(r.add(d));
    ASSERT_EQ(r.count(), 5);
    EXPECT_EQ(r.at(0), &a);
    EXPECT_EQ(r.at(1), &TIF);  // same extension without regard to case, "Another" first
    EXPECT_EQ(r.at(2), &tif);  // equal entries keep their order
    EXPECT_EQ(r.at(3), &tif2);
    EXPECT_EQ(r.at(4), &tiff);
    EXPECT_EQ(r.at(5), nullptr);
    EXPECT_EQ(r.at(-1), nullptr);
    // Growth past the first block of 32.
    FormatRegistry big;
    std::vector<FormatDescriptor> many(70, FormatDescriptor{u"x", u"y"});
    for (auto& d : many) ASSERT_TRUE(big.add(&d));
    EXPECT_EQ(big.count(), 70);
    for (int i = 0; i < 70; ++i) EXPECT_EQ(big.at(i), &many[size_t(i)]);
}

TEST(FormatRegistry, ExtensionRules)
{
    FormatDescriptor jpg{u"jpg", u"JPEG image file", probeMagic<0>, stubCreate, stubWriter};
    FormatDescriptor jpeg{u"jpeg", u"JPEG image file", probeMagic<0>, stubCreate};
    FormatDescriptor qxb{u"qxb", u"not an image", probeMagic<1>, stubCreate};
    FormatDescriptor none{u"png", u"not built yet"};
    FormatRegistry r;
    for (auto* d : {&jpg, &jpeg, &qxb, &none}) r.add(d);
    int iJpg = r.indexOf(&jpg), iJpeg = r.indexOf(&jpeg);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.JPG"), false), iJpg);
    EXPECT_EQ(r.findByExtension(std::filesystem::path("/a.b/photo.jpeg"), false), iJpeg);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"jpg"), false), iJpg); // bare extension
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.jpeg2"), false), -1);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.jpegxl"), false), -1); // 6 characters
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo."), false), -1);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.qxb"), false), -1);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.jpeg"), true), -1); // no writer
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.jpg"), true), iJpg);
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"photo.png"), false), -1); // no entry points
    EXPECT_EQ(r.findByExtension(std::u16string_view(u"a/b.dir/file"), false), -1);
}

TEST(FormatRegistry, ProbeTriesEveryDescriptorOfTheExtensionThenSniffs)
{
    // Two descriptors share "pic" and two share "ras"; the one sorting first
    // by description fails its probe on the other's data.
    FormatDescriptor pcPaint{u"pic", u"PC Paint image", probeMagic<0>, stubCreate};
    FormatDescriptor radiance{u"pic", u"Radiance RGBE image format", probeMagic<1>, stubCreate};
    FormatDescriptor cals{u"ras", u"Computer aided A & L support", probeMagic<2>, stubCreate};
    FormatDescriptor sun{u"ras", u"Sun raster format", probeMagic<3>, stubCreate};
    FormatDescriptor png{u"png", u"Portable network graphics", probeMagic<4>, stubCreate};
    FormatDescriptor bmp{u"bmp", u"Windows bitmap format", probeMagic<5>, stubCreate};
    FormatDescriptor unbuilt{u"zzz", u"not built", probeMagic<6>, nullptr};
    FormatRegistry r;
    for (auto* d : {&sun, &radiance, &png, &bmp, &cals, &pcPaint, &unbuilt}) r.add(d);
    EXPECT_LT(r.indexOf(&pcPaint), r.indexOf(&radiance));
    EXPECT_LT(r.indexOf(&cals), r.indexOf(&sun));

    auto src = [](const char* bytes, const char* name) {
        return Ref<MappedFile>::adopt(memoryStreamCreate(bytes, std::strlen(bytes), name));
    };
    std::memset(g_probeCalls, 0, sizeof g_probeCalls);
    EXPECT_EQ(r.probe(src("BBBB....", "x.pic").get(), false), r.indexOf(&radiance));
    EXPECT_EQ(r.probe(src("DDDD....", "x.RAS").get(), false), r.indexOf(&sun));
    EXPECT_EQ(g_probeCalls[4] + g_probeCalls[5], 0); // nothing else was probed
    // A PNG named .bmp: found only by sniffing, each probe asked once.
    std::memset(g_probeCalls, 0, sizeof g_probeCalls);
    EXPECT_EQ(r.probe(src("EEEE....", "x.bmp").get(), false), -1);
    EXPECT_EQ(r.probe(src("EEEE....", "x.bmp").get(), true), r.indexOf(&png));
    EXPECT_EQ(g_probeCalls[5], 2);
    EXPECT_EQ(g_probeCalls[6], 0); // a descriptor without a reader is never probed
    EXPECT_EQ(r.probe(src("GGGG....", "x.zzz").get(), true), -1);
    EXPECT_EQ(r.probe(nullptr, true), -1);
    Ref<MappedFile> empty = Ref<MappedFile>::adopt(memoryStreamCreate("", 0, "x.png"));
    EXPECT_EQ(r.probe(empty.get(), true), -1);
}

TEST(FormatRegistry, ImageFileOpenResults)
{
    FormatDescriptor bmp{u"bmp", u"Windows bitmap format", probeMagic<5>, stubCreate};
    FormatDescriptor png{u"png", u"Portable network graphics", probeMagic<4>, stubCreate};
    FormatRegistry r;
    r.add(&bmp);
    r.add(&png);
    TempDir dir;
    writeFile(dir / "empty.bmp", std::string());
    writeFile(dir / "png.bmp", std::string("EEEEdata"));
    writeFile(dir / "junk.bmp", std::string("nothing known"));
    Ref<ImageReader> reader;
    EXPECT_EQ(imageFileOpen(reader, dir / "empty.bmp", true, &r), RC_OPEN_FAILED);
    EXPECT_EQ(imageFileOpen(reader, dir / "missing.bmp", true, &r), RC_OPEN_FAILED);
    EXPECT_EQ(imageFileOpen(reader, dir / "png.bmp", false, &r), RC_UNKNOWN_FORMAT);
    EXPECT_FALSE(reader);
    EXPECT_EQ(imageFileOpen(reader, dir / "junk.bmp", true, &r), RC_UNKNOWN_FORMAT);
    ASSERT_EQ(imageFileOpen(reader, dir / "png.bmp", true, &r), RC_OK);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->descriptor, &png);
    // The reader holds the only reference to the mapping: it survives the
    // file's removal and goes with the reader.
    EXPECT_EQ(reader->input->refCount(), 1u);
    std::filesystem::remove(dir / "png.bmp");
    EXPECT_EQ(std::memcmp(reader->fileData(), "EEEE", 4), 0);
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_FORMAT)), "Portable network graphics");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_TITLE)), "png");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_FILE_SIZE)), "8");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_COMPRESSION)), "None");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_COLOUR_MODEL)), "RGB");
    EXPECT_EQ(u16ToUtf8(reader->info.get(INFO_BITS_PER_PIXEL)), "8");
    EXPECT_TRUE(reader->info.has(INFO_FILE_TIME));
    EXPECT_EQ(pathToU16(dir / "png.bmp"), reader->info.get(INFO_PATH));
}

TEST(FormatRegistry, AProbesRefusalReachesTheUserWhenNobodyClaimsTheFile)
{
    FormatDescriptor ver{u"ver", u"Versioned", probeVersioned, stubCreate};
    FormatDescriptor png{u"png", u"Portable network graphics", probeMagic<4>, stubCreate};
    FormatRegistry r;
    r.add(&ver);
    r.add(&png);
    auto open = [&r](const char* bytes, const char* name, bool sniff) {
        Ref<MappedFile> f = Ref<MappedFile>::adopt(memoryStreamCreate(bytes, std::strlen(bytes), name, false));
        Ref<ImageReader> reader;
        ResultCode rc = imageSourceOpen(reader, f.get(), sniff, &r);
        EXPECT_EQ(bool(reader), succeeded(rc));
        return rc;
    };
    EXPECT_EQ(open("VER1....", "a.ver", false), RC_OK);
    EXPECT_EQ(open("VER9....", "a.ver", false), RC_UNSUPPORTED_SUBFORMAT);
    EXPECT_EQ(open("VER0....", "a.ver", false), RC_CORRUPT_FILE);
    // Found by sniffing under another name, too.
    EXPECT_EQ(open("VER9....", "a.png", true), RC_UNSUPPORTED_SUBFORMAT);
    EXPECT_EQ(open("VER9....", "a.png", false), RC_UNKNOWN_FORMAT);  // never asked
    // Other failures of a probe say only that the file is not its format.
    EXPECT_EQ(open("VER7....", "a.ver", true), RC_UNKNOWN_FORMAT);
    EXPECT_EQ(open("XXXX....", "a.ver", true), RC_UNKNOWN_FORMAT);
    // A refusal never hides a probe that claims the file.
    EXPECT_EQ(open("EEEE....", "a.ver", true), RC_OK);
    ResultCode refusal = RC_OK;
    Ref<MappedFile> f = Ref<MappedFile>::adopt(memoryStreamCreate("VER0", 4, "b.ver", false));
    EXPECT_EQ(r.probe(f.get(), true, &refusal), -1);
    EXPECT_EQ(refusal, RC_CORRUPT_FILE);
    Ref<MappedFile> g = Ref<MappedFile>::adopt(memoryStreamCreate("EEEE", 4, "b.ver", false));
    EXPECT_EQ(r.probe(g.get(), true, &refusal), r.indexOf(&png));
}

TEST(ColourFormats, TableNamesAndBits)
{
    EXPECT_EQ(colourFormatBits(0x8000), 32);
    EXPECT_EQ(u16ToUtf8(colourFormatName(0x8000)), "32-bit clr+A "); // ends with a blank
    EXPECT_EQ(colourFormatBits(0x400000), 96);
    EXPECT_EQ(colourFormatBits(0x200), -1);
    EXPECT_EQ(colourFormatBits(0xFFFFFFFF), 0);
    EXPECT_EQ(u16ToUtf8(colourFormatName(0xFFFFFFFF)), "Auto");
    int rows = 0;
    while (kColourFormats[rows].flag) ++rows;
    EXPECT_EQ(rows, 20);
    EXPECT_EQ(paramKindDefault(PARAM_QUALITY), 75);
    EXPECT_EQ(paramKindDefault(PARAM_FACTOR), 10);
    EXPECT_EQ(paramKindDefault(PARAM_SIZE_KB), 50);
}

namespace {

// Opens `bytes` under `name` through every registered format, sniffing as
// the batch does.
ResultCode openAs(const std::vector<uint8_t>& bytes, const std::string& name)
{
    registerAllFormats();
    Ref<MappedFile> src = Ref<MappedFile>::adopt(exactSourceCreate(bytes, name));
    Ref<ImageReader> reader;
    return imageSourceOpen(reader, src.get(), true);
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> b(n);
    for (uint8_t& v : b) v = uint8_t(random());
    return b;
}

} // namespace

// The formats without a real signature (Neochrome, MacPaint, Pixar, PC
// Paint, PCX) claim a file of another name only when its size fits them:
// junk is refused, and under their own names their damaged files still
// reach their readers. (tests/e2e/every_extension.sh reads every format's
// file renamed.)
TEST(FormatSniffing, WeakSignaturesClaimOtherNamesOnlyWhenTheSizeFits)
{
    std::vector<uint8_t> afterZeros = randomBytes(50000, 1);
    std::fill_n(afterZeros.begin(), 4, 0);
    std::vector<uint8_t> dump(320 * 200);  // a grey ramp that starts black
    for (size_t i = 0; i < dump.size(); ++i) dump[i] = uint8_t(i / 320);
    std::vector<uint8_t> macVersion2 = randomBytes(30000, 2);
    std::fill_n(macVersion2.begin(), 4, 0), macVersion2[3] = 2;
    std::vector<uint8_t> pcPaintMagic = randomBytes(5000, 3);
    pcPaintMagic[0] = 0x34, pcPaintMagic[1] = 0x12, pcPaintMagic[10] = 8;
    // Pixar's zero words with a size that is no whole number of pixels.
    std::vector<uint8_t> pixarLike(1000, 0);
    pixarLike[2] = 0x7F;
    pixarLike[416] = pixarLike[418] = 10, pixarLike[512] = 0x08, pixarLike[513] = 0x02, pixarLike[516] = 50;
    // A record whose leading bytes pass for a PCX header.
    std::vector<uint8_t> pcxLike = {7, 5, 1, 8, 0, 0, 0, 0, 15, 0, 15, 0};
    pcxLike.resize(300, 1);
    const std::pair<std::vector<uint8_t>, const char*> junk[] = {
        {std::vector<uint8_t>(786432, 0), "zeros.jpg"}, {afterZeros, "random.png"}, {dump, "dump.raw"},
        {std::vector<uint8_t>(20000, 0), "small.jpg"},  {macVersion2, "v2.png"},    {pcPaintMagic, "magic.jpg"},
        {pixarLike, "pixar.jpg"},                       {pcxLike, "record.bin"},
    };
    for (const auto& [bytes, name] : junk) EXPECT_EQ(openAs(bytes, name), RC_UNKNOWN_FORMAT) << name;

    // Under their own names the lenient rules hold: a short Neochrome screen
    // and a cut MacPaint page open (their rows are then damage), an odd
    // Pixar size is refused by its reader.
    std::vector<uint8_t> shortNeo(128 + 800, 0);
    shortNeo[3] = 2;
    std::vector<uint8_t> cutMac(4000, 0);
    for (const auto& [bytes, own, rc] : {std::tuple{shortNeo, "s.neo", RC_OK}, std::tuple{cutMac, "c.mac", RC_OK},
                                         std::tuple{pixarLike, "p.pxr", RC_UNSUPPORTED_SUBFORMAT}}) {
        EXPECT_EQ(openAs(bytes, own), rc) << own;
        EXPECT_EQ(openAs(bytes, std::string(own) + ".jpg"), RC_UNKNOWN_FORMAT) << own;
    }
}
