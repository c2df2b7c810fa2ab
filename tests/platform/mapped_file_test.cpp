#include "platform/mapped_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {
std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + (i >> 8));
    return v;
}
struct HeapLimit {
    explicit HeapLimit(uint64_t b) { setMappedFileHeapLimit(b); }
    ~HeapLimit() { setMappedFileHeapLimit(0); }
};
} // namespace

TEST(MappedFile, SmallAndLargeFilesReadTheSameBytes)
{
    TempDir dir;
    auto bytes = pattern(300000);
    writeFile(dir / "a.bin", bytes);
    for (uint64_t limit : {uint64_t(1) << 30, uint64_t(4096)}) {
        HeapLimit hl(limit);
        Ref<MappedFile> f = Ref<MappedFile>::adopt(mappedFileOpen(dir / "a.bin"));
        ASSERT_TRUE(f);
        ASSERT_EQ(f->size(), bytes.size());
        EXPECT_EQ(std::memcmp(f->data(), bytes.data(), bytes.size()), 0);
        EXPECT_EQ(f->name(), dir / "a.bin");
        uint64_t t = 0;
        ASSERT_TRUE(f->lastWriteTime(&t));
        struct stat st;
        ASSERT_EQ(stat((dir / "a.bin").c_str(), &st), 0);
        EXPECT_EQ(t, uint64_t(st.st_mtim.tv_sec + 11644473600LL) * 10000000ULL + uint64_t(st.st_mtim.tv_nsec) / 100);
        FileStamp s;
        ASSERT_TRUE(f->stamp(&s));
        EXPECT_EQ(s.size, bytes.size());
        EXPECT_EQ(s.inode, uint64_t(st.st_ino));
    }
}

TEST(MappedFile, EmptyMissingAndFolderFail)
{
    TempDir dir;
    writeFile(dir / "empty", std::string());
    EXPECT_EQ(mappedFileOpen(dir / "empty"), nullptr);
    EXPECT_EQ(mappedFileOpen(dir / "missing"), nullptr);
    EXPECT_EQ(mappedFileOpen(dir.path()), nullptr);
    EXPECT_EQ(mappedFileOpen(""), nullptr);
}

TEST(MappedFile, OutlivesTheUnlinkedFile)
{
    TempDir dir;
    auto bytes = pattern(10000);
    writeFile(dir / "gone.bin", bytes);
    for (uint64_t limit : {uint64_t(1) << 30, uint64_t(4096)}) {
        HeapLimit hl(limit);
        writeFile(dir / "gone.bin", bytes);
        Ref<MappedFile> f = Ref<MappedFile>::adopt(mappedFileOpen(dir / "gone.bin"));
        ASSERT_TRUE(f);
        ASSERT_EQ(unlink((dir / "gone.bin").c_str()), 0);
        EXPECT_EQ(std::memcmp(f->data(), bytes.data(), bytes.size()), 0);
    }
}

TEST(MappedFile, TruncationUnderTheMappingReadsZerosInsteadOfCrashing)
{
    TempDir dir;
    auto bytes = pattern(1 << 20);
    writeFile(dir / "cut.bin", bytes);
    HeapLimit hl(4096);
    Ref<MappedFile> f = Ref<MappedFile>::adopt(mappedFileOpen(dir / "cut.bin"));
    ASSERT_TRUE(f);
    ASSERT_EQ(truncate((dir / "cut.bin").c_str(), 8192), 0);
    const volatile uint8_t* p = f->data();
    EXPECT_EQ(p[100], bytes[100]);
    uint32_t sum = 0;
    for (size_t i = 8192; i < bytes.size(); i += 4096) sum += p[i];
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(p[bytes.size() - 1], 0);
}

TEST(MappedFile, MemoryStreamCopiesOrBorrows)
{
    auto bytes = pattern(100);
    Ref<MappedFile> copy = Ref<MappedFile>::adopt(memoryStreamCreate(bytes.data(), bytes.size(), "mem.bmp"));
    Ref<MappedFile> borrowed =
        Ref<MappedFile>::adopt(memoryStreamCreate(bytes.data(), bytes.size(), "mem.bmp", false));
    ASSERT_TRUE(copy && borrowed);
    EXPECT_NE(copy->data(), bytes.data());
    EXPECT_EQ(borrowed->data(), bytes.data());
    EXPECT_EQ(std::memcmp(copy->data(), bytes.data(), 100), 0);
    EXPECT_EQ(copy->data()[100], 0); // padding
    EXPECT_FALSE(copy->lastWriteTime(nullptr));
    EXPECT_EQ(copy->name(), "mem.bmp");
}

// Each live mapping keeps its own protected range: opening a second mapping
// must not narrow the first one's, whichever of them is cut short.
TEST(MappedFile, TruncationIsSurvivedWithSeveralLiveMappings)
{
    TempDir dir;
    auto bytes = pattern(1 << 20);
    HeapLimit hl(4096);
    std::vector<Ref<MappedFile>> files;
    for (int i = 0; i < 4; ++i) {
        auto name = dir / ("cut" + std::to_string(i) + ".bin");
        writeFile(name, bytes);
        files.push_back(Ref<MappedFile>::adopt(mappedFileOpen(name)));
        ASSERT_TRUE(files.back());
    }
    for (int i : {0, 3, 1}) {
        ASSERT_EQ(truncate((dir / ("cut" + std::to_string(i) + ".bin")).c_str(), 4096), 0);
        const volatile uint8_t* p = files[size_t(i)]->data();
        EXPECT_EQ(p[4095], bytes[4095]) << i;
        uint32_t sum = 0;
        for (size_t at = 4096; at < bytes.size(); at += 4096) sum += p[at];
        EXPECT_EQ(sum, 0u) << i;
    }
    // The one left whole still reads its bytes.
    EXPECT_EQ(std::memcmp(files[2]->data(), bytes.data(), bytes.size()), 0);
}
