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
