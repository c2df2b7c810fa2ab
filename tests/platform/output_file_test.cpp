#include "platform/output_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

TEST(OutputFile, WritesSeeksPatchesAndReadsBack)
{
    TempDir dir;
    auto path = dir / "out.bin";
    writeFile(path, std::string(1000, 'x')); // an existing file is emptied
    {
        OutputFile f;
        ASSERT_EQ(f.create(path), RC_OK);
        EXPECT_EQ(f.write("ABCD", 4), RC_OK);
        EXPECT_EQ(f.writeU32le(0x04030201), RC_OK);
        EXPECT_EQ(f.writeU16be(0x0506), RC_OK);
        std::vector<uint8_t> big(200000, 7);
        EXPECT_EQ(f.write(big.data(), big.size()), RC_OK);
        EXPECT_EQ(f.tell(), 10u + 200000u);
        EXPECT_EQ(f.size(), 10u + 200000u);
        EXPECT_EQ(f.seek(1), RC_OK);
        EXPECT_EQ(f.write("b", 1), RC_OK);
        EXPECT_EQ(f.seek(0), RC_OK);
        char back[4];
        size_t got = 0;
        EXPECT_EQ(f.read(back, 4, &got), RC_OK);
        EXPECT_EQ(got, 4u);
        EXPECT_EQ(std::string(back, 4), "AbCD");
        EXPECT_EQ(f.tell(), 4u);
    }
    auto bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 200010u);
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(bytes[7], 4);
    EXPECT_EQ(bytes[8], 5);
    EXPECT_EQ(bytes[9], 6);
    EXPECT_EQ(bytes[200009], 7);
}

TEST(OutputFile, WritesOfEverySizeInAnyOrderLandWhereTheyBelong)
{
    // Small writes around writes of the buffer's size and more, a seek back
    // after a big one: the file must equal the same writes done in memory.
    TempDir dir;
    auto path = dir / "mixed.bin";
    std::vector<uint8_t> expect;
    OutputFile f;
    ASSERT_EQ(f.create(path), RC_OK);
    uint8_t next = 1;
    auto put = [&](size_t n) {
        std::vector<uint8_t> chunk(n);
        for (auto& b : chunk) b = next++;
        ASSERT_EQ(f.write(chunk.data(), n), RC_OK) << n;
        expect.insert(expect.end(), chunk.begin(), chunk.end());
        ASSERT_EQ(f.tell(), expect.size());
    };
    for (size_t n : {size_t(3), size_t(70000), size_t(5), size_t(65536), size_t(65535), size_t(1), size_t(65536 * 2 + 7),
                     size_t(40000), size_t(40000), size_t(9)})
        put(n);
    // Patch a byte inside the second big write, then go on at the end.
    ASSERT_EQ(f.seek(3 + 100), RC_OK);
    ASSERT_EQ(f.writeU16le(0xBEEF), RC_OK);
    expect[103] = 0xEF;
    expect[104] = 0xBE;
    ASSERT_EQ(f.seek(expect.size()), RC_OK);
    put(66000);
    put(2);
    EXPECT_EQ(f.size(), expect.size());
    ASSERT_EQ(f.close(), RC_OK);
    EXPECT_TRUE(readFile(path) == expect);
}

TEST(OutputFile, FailuresAreReported)
{
    TempDir dir;
    OutputFile f;
    EXPECT_EQ(f.write("x", 1), RC_WRITE_FAILED); // not open
    EXPECT_EQ(f.create(dir / "no" / "such" / "folder.bin"), RC_CREATE_FAILED);
    EXPECT_EQ(f.create(dir.path()), RC_CREATE_FAILED); // a folder
    if (access("/dev/full", W_OK) == 0) {
        OutputFile full;
        ASSERT_EQ(full.create("/dev/full"), RC_OK);
        std::vector<uint8_t> big(100000, 1);
        EXPECT_EQ(full.write(big.data(), big.size()), RC_WRITE_FAILED);
        EXPECT_EQ(full.write("x", 1), RC_WRITE_FAILED);
        EXPECT_EQ(full.close(), RC_WRITE_FAILED);
        OutputFile small;
        ASSERT_EQ(small.create("/dev/full"), RC_OK);
        EXPECT_EQ(small.write("x", 1), RC_OK); // buffered
        EXPECT_EQ(small.close(), RC_WRITE_FAILED);
    }
}
