#include <gtest/gtest.h>

#include <cmath>

#include "image_helpers.h"
#include "processing/colour_adjust.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// Builds "<dir>/photo.jpg.qxa" with a Python expression over `struct` that
// yields the file's bytes, and returns the image path it belongs to.
std::filesystem::path makeSidecar(const TempDir& dir, const std::string& pythonBytes)
{
    auto image = dir / "photo.jpg";
    auto sidecar = dir / "photo.jpg.qxa";
    std::string script = "import struct,sys\n"
                         "def chunk(i, d): return i + struct.pack('<I', len(d)) + d + (b'\\0' if len(d) % 2 else b'')\n"
                         "def pairs(*p): return b''.join(t + struct.pack('<f', v) for t, v in p)\n"
                         "def riff(body, form=b'LMAD'): return b'RIFF' + struct.pack('<I', len(body) + 4) + form + body\n"
                         "open(sys.argv[1], 'wb').write(" +
                         pythonBytes + ")\n";
    auto py = dir / "make.py";
    writeFile(py, script);
    EXPECT_EQ(run(std::string(kPython) + " " + shellQuote(py.string()) + " " + shellQuote(sidecar.string())), 0) << pythonBytes;
    return image;
}

} // namespace

TEST(Sidecar, ReadsEveryTagThroughTheCounterKeepingSetters)
{
    QUILLON_REQUIRE_TOOL("python3");
    TempDir dir;
    auto image = makeSidecar(dir, "riff(chunk(b'LADJ', pairs((b'CCTR', 0.5), (b'CBRI', -0.25), (b'CHUE', 0.125),"
                                  "(b'CSAT', 0.75), (b'CLUM', 0.0625), (b'CRED', 0.1), (b'CGRN', 0.2), (b'CBLU', 0.3),"
                                  "(b'CGAM', 1.5), (b'CINV', 0.4), (b'IROT', 5.6), (b'ISHA', 0.8), (b'XXXX', 9.0))))");
    AdjustmentSettings adj;
    ASSERT_EQ(adjustSidecarRead(adj, image), 1u);
    EXPECT_FLOAT_EQ(adj.contrast, 0.5f);
    EXPECT_FLOAT_EQ(adj.brightness, -0.25f);
    EXPECT_FLOAT_EQ(adj.hue, 0.125f);
    EXPECT_FLOAT_EQ(adj.saturation, 0.75f);
    EXPECT_FLOAT_EQ(adj.luminance, 0.0625f);
    EXPECT_FLOAT_EQ(adj.red, 0.1f);
    EXPECT_FLOAT_EQ(adj.green, 0.2f);
    EXPECT_FLOAT_EQ(adj.blue, 0.3f);
    EXPECT_FLOAT_EQ(adj.gamma, 1.5f);
    EXPECT_EQ(adj.invert, 0);
    EXPECT_EQ(adj.orientation, 6);
    EXPECT_FLOAT_EQ(adj.sharpness, 0.8f);
    EXPECT_EQ(adj.colourCount, 9u);
    EXPECT_EQ(adj.otherCount, 2u);
}

TEST(Sidecar, WorkedExamples)
{
    QUILLON_REQUIRE_TOOL("python3");
    {
        TempDir dir;
        auto image = makeSidecar(dir, "riff(chunk(b'LADJ', pairs((b'CGAM', 1.0))))");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_TRUE(adj.isNeutral());
    }
    {
        TempDir dir;
        auto image = makeSidecar(dir, "riff(chunk(b'LADJ', pairs((b'CINV', 0.7))))");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_EQ(adj.invert, 1);
        EXPECT_EQ(adj.colourCount, 1u);
    }
    {
        // Another chunk (odd-sized, so padded) before the adjustments, and a
        // later pair of one tag overwriting the earlier one.
        TempDir dir;
        auto image = makeSidecar(dir, "riff(chunk(b'INFO', b'abc') + chunk(b'LADJ', pairs((b'CCTR', 0.5), "
                                      "(b'CCTR', 0.0), (b'ISHA', 1.0))))");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_EQ(adj.contrast, 0.0f);
        EXPECT_EQ(adj.colourCount, 0u);
        EXPECT_FLOAT_EQ(adj.sharpness, 1.0f);
        EXPECT_EQ(adj.otherCount, 1u);
    }
}

TEST(Sidecar, ForeignOrMissingFilesLeaveTheRecordAlone)
{
    QUILLON_REQUIRE_TOOL("python3");
    AdjustmentSettings adj;
    adj.setColour(&AdjustmentSettings::red, 0.5f);
    const AdjustmentSettings before = adj;
    {
        TempDir dir;
        EXPECT_EQ(adjustSidecarRead(adj, dir / "none.png"), 0u);
    }
    for (const char* body : {"riff(chunk(b'LADJ', pairs((b'CCTR', 0.5))), form=b'WAVE')",
                             "b'RIFX' + struct.pack('<I', 4) + b'LMAD'", "b'RIFF\\0\\0\\0\\0LMA'", "b''"}) {
        TempDir dir;
        auto image = makeSidecar(dir, body);
        EXPECT_EQ(adjustSidecarRead(adj, image), 0u) << body;
        EXPECT_EQ(adj.contrast, before.contrast);
        EXPECT_EQ(adj.colourCount, before.colourCount);
    }
    // A header alone, or a header with less than one chunk header: read, empty.
    for (const char* body : {"riff(b'')", "riff(b'LADJ')"}) {
        TempDir dir;
        auto image = makeSidecar(dir, body);
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u) << body;
        EXPECT_EQ(adj.colourCount, before.colourCount);
    }
}

TEST(Sidecar, HostileSizesNeitherLoopNorOverread)
{
    QUILLON_REQUIRE_TOOL("python3");
    {
        // A chunk size that would bring a 32-bit position back to the same
        // chunk: the walk must end.
        TempDir dir;
        auto image = makeSidecar(dir, "riff(b'JUNK' + struct.pack('<I', 0xFFFFFFF8) + b'\\0' * 16)");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_TRUE(adj.isNeutral());
    }
    {
        // Adjustments whose size claims more than the file holds: the whole
        // pairs present are read; a form size beyond the file is cut to it.
        TempDir dir;
        auto image = makeSidecar(dir, "b'RIFF' + struct.pack('<I', 0x7FFFFFF0) + b'LMAD' + b'LADJ' + "
                                      "struct.pack('<I', 0xFFFFFFF0) + pairs((b'CSAT', 0.5), (b'CLUM', 0.25)) + b'CBL'");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_FLOAT_EQ(adj.saturation, 0.5f);
        EXPECT_FLOAT_EQ(adj.luminance, 0.25f);
        EXPECT_EQ(adj.blue, 0.0f);
        EXPECT_EQ(adj.colourCount, 2u);
    }
    {
        // A form size smaller than the file hides the chunks after it.
        TempDir dir;
        auto image = makeSidecar(dir, "b'RIFF' + struct.pack('<I', 4 + 16) + b'LMAD' + chunk(b'LADJ', "
                                      "pairs((b'CSAT', 0.5), (b'CLUM', 0.25)))");
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, image), 1u);
        EXPECT_FLOAT_EQ(adj.saturation, 0.5f);
        EXPECT_EQ(adj.luminance, 0.0f);
    }
}

TEST(Sidecar, NonFiniteValuesAreRejected)
{
    QUILLON_REQUIRE_TOOL("python3");
    TempDir dir;
    auto image = makeSidecar(dir, "riff(chunk(b'LADJ', pairs((b'CHUE', float('nan')), (b'IROT', float('inf')),"
                                  "(b'ISHA', float('-inf')), (b'CGAM', float('nan')), (b'CBRI', 0.5), "
                                  "(b'IROT', 1e30), (b'IROT', -2.6))))");
    AdjustmentSettings adj;
    ASSERT_EQ(adjustSidecarRead(adj, image), 1u);
    EXPECT_EQ(adj.hue, 0.0f);
    EXPECT_EQ(adj.sharpness, 0.0f);
    EXPECT_EQ(adj.gamma, 1.0f);
    EXPECT_FLOAT_EQ(adj.brightness, 0.5f);
    EXPECT_EQ(adj.orientation, 0xFE); // (integer)(-2.6 + 0.5) = -2, low byte
    EXPECT_EQ(adj.colourCount, 1u);
    EXPECT_EQ(adj.otherCount, 1u);
}

TEST(Sidecar, ParsesFromMemoryLikeFromFile)
{
    const uint8_t bytes[] = {'R', 'I', 'F', 'F', 20, 0, 0, 0, 'L', 'M', 'A', 'D', 'L', 'A', 'D', 'J', 8, 0, 0, 0,
                             'C', 'I', 'N', 'V', 0, 0, 0x80, 0x3F};
    AdjustmentSettings adj;
    EXPECT_EQ(adjustSidecarParse(adj, bytes, sizeof bytes), 1u);
    EXPECT_EQ(adj.invert, 1);
    AdjustmentSettings other;
    EXPECT_EQ(adjustSidecarParse(other, bytes, 11), 0u);
    EXPECT_EQ(adjustSidecarParse(other, nullptr, 0), 0u);
}
