// Bitmaps, icons and other uncompressed formats whose headers claim far
// more picture than their bytes can hold: refused as damaged before memory is taken for the picture, in a
// child under an address-space limit with its peak resident size measured.
// Where the line falls: a cut file still keeps its rows, and valid files of
// extreme shapes made by ImageMagick still read.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "core/image_reader.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr uint64_t kAddressLimit = uint64_t(1) << 30;
constexpr long kMostResidentKb = 200 * 1024;

struct ChildRun {
    ResultCode rc = RC_GENERAL_FAILURE;
    bool kept = false;  // an image was made
    long peakKb = 0;    // above what the child had at its start
};

// Resident kilobytes of this process now.
long residentKb()
{
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Decodes in a child process limited to 1 GB of address space (the
// sanitizer's shadow memory cannot live under such a limit, so there it
// runs unlimited and only the resident bound holds); the child's peak
// resident size comes back with its result, less what it shared with this
// process at its start.
ChildRun decodeInChild(const std::function<Decoded()>& decode)
{
    ChildRun out;
    int pipeFd[2];
    if (pipe(pipeFd) != 0) return out;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFd[0]);
        const long atStart = residentKb();
        if (!kSanitized) {
            rlimit lim{kAddressLimit, kAddressLimit};
            if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(2);
        }
        Decoded d = decode();
        int32_t msg[3] = {int32_t(d.rc), d.image ? 1 : 0, int32_t(atStart)};
        ssize_t n = write(pipeFd[1], msg, sizeof msg);
        _exit(n == sizeof msg ? 0 : 3);
    }
    close(pipeFd[1]);
    int32_t msg[3] = {-1, 0, 0};
    ssize_t n = read(pipeFd[0], msg, sizeof msg);
    close(pipeFd[0]);
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        n != sizeof msg || msg[2] < 0)
        return out;
    out.rc = ResultCode(msg[0]);
    out.kept = msg[1] != 0;
    out.peakKb = usage.ru_maxrss - msg[2];
    return out;
}

// A bitmap file header and 40-byte info header, pixel data straight after
// (and after a palette of `paletteEntries`).
std::vector<uint8_t> bmpHeader(int32_t w, int32_t h, uint16_t bits, uint32_t compression, uint32_t paletteEntries = 0)
{
    std::vector<uint8_t> v = {'B', 'M'};
    for (uint32_t f : {0u, 0u, 54 + paletteEntries * 4, 40u, uint32_t(w), uint32_t(h)}) le32(v, f);
    le16(v, 1);
    le16(v, bits);
    for (uint32_t f : {compression, 0u, 0u, 0u, paletteEntries, 0u}) le32(v, f);
    for (uint32_t i = 0; i < paletteEntries; ++i) le32(v, i * 0x010101u);
    return v;
}

// An icon directory of one bitmap entry whose info header claims `w` x
// `h` pixels of `bits` bits (the height field covers colour and mask rows).
std::vector<uint8_t> icoHeader(int32_t w, int32_t h, uint16_t bits)
{
    std::vector<uint8_t> v;
    le16(v, 0);
    le16(v, 1);
    le16(v, 1);
    v.insert(v.end(), {0, 0, 0, 0});
    le16(v, 1);
    le16(v, bits);
    le32(v, 40);  // bytes in the resource: the header is all it admits to
    le32(v, 22);
    for (uint32_t f : {40u, uint32_t(w), uint32_t(2 * h)}) le32(v, f);
    le16(v, 1);
    le16(v, bits);
    for (int i = 0; i < 6; ++i) le32(v, 0);
    return v;
}

void append(std::vector<uint8_t>& v, std::initializer_list<uint8_t> bytes) { v.insert(v.end(), bytes); }

} // namespace

TEST(ClaimedSize, TinyFilesClaimingHugePicturesAreDamagedWithoutTakingMemory)
{
    struct Case {
        const char* what;
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases;
    {
        // 70 bytes: 2 x 268435456 pixels of 32 bits and one row of them.
        std::vector<uint8_t> v = bmpHeader(2, 1 << 28, 32, 0);
        v.resize(70, 0x11);
        cases.push_back({"32-bit bitmap", "tall.bmp", v});
        // The same, top-down, of 24 bits, and of bit fields.
        v = bmpHeader(2, -(1 << 28), 24, 0);
        v.resize(70, 0x22);
        cases.push_back({"24-bit bitmap, top-down", "tall.bmp", v});
        v = bmpHeader(4, 1 << 28, 16, 0);
        v.resize(70, 0x33);
        cases.push_back({"16-bit bitmap", "tall.bmp", v});
        v = bmpHeader(16, 1 << 28, 8, 0, 2);
        v.resize(v.size() + 16, 0x01);
        cases.push_back({"8-bit bitmap", "tall.bmp", v});
    }
    {
        // Run-length data that ends the picture at once: no stream of two
        // bytes reaches row 268 million, or column a billion.
        std::vector<uint8_t> v = bmpHeader(2, 1 << 28, 8, 1, 2);
        append(v, {0, 1});
        cases.push_back({"RLE8, tall", "tall.bmp", v});
        v = bmpHeader(1 << 30, 2, 4, 2, 2);
        append(v, {4, 0x12, 0, 0, 0, 1});
        cases.push_back({"RLE4, wide", "wide.bmp", v});
        v = bmpHeader(1 << 16, 1 << 15, 8, 1, 2);
        append(v, {0, 2, 255, 255, 0, 2, 255, 255, 0, 1});
        cases.push_back({"RLE8, moves", "moves.bmp", v});
    }
    {
        // 70 bytes: 2 x 322 million pixels of 32 bits, one row of them.
        std::vector<uint8_t> v = icoHeader(2, 322122547, 32);
        v.resize(70, 0x44);
        cases.push_back({"32-bit icon", "tall.ico", v});
        v = icoHeader(8, 1 << 27, 8);
        v[2] = 2;
        v.resize(v.size() + 1024 + 8, 0x01);
        cases.push_back({"8-bit cursor", "tall.cur", v});
    }
    {
        // Other uncompressed formats: 2 x 100 million pixels and 64 bytes.
        auto text = [](const std::string& header) {
            std::vector<uint8_t> v(header.begin(), header.end());
            v.resize(v.size() + 64, '1');
            return v;
        };
        cases.push_back({"binary PPM", "tall.ppm", text("P6\n2 100000000\n255\n")});
        cases.push_back({"16-bit PGM", "tall.pgm", text("P5\n2 100000000\n65535\n")});
        cases.push_back({"text PGM", "tall.pgm", text("P2\n2 100000000\n255\n")});
        cases.push_back({"float map", "tall.pfm", text("Pf\n2 100000000\n-1.0\n")});
        std::string fits;
        for (const char* card : {"SIMPLE  =                    T", "BITPIX  =                  -32",
                                 "NAXIS   =                    2", "NAXIS1  =                    2",
                                 "NAXIS2  =            100000000", "END"})
            fits += std::string(card) + std::string(80 - std::strlen(card), ' ');
        fits.resize(2880, ' ');
        cases.push_back({"FITS floats", "tall.fits", text(fits)});
        std::vector<uint8_t> ras;
        for (uint32_t f : {0x59A66A95u, 8u, 100000000u, 32u, 0u, 1u, 0u, 0u}) be32(ras, f);
        ras.resize(ras.size() + 64, 0x55);
        cases.push_back({"Sun raster", "tall.ras", ras});
        // Fax-coded CALS: 99999 x 30000 claimed over 16 bytes of body, fewer
        // bits than rows.
        std::vector<uint8_t> cals(2048, ' ');
        auto record = [&](size_t at, const std::string& r) { std::copy(r.begin(), r.end(), cals.begin() + at); };
        record(0, "srcdocid: NONE");
        record(128, "dstdocid: NONE");
        record(768, "rtype: 1");
        record(1024, "rpelcnt: 099999,030000");
        cals.resize(cals.size() + 16, 0xAA);
        cases.push_back({"CALS fax", "tall.cal", cals});
    }
    for (const Case& c : cases) {
        ChildRun r = decodeInChild([&] { return decodeBytesFull(c.bytes, c.name); });
        EXPECT_EQ(r.rc, RC_CORRUPT_FILE) << c.what;
        EXPECT_FALSE(r.kept) << c.what;
        EXPECT_GE(r.peakKb, 0) << c.what;
        EXPECT_LT(r.peakKb, kMostResidentKb) << c.what;
    }
}

// A file whose uncompressed data holds its first row and a byte for each row
// it claims is a cut file: it keeps its rows and reports damage. One row
// more than it has bytes, and the header is a lie, refused before an image
// is made.
TEST(ClaimedSize, CutFilesKeepTheirRowsUpToOneRowPerByte)
{
    for (uint16_t bits : {8, 32}) {
        SCOPED_TRACE(bits);
        const uint32_t rowBytes = bits / 2;  // 4 pixels
        for (uint32_t rowsThere : {1u, 3u}) {
            const uint32_t have = rowsThere * rowBytes;
            std::vector<uint8_t> v = bmpHeader(4, int32_t(have), bits, 0, bits == 8 ? 256 : 0);
            v.resize(v.size() + have, 0x7F);
            Decoded cut = decodeBytesFull(v, "cut.bmp");
            EXPECT_EQ(cut.rc, RC_CORRUPT_FILE);
            ASSERT_TRUE(cut.image);
            // Bottom-up: the rows there are the bottom ones.
            EXPECT_EQ(cut.image->rowBytesPtr(have - 1)[0], 0x7F);
            EXPECT_EQ(cut.image->rowBytesPtr(have - rowsThere)[0], 0x7F);
            EXPECT_EQ(cut.image->rowBytesPtr(0)[0], 0);
            std::vector<uint8_t> lie = bmpHeader(4, int32_t(have + 1), bits, 0, bits == 8 ? 256 : 0);
            lie.resize(lie.size() + have, 0x7F);
            Decoded refused = decodeBytesFull(lie, "lie.bmp");
            EXPECT_EQ(refused.rc, RC_CORRUPT_FILE);
            EXPECT_FALSE(refused.image);
        }
    }
    // Icons alike: colour rows of 4 bytes, 12 bytes of them.
    for (uint32_t rows : {12u, 13u}) {
        std::vector<uint8_t> v = icoHeader(4, int32_t(rows), 8);
        for (uint32_t i = 0; i < 256; ++i) le32(v, i * 0x010203u);
        v.resize(v.size() + 12, 5);
        Decoded d = decodeBytesFull(v, "cut.ico");
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << rows;
        EXPECT_EQ(bool(d.image), rows == 12) << rows;
        if (d.image) {
            EXPECT_EQ(d.image->rowBytesPtr(rows - 1)[3], 5);
            EXPECT_EQ(d.image->rowBytesPtr(rows - 3)[0], 5);
            EXPECT_EQ(d.image->rowBytesPtr(rows - 4)[0], 0);
        }
    }
}

// Run-length data reaches at most 255 columns per two bytes of runs and 255
// rows per four-byte move: a picture at that reach reads, one pixel
// further is refused.
TEST(ClaimedSize, RunLengthPicturesReadUpToWhatTheirDataCanReach)
{
    // Four bytes: two runs of 255 draw a row of 510 pixels.
    for (int32_t w : {510, 511}) {
        std::vector<uint8_t> v = bmpHeader(w, 1, 8, 1, 4);
        append(v, {255, 3, 255, 3});
        Decoded d = decodeBytesFull(v, "wide.bmp");
        if (w == 510) {
            ASSERT_EQ(d.rc, RC_OK);
            EXPECT_EQ(d.image->rowBytesPtr(0)[0], 3);
            EXPECT_EQ(d.image->rowBytesPtr(0)[509], 3);
        } else {
            EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
            EXPECT_FALSE(d.image);
        }
    }
    // Eight bytes: two moves up 255 rows each reach row 510, the top one of
    // 511; as nothing is drawn there the data is cut short, and the picture
    // is kept. A picture one row taller is out of reach.
    for (int32_t h : {511, 512}) {
        std::vector<uint8_t> v = bmpHeader(2, h, 4, 2, 16);
        append(v, {0, 2, 0, 255, 0, 2, 0, 255});
        Decoded d = decodeBytesFull(v, "tall.bmp");
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << h;
        EXPECT_EQ(bool(d.image), h == 511) << h;
        // Drawn there with a 4-bit pixel pair, the bitmap then ended: whole.
        append(v, {2, 0x9A, 0, 1});
        d = decodeBytesFull(v, "tall.bmp");
        ASSERT_EQ(d.rc, RC_OK) << h;
        // Top row first in the image.
        const uint32_t top = uint32_t(h) - 511;
        EXPECT_EQ(d.image->rowBytesPtr(top)[0], 9);
        EXPECT_EQ(d.image->rowBytesPtr(top)[1], 10);
        EXPECT_EQ(d.image->rowBytesPtr(uint32_t(h) - 1)[0], 0);
    }
}

// Valid files of extreme shapes, as ImageMagick writes them, read as it
// reads them: thin and tall, wide and flat, and a large run-length picture
// of one colour.
TEST(ClaimedSize, ValidExtremeShapesStillRead)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    expectMadeFilesDecodeLikeImageMagick(
        dir.path(),
        {
            {"thin1.bmp", "convert -size 1x3000 gradient:black-white -monochrome -compress None BMP3:OUT"},
            {"thin24.bmp", "convert -size 1x3000 gradient:red-blue -compress None BMP3:OUT"},
            {"flat8.bmp", "convert -size 5000x1 gradient:red-blue -colors 50 -type palette -compress None BMP3:OUT"},
            {"blank.bmp", "convert -size 3000x2000 xc:'#336699' -colors 2 -type palette -compress RLE BMP3:OUT"},
            {"thinrle.bmp", "convert -size 1x3000 gradient:red-blue -colors 20 -type palette -compress RLE BMP3:OUT"},
            {"thin.ico", "convert -size 1x255 gradient:red-blue ICO:OUT"},
        },
        {}, false);
}

// A RawImage description's data files bound its picture as a file's own
// bytes do: a byte for each row, and the first row whole.
TEST(ClaimedSize, RawImageDataBoundsItsPicture)
{
    TempDir dir;
    writeFile(dir / "tiny.bin", std::vector<uint8_t>(16, 0x66));
    auto describe = [&](uint32_t w, uint32_t h) {
        const fs::path path = dir / ("d" + std::to_string(w) + "x" + std::to_string(h) + ".raw");
        writeFile(path, "RawImage { width " + std::to_string(w) + "; height " + std::to_string(h) +
                            "; format uint8; L { file tiny.bin; } }");
        return path;
    };
    const fs::path tall = describe(2, 100000000);
    ChildRun r = decodeInChild([&] { return decodeFileFull(tall); });
    EXPECT_EQ(r.rc, RC_CORRUPT_FILE);
    EXPECT_FALSE(r.kept);
    EXPECT_GE(r.peakKb, 0);
    EXPECT_LT(r.peakKb, kMostResidentKb);
    // 16 rows of 2 from 16 bytes: the top 8 there, the rest cut; one row
    // more is a lie. A row of 16 is there; one of 17 is not.
    Decoded d = decodeFileFull(describe(2, 16));
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->rowBytesPtr(7)[1], 0x66);
    EXPECT_EQ(d.image->rowBytesPtr(8)[0], 0);
    d = decodeFileFull(describe(2, 17));
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_FALSE(d.image);
    EXPECT_EQ(decodeFileFull(describe(16, 1)).rc, RC_OK);
    d = decodeFileFull(describe(17, 1));
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_FALSE(d.image);
}
