#pragma once
// Raw sample files exchanged with the numpy/scipy oracle of the resampling
// tests (tests/data/resample/oracle.py), and deterministic test images.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/image.h"
#include "support/test_support.h"

namespace quillon::test {

inline const char* kOracle = "/usr/bin/python3";

inline std::string oracleScript() { return dataPath("resample/oracle.py").string(); }

inline bool haveOracle()
{
    return run(std::string(kOracle) + " -c 'import numpy, scipy' >/dev/null 2>&1") == 0;
}

#define QUILLON_REQUIRE_ORACLE()                                                      \
    do {                                                                              \
        if (!::quillon::test::haveOracle()) {                                         \
            if (std::getenv("CI")) FAIL() << "numpy/scipy missing for " << kOracle;   \
            GTEST_SKIP() << "numpy/scipy missing";                                    \
        }                                                                             \
    } while (0)

inline uint32_t channelsOf(PixelFormat f) { return f <= PF_RGBA_FLOAT ? 4 : 1; }

// Random samples; float formats range a little beyond 0..1 to exercise
// unclamped arithmetic. Smooth adds a gradient so filters see structure.
inline Image* makeTestImage(PixelFormat f, uint32_t w, uint32_t h, uint32_t seed)
{
    Image* img = imageCreate(f, packSize(w, h));
    if (!img) return nullptr;
    std::mt19937 rng(seed);
    const uint32_t n = w * channelsOf(f);
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = img->rowBytesPtr(y);
        for (uint32_t i = 0; i < n; ++i) {
            switch (f) {
            case PF_RGBA8: case PF_GRAY8: case PF_INDEXED8: row[i] = uint8_t(rng()); break;
            case PF_RGBA16: case PF_GRAY16: reinterpret_cast<uint16_t*>(row)[i] = uint16_t(rng()); break;
            default: reinterpret_cast<float*>(row)[i] = float(int(rng() % 14000) - 2000) / 10000.0f; break;
            }
        }
    }
    return img;
}

inline void writeRaw(const Image* img, const std::filesystem::path& path)
{
    std::ofstream out(path, std::ios::binary);
    const size_t bytes = size_t(img->width) * img->bytesPerPixel();
    for (uint32_t y = 0; y < img->height; ++y) out.write(reinterpret_cast<const char*>(img->rowBytesPtr(y)), bytes);
}

inline std::vector<uint8_t> readRaw(const std::filesystem::path& path) { return readFile(path); }

// Rows of img compared with a raw file of the same layout; the number of
// differing bytes (or -1 when the file has the wrong length).
inline int64_t rawDifferences(const Image* img, const std::vector<uint8_t>& raw)
{
    const size_t bytes = size_t(img->width) * img->bytesPerPixel();
    if (raw.size() != bytes * img->height) return -1;
    int64_t diff = 0;
    for (uint32_t y = 0; y < img->height; ++y) {
        const uint8_t* row = img->rowBytesPtr(y);
        if (std::memcmp(row, raw.data() + bytes * y, bytes) == 0) continue;
        for (size_t i = 0; i < bytes; ++i) diff += row[i] != raw[bytes * y + i];
    }
    return diff;
}

// Runs the oracle over a list of command lines in one process.
inline bool runOracleBatch(const TempDir& dir, const std::vector<std::string>& lines)
{
    std::string list;
    for (const auto& l : lines) list += l + "\n";
    writeFile(dir / "batch.txt", list);
    return run(std::string(kOracle) + " " + shellQuote(oracleScript()) + " batch " +
               shellQuote((dir / "batch.txt").string())) == 0;
}

} // namespace quillon::test
