// Every seed file of the registry-wide fuzz corpus, cut short at many
// lengths and with bytes flipped, decoded through the registry and the
// decode driver from an exact-size buffer (so the sanitizer build catches a
// read past the end). Runs in every test pass, deterministically, for each
// codec that has a seed there.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <vector>

#include "app/format_table.h"
#include "core/format.h"
#include "core/image.h"
#include "core/image_reader.h"
#include "platform/memory.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

struct AllocationCap {
    AllocationCap() { setAllocationCap(uint64_t(256) << 20); }
    ~AllocationCap() { setAllocationCap(0); }
};

bool expectedFailure(ResultCode rc)
{
    return rc == RC_UNKNOWN_FORMAT || rc == RC_CORRUPT_FILE || rc == RC_UNSUPPORTED_SUBFORMAT ||
           rc == RC_OUT_OF_MEMORY || rc == RC_READ_FAILED || rc == RC_UNSUPPORTED_COLOUR_FORMAT;
}

// Decodes `bytes` as the batch would; the result code of the first step that
// failed, or of the decode.
ResultCode decodeAll(const std::vector<uint8_t>& bytes, const std::string& name)
{
    // Exactly the input's size, nothing after it.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(bytes.size(), 1)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(exact.get(), bytes.size(), name, false));
    if (!src) return RC_OUT_OF_MEMORY;
    Ref<ImageReader> reader;
    ResultCode rc = imageSourceOpen(reader, src.get(), true);
    if (failed(rc)) return rc;
    EXPECT_TRUE(reader);
    Image* img = nullptr;
    rc = imageCreateForReader(reader.get(), &img, false);
    if (failed(rc)) return rc;
    EXPECT_EQ(img->width, reader->width);
    EXPECT_EQ(img->height, reader->height);
    rc = reader->decode(img, true, nullptr, nullptr);
    objectRelease(img);
    return rc;
}

std::vector<fs::path> seeds()
{
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(fs::path(QUILLON_SOURCE_DIR) / "tests/fuzz/corpus/decode_any"))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

TEST(HostileInput, EverySeedCutShortAndFlippedFailsCleanlyOrDecodes)
{
    registerAllFormats();
    AllocationCap cap;
    const int64_t liveBefore = Image::liveCount();
    std::mt19937 random(20261206);
    auto files = seeds();
    ASSERT_FALSE(files.empty());
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto whole = readFile(file);
        const std::string name = "input" + file.extension().string();
        ResultCode rc = decodeAll(whole, name);
        // A seed named as an image is a sound file: once its format has a
        // reader it decodes. Until then it fails cleanly, with whatever code
        // the codecs that exist give it (one may be a weak-signature probe
        // that claims it). Inputs found by fuzzing have no extension.
        if (file.has_extension() && formatFindByExtension(fs::path(name), false) >= 0)
            EXPECT_EQ(rc, RC_OK) << std::hex << rc;
        else
            EXPECT_TRUE(succeeded(rc) || expectedFailure(rc)) << std::hex << rc;

        const size_t step = std::max<size_t>(1, whole.size() / 48);
        for (size_t cut = 0; cut < whole.size(); cut += step) {
            std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(cut));
            rc = decodeAll(part, name);
            EXPECT_TRUE(succeeded(rc) || expectedFailure(rc)) << "cut at " << cut << ": " << std::hex << rc;
        }
        for (int round = 0; round < 64 && !whole.empty(); ++round) {
            auto bad = whole;
            const int flips = 1 + round % 4;
            for (int i = 0; i < flips; ++i) {
                // Headers are where lying sizes live: aim half the flips there.
                size_t span = (round & 1) ? std::min<size_t>(bad.size(), 64) : bad.size();
                bad[random() % span] ^= uint8_t(1u << (random() % 8));
            }
            rc = decodeAll(bad, name);
            EXPECT_TRUE(succeeded(rc) || expectedFailure(rc)) << "round " << round << ": " << std::hex << rc;
        }
    }
    EXPECT_EQ(Image::liveCount(), liveBefore);
}
