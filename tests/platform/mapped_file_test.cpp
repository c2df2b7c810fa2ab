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

namespace {
// The file whose mapping holds p, from the kernel's list of this process's
// mappings; empty when p lies in memory of no file.
std::string mappedFileAt(const void* p)
{
    std::FILE* f = std::fopen("/proc/self/maps", "r");
    if (!f) return {};
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    std::string found;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long lo, hi;
        int nameAt = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &lo, &hi, &nameAt) < 2 || at < lo || at >= hi) continue;
        found = line + nameAt;
        while (!found.empty() && (found.back() == '\n' || found.back() == ' ')) found.pop_back();
        break;
    }
    std::fclose(f);
    return found;
}
} // namespace

// Files above a small size are read through a mapping of the file, not
// copied into fresh memory; tiny ones are copied. The mapped bytes are the
// file's, and a mapped file cut short reads zeros past the cut instead of
// killing the process.
TEST(MappedFile, MidSizeFilesAreMappedAndSurviveTruncation)
{
    TempDir dir;
    for (size_t size : {size_t(4000), size_t(600000), size_t(3) << 20}) {
        SCOPED_TRACE(size);
        const auto path = dir / ("mid" + std::to_string(size) + ".bin");
        auto bytes = pattern(size);
        writeFile(path, bytes);
        Ref<MappedFile> f = Ref<MappedFile>::adopt(mappedFileOpen(path));
        ASSERT_TRUE(f);
        ASSERT_EQ(f->size(), size);
        EXPECT_EQ(std::memcmp(f->data(), bytes.data(), size), 0);
        const std::string where = mappedFileAt(f->data());
        if (size < 100000) {
            EXPECT_NE(where, path.string());
            EXPECT_EQ(f->data()[size], 0); // heap copies carry zero padding
            continue;
        }
        ASSERT_EQ(where, std::filesystem::canonical(path).string());
        ASSERT_EQ(truncate(path.c_str(), 5000), 0);
        const volatile uint8_t* p = f->data();
        EXPECT_EQ(p[4999], bytes[4999]);
        uint32_t sum = 0;
        for (size_t at = 8192; at < size; at += 4096) sum += p[at];
        EXPECT_EQ(sum, 0u);
        EXPECT_EQ(p[size - 1], 0);
    }
}

// Only so many live mappings can be protected against truncation; a
// mid-size file opened beyond them is read into memory instead, so it keeps
// its bytes when cut short rather than being mapped without protection.
TEST(MappedFile, FilesBeyondTheProtectedMappingsAreCopied)
{
    TempDir dir;
    const size_t size = 300000;
    const auto bytes = pattern(size);
    std::vector<Ref<MappedFile>> files;
    std::vector<std::filesystem::path> paths;
    for (int i = 0; i < 300; ++i) {
        paths.push_back(dir / ("f" + std::to_string(i) + ".bin"));
        writeFile(paths.back(), bytes);
        files.push_back(Ref<MappedFile>::adopt(mappedFileOpen(paths.back())));
        ASSERT_TRUE(files.back()) << i;
    }
    int copied = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_EQ(std::memcmp(files[i]->data(), bytes.data(), size), 0) << i;
        if (mappedFileAt(files[i]->data()) != std::filesystem::canonical(paths[i]).string()) ++copied;
        ASSERT_EQ(truncate(paths[i].c_str(), 0), 0);
    }
    EXPECT_GE(copied, 300 - 256);
    EXPECT_LT(copied, 300);
    uint32_t mapped = 0, kept = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const volatile uint8_t* p = files[i]->data();
        if (p[size - 1] == bytes[size - 1] && p[4096] == bytes[4096]) ++kept;
        else if (p[size - 1] == 0 && p[4096] == 0) ++mapped;
    }
    EXPECT_EQ(kept, uint32_t(copied));
    EXPECT_EQ(mapped + kept, 300u);
}
