// JPEG files with stray bytes between their header segments: decoded as
// djpeg decodes them (it warns and goes on), refused when the stray bytes run
// to the end of the file, and noted in the batch's log.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "codecs/main/jpeg_codec.h"
#include "core/image_cache.h"
#include "jpeg_decoder_test_util.h"
#include "support/codec_support.h"
#include "support/quiet_batch_ui.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

class JpegStray : public JpegToolsTest {
protected:
    void SetUp() override
    {
        JpegToolsTest::SetUp();
        registerAllFormats();
    }
};

// Offset of the first segment with `code` before the first scan (its 0xFF),
// or 0 when there is none; 0xDA finds the scan itself.
size_t segmentAt(const Bytes& jpg, uint8_t code)
{
    for (size_t i = 2; i + 4 <= jpg.size() && jpg[i] == 0xFF;) {
        if (jpg[i + 1] == code) return i;
        if (jpg[i + 1] == 0xDA) break;
        i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
    }
    return 0;
}

Bytes inserted(const Bytes& jpg, size_t at, const Bytes& stray)
{
    Bytes out(jpg.begin(), jpg.begin() + long(at));
    out.insert(out.end(), stray.begin(), stray.end());
    out.insert(out.end(), jpg.begin() + long(at), jpg.end());
    return out;
}

// A second application segment right after the JFIF one, so that stray
// bytes can stand between two of them.
Bytes withSecondApp(const Bytes& jpg)
{
    const size_t app0 = segmentAt(jpg, 0xE0);
    const size_t after = app0 + 2 + ((jpg[app0 + 2] << 8) | jpg[app0 + 3]);
    return inserted(jpg, after, {0xFF, 0xEB, 0x00, 0x07, 'Q', 'u', 'i', 'l', 'l'});
}

// djpeg's grey plane of a stream and its warnings about stray bytes, one a
// line. Without its trace level up, djpeg prints only the first warning.
bool djpegWithWarnings(const TempDir& dir, const Bytes& jpg, Pnm& out, std::vector<std::string>& warnings)
{
    writeFile(dir / "stray.jpg", jpg);
    fs::remove(dir / "stray.pgm");
    const int status = run("djpeg -v -v -v -grayscale -pnm -outfile " + shellQuote((dir / "stray.pgm").string()) + " " +
                           shellQuote((dir / "stray.jpg").string()) + " 2> " +
                           shellQuote((dir / "stray.txt").string()));
    const Bytes text = readFile(dir / "stray.txt");
    std::istringstream lines(std::string(text.begin(), text.end()));
    warnings.clear();
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("Corrupt JPEG data:", 0) == 0) warnings.push_back(line);
    return (status == 0 || status == 2) && readPnm(dir / "stray.pgm", out);
}

struct Stray {
    const char* what;
    Bytes bytes;
};

const std::vector<Stray>& strays()
{
    static const std::vector<Stray> list = [] {
        Bytes count29;
        for (uint8_t b = 1; b <= 29; ++b) count29.push_back(b);
        return std::vector<Stray>{
            {"29 bytes", count29},
            {"stuffed zeros", {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xFF, 0x00, 0x56}},
            {"fill before the marker", {0xAB, 0xCD, 0xEF, 0xFF, 0xFF, 0xFF}},
        };
    }();
    return list;
}

} // namespace

TEST_F(JpegStray, StrayBytesBetweenHeaderSegmentsDecodeAsDjpegDecodesThem)
{
    // Wherever they stand before the first scan, the stray bytes are
    // stepped over: the grey plane is djpeg's exactly, the colour picture
    // the one of the sound file, and the reader's note says what djpeg's
    // warning says, with the same count.
    const Pnm pic = photoCrop(67, 45, 140, 90);
    struct Place {
        const char* what;
        uint8_t marker;
    };
    const Place places[] = {{"after SOI", 0xE0}, {"between APP segments", 0xEB}, {"before DQT", 0xDB},
                            {"before SOF", 0}, {"before DHT", 0xC4}, {"before SOS", 0xDA}};
    for (const char* args : {"-sample 2x2", "-grayscale", "-progressive -sample 2x1", "-arithmetic"}) {
        const Bytes jpg = withSecondApp(cjpegBytes(dir, pic, args));
        ASSERT_GT(jpg.size(), 200u) << args;
        const Decoded sound = decodeBytesFull(jpg, "sound.jpg");
        ASSERT_EQ(sound.rc, RC_OK) << args;
        EXPECT_TRUE(sound.reader->notes.empty()) << args;
        const Ref<Image> soundRgba = asRgba8(sound.image.get());
        for (const Place& place : places) {
            const uint8_t sof = std::strstr(args, "arithmetic") ? 0xC9 : std::strstr(args, "progressive") ? 0xC2 : 0xC0;
            const size_t at = segmentAt(jpg, place.marker ? place.marker : sof);
            if (at == 0) continue;  // arithmetic streams have no DHT
            for (const Stray& stray : strays()) {
                const std::string what = std::string(args) + ", " + stray.what + " " + place.what;
                const Bytes damaged = inserted(jpg, at, stray.bytes);
                Pnm ref;
                std::vector<std::string> warnings;
                ASSERT_TRUE(djpegWithWarnings(dir, damaged, ref, warnings)) << what;
                ASSERT_EQ(warnings.size(), 1u) << what;

                JpegDecodeOptions raw;
                raw.convert = false;
                const JpegOutput ours = jpegDecodeBytes(damaged, raw);
                ASSERT_EQ(ours.rc, RC_OK) << what;
                expectSameY(ours, ref, what);

                const Decoded d = decodeBytesFull(damaged, "stray.jpg");
                ASSERT_EQ(d.rc, RC_OK) << what;
                EXPECT_EQ(d.reader->notes, warnings) << what;
                const Ref<Image> rgba = asRgba8(d.image.get());
                ASSERT_TRUE(rgba && soundRgba) << what;
                for (uint32_t y = 0; y < rgba->height; ++y)
                    ASSERT_EQ(std::memcmp(rgba->row<Rgba8>(y), soundRgba->row<Rgba8>(y), rgba->width * 4), 0)
                        << what << ", row " << y;
            }
        }
    }
}

TEST_F(JpegStray, TemMarkersCarryNoLengthAmongStrayBytes)
{
    // TEM (0xFF 0x01) is a marker without a length, like the restart
    // markers: stray bytes after it are counted up to the next marker, and
    // stray bytes before it are noted before it, as djpeg notes them, before
    // and after the frame header. The bytes after TEM, read as a length,
    // would skip into the tables.
    const Pnm pic = photoCrop(48, 32, 90, 60);
    const Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    const Bytes after = {0xFF, 0x01, 0x00, 0xB1, 0x02, 0x03, 0x04};
    const Bytes before = {0x00, 0xB1, 0x02, 0x03, 0x04, 0xFF, 0x01};
    const Bytes both = {0x00, 0x08, 0xFF, 0x01, 0x05, 0x06, 0x07};
    for (uint8_t marker : {0xDB, 0xC0, 0xC4, 0xDA})
        for (const Bytes& stray : {after, before, both}) {
            const std::string what = "TEM among " + std::to_string(stray.size()) + " bytes before marker " +
                                     std::to_string(marker) + (stray == after ? ", TEM first" : stray == before ? ", TEM last" : "");
            const size_t at = segmentAt(jpg, marker);
            ASSERT_GT(at, 0u) << what;
            const Bytes damaged = inserted(jpg, at, stray);
            Pnm ref;
            std::vector<std::string> warnings;
            ASSERT_TRUE(djpegWithWarnings(dir, damaged, ref, warnings)) << what;
            ASSERT_FALSE(warnings.empty()) << what;
            JpegDecodeOptions raw;
            raw.convert = false;
            const JpegOutput ours = jpegDecodeBytes(damaged, raw);
            ASSERT_EQ(ours.rc, RC_OK) << what;
            expectSameY(ours, ref, what);
            const Decoded d = decodeBytesFull(damaged, "tem.jpg");
            ASSERT_EQ(d.rc, RC_OK) << what;
            EXPECT_EQ(d.reader->notes, warnings) << what;
        }
}

TEST_F(JpegStray, FillBytesAloneAreNoStrayBytesAndEveryPlaceIsNotedWithinBounds)
{
    const Bytes jpg = cjpegBytes(dir, photoCrop(24, 16), "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    // Fill bytes before a marker are allowed: djpeg says nothing, nor do we.
    const Bytes filled = inserted(jpg, segmentAt(jpg, 0xC4), {0xFF, 0xFF, 0xFF});
    Pnm ref;
    std::vector<std::string> warnings;
    ASSERT_TRUE(djpegWithWarnings(dir, filled, ref, warnings));
    EXPECT_TRUE(warnings.empty());
    const Decoded d = decodeBytesFull(filled, "filled.jpg");
    EXPECT_EQ(d.rc, RC_OK);
    EXPECT_TRUE(d.reader->notes.empty());

    // Stray bytes before each of twelve segments: every place counted, the
    // lines kept to a few.
    Bytes many = jpg;
    const size_t at = segmentAt(jpg, 0xE0);
    for (int i = 0; i < 12; ++i) many = inserted(many, at, {0x55, 0xFF, 0xFE, 0x00, 0x03, 'x'});
    ASSERT_TRUE(djpegWithWarnings(dir, many, ref, warnings));
    ASSERT_EQ(warnings.size(), 12u);
    const Decoded m = decodeBytesFull(many, "many.jpg");
    EXPECT_EQ(m.rc, RC_OK);
    const std::vector<std::string> notes = m.reader->notes;
    ASSERT_EQ(notes.size(), 9u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(notes[i], warnings[i]) << i;
    EXPECT_EQ(notes[8], "Corrupt JPEG data: extraneous bytes before 4 more markers");
}

TEST_F(JpegStray, StrayBytesRunningToTheEndAreADamagedFile)
{
    // The stream cut before a header segment and stray bytes (with stuffed
    // zeros, fill bytes or neither) up to the end: no marker follows, so
    // the file is damaged, not a picture; the search ends at the last byte
    // of an exact-size input (an over-read shows in the sanitizer build).
    const Bytes jpg = withSecondApp(cjpegBytes(dir, photoCrop(40, 24), "-sample 2x2"));
    ASSERT_FALSE(jpg.empty());
    for (uint8_t marker : {0xE0, 0xEB, 0xDB, 0xC0, 0xC4, 0xDA}) {
        const size_t at = segmentAt(jpg, marker);
        ASSERT_GT(at, 0u) << int(marker);
        for (const Stray& stray : strays()) {
            const std::string what = std::string(stray.what) + " to the end, before " + std::to_string(marker);
            const Bytes cut = inserted(Bytes(jpg.begin(), jpg.begin() + long(at)), at, stray.bytes);
            EXPECT_EQ(decodeBytesFull(cut, "cut.jpg").rc, RC_CORRUPT_FILE) << what;
            EXPECT_TRUE(failed(jpegDecodeBytes(cut).rc)) << what;
        }
    }
}

TEST_F(JpegStray, ProbeStillWantsTheStartOfImageFirst)
{
    const Bytes jpg = cjpegBytes(dir, photoCrop(16, 16), "-grayscale");
    ASSERT_FALSE(jpg.empty());
    auto probe = [](const Bytes& b) {
        Ref<MappedFile> f = Ref<MappedFile>::adopt(exactSourceCreate(b, "p.jpg"));
        return jpegProbe(f.get());
    };
    EXPECT_EQ(probe(inserted(jpg, 2, strays()[0].bytes)), RC_OK);
    EXPECT_EQ(probe(inserted(jpg, 0, {0x00})), RC_UNKNOWN_FORMAT);
    EXPECT_EQ(probe(inserted(jpg, 0, strays()[0].bytes)), RC_UNKNOWN_FORMAT);
}

TEST_F(JpegStray, TheBatchLogNamesTheStrayBytesAfterReadingTheFile)
{
    // Three inputs, converted one at a time and with the cache reading the
    // next ones ahead: the file with stray bytes before its Huffman tables
    // is converted, and its "Reading:" line is followed by djpeg's words;
    // the sound file has no such line, and stray bytes that run to the end
    // leave the file unread with only its error.
    const Bytes jpg = cjpegBytes(dir, photoCrop(32, 24), "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    Bytes count29;
    for (uint8_t b = 1; b <= 29; ++b) count29.push_back(b);
    const size_t dht = segmentAt(jpg, 0xC4);
    fs::create_directories(dir / "in");
    writeFile(dir / "in" / "a_sound.jpg", jpg);
    writeFile(dir / "in" / "b_stray.jpg", inserted(jpg, dht, count29));
    writeFile(dir / "in" / "c_cut.jpg", inserted(Bytes(jpg.begin(), jpg.begin() + long(dht)), dht, count29));

    for (bool cached : {false, true}) {
        const std::string what = cached ? "read ahead" : "one at a time";
        const fs::path out = dir / (cached ? "out1" : "out0");
        fs::create_directories(out);
        JobSettings s;
        s.szOutDir = out / "";
        s.iOutFormats = 1;
        s.bCreateLogFile = 1;
        s.bNoErrorPrompts = 1;
        FormatRegistry reg;
        registerAllFormats(reg);
        s.slots[0].iFormatId = reg.findByExtension(std::u16string_view(u"x.bmp"), true);
        s.slots[0].szSubFormat = u"Normal";
        s.slots[0].iColorFormat = CF_AUTO;
        InputListHooks hooks;
        hooks.registry = &reg;
        InputList list(&hooks);
        for (const char* name : {"a_sound.jpg", "b_stray.jpg", "c_cut.jpg"})
            ASSERT_EQ(list.addFile(dir / "in" / name, false, false), RC_OK) << name;
        QuietBatchUi ui;
        bool running = false;
        BatchContext ctx{s, list, ui, running};
        ctx.registry = &reg;
        ImageCache cache;
        ctx.cache = cached ? &cache : nullptr;
        ctx.overlap = cached;
        ctx.logPath = out / "log.txt";
        const BatchResult r = batchRun(ctx);
        EXPECT_EQ(r.converted, 2) << what;
        EXPECT_EQ(r.failed, 1) << what;
        EXPECT_TRUE(fs::exists(out / "b_stray.bmp")) << what;

        const Bytes logBytes = readFile(out / "log.txt");
        std::istringstream text(std::string(logBytes.begin(), logBytes.end()));
        std::vector<std::string> lines;
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        auto after = [&](const char* name) {
            for (size_t i = 0; i + 1 < lines.size(); ++i)
                if (lines[i] == "Reading:  " + (dir / "in" / name).string()) return lines[i + 1];
            return std::string("(no Reading line)");
        };
        EXPECT_EQ(after("b_stray.jpg"), "Warning: Corrupt JPEG data: 29 extraneous bytes before marker 0xc4") << what;
        EXPECT_EQ(after("a_sound.jpg").rfind("Writing: ", 0), 0u) << after("a_sound.jpg") << ", " << what;
        EXPECT_EQ(after("c_cut.jpg"), "Error: Corrupted, truncated or malformed file") << what;
    }
}
