// A decoded file of any bytes through the batch's load and processing steps:
// undithering, resizing by every method, sharpening, rotation, colour
// adjustment and frames, on whatever sizes and pixel formats the readers
// make of hostile headers. The first ten bytes choose the job's switches;
// the rest is the file, written to a temporary file since the batch reads
// paths.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/job_settings.h"
#include "platform/memory.h"

using namespace quillon;

namespace {

const std::filesystem::path& inputPath()
{
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("quillon-pipeline-fuzz-" + std::to_string(getpid()));
    return path;
}

bool writeInput(const uint8_t* data, size_t size)
{
    std::FILE* f = std::fopen(inputPath().c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

float signedUnit(uint8_t b) { return float(int8_t(b)) / 128.0f; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kSwitches = 10;
    if (size <= kSwitches) return 0;
    // Lying sizes must fail as out of memory; a low cap keeps runs quick.
    setAllocationCap(uint64_t(4) << 20);
    registerAllFormats();
    const uint8_t* c = data;
    if (!writeInput(data + kSwitches, size - kSwitches)) return 0;

    JobSettings s;
    s.eResize = c[0] % 3;
    s.bResizeOnlyDown = (c[0] >> 2) & 1;
    s.bResizeKeepAspect = (c[0] >> 3) & 1;
    s.bUndither = (c[0] >> 4) & 1;
    s.eFrameType = (c[0] >> 5) % 3;
    s.eResizeMethod = c[1] % 9;
    s.iResizeX = 1u + c[2];
    s.iResizeY = 1u + c[3];
    s.i3ResizeFactor = int32_t(c[4]) * 1000 + 1;
    s.adjustments.setSharpness(signedUnit(c[5]) * 4.0f);
    s.adjustments.setOrientation(c[6] & 15);
    if (c[7] & 1) s.adjustments.setColour(&AdjustmentSettings::contrast, signedUnit(c[8]) * 100.0f);
    if (c[7] & 2) s.adjustments.setColour(&AdjustmentSettings::hue, signedUnit(c[8]) * 180.0f);
    if (c[7] & 4) s.adjustments.setColour(&AdjustmentSettings::saturation, signedUnit(c[8]) * 100.0f);
    if (c[7] & 8) s.adjustments.setGamma(0.1f + float(c[8]) / 32.0f);
    if (c[7] & 16) s.adjustments.setInvert(true);
    if (c[7] & 32) s.adjustments.setColour(&AdjustmentSettings::brightness, signedUnit(c[8]) * 100.0f);
    s.iFrameWidth = int32_t(c[9] % 64) - 8;
    s.dwFrameColor = 0x80000000u | uint32_t(c[8]) * 0x010203u;

    Ref<Image> out;
    uint32_t w = 0, h = 0;
    ResultCode rc = batchLoadInput(out, inputPath(), nullptr, &w, &h, nullptr, s, nullptr, nullptr);
    unlink(inputPath().c_str());
    if (succeeded(rc) && (!out || out->width != w || out->height != h)) __builtin_trap();
    return 0;
}
