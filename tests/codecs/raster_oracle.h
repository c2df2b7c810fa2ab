#pragma once
// Helpers for the tests of the simpler raster codecs, over the shared codec
// test support: short names for the decodes they use, writing through a
// registry writer, test pictures and header-cut sweeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "support/codec_support.h"
#include "support/test_support.h"

namespace quillon::test {

// Writes through the registry's writer of `ext` (the writable row).
inline ResultCode writeAs(const char16_t* ext, Image* img, const std::filesystem::path& path, const char16_t* sub,
                          uint32_t mask, uint32_t* bits = nullptr)
{
    registerAllFormats();
    int32_t i = formatFindByExtension(std::u16string_view(ext), true);
    EXPECT_GE(i, 0);
    if (i < 0) return RC_GENERAL_FAILURE;
    const FormatDescriptor* d = formatRegistry().at(i);
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, mask, 0, false, nullptr, bits);
}

// A w x h test picture: smooth ramps with a sharp feature, and optionally a
// varying alpha.
inline Ref<Image> rampImage(uint32_t w, uint32_t h, bool alpha)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img->row<Rgba8>(y)[x] = {uint8_t(x * 9 + 3), uint8_t(y * 11), uint8_t((x * y) ^ 0x5A),
                                     uint8_t(alpha ? (x * 23 + y * 7) : 255)};
    img->alphaKind = alpha ? ALPHA_STRAIGHT : ALPHA_NONE;
    return img;
}

// A w x h palette picture using `colours` distinct entries.
inline Ref<Image> indexedRamp(uint32_t w, uint32_t h, uint32_t colours)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(w, h)));
    uint32_t* pal = img->palette();
    for (uint32_t i = 0; i < 256; ++i)
        pal[i] = 0xFF000000u | ((i * 37) & 255) << 16 | ((i * 91 + 7) & 255) << 8 | ((255 - i * 13) & 255);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img->row<uint8_t>(y)[x] = uint8_t((x * 3 + y * 5) % colours);
    return img;
}

inline Ref<Image> greyRamp(uint32_t w, uint32_t h)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img->row<uint8_t>(y)[x] = uint8_t(x * 17 + y * 29);
    return img;
}

// The picture the tools' files are made from: swirled ramps with a sharp
// disc, at an odd width, as 8-bit binary PPM at `file`.
inline bool makeSwirlPicture(const std::filesystem::path& file)
{
    return run("convert -size 37x11 gradient:red-blue -swirl 90 -fill '#20c040' -draw 'circle 10,5 14,7' "
               "-depth 8 " + shellQuote(file.string())) == 0;
}

// Runs a shell command that writes the file named by $OUT, its messages
// silenced.
inline bool makeWithCommand(const std::string& command, const std::filesystem::path& file)
{
    return run("OUT=" + shellQuote(file.string()) + "; " + command + " 2>/dev/null") == 0;
}

// Expects every cut of `bytes` from `from` up to its size minus one to
// fail with exactly `expected` (header cuts) and never crash.
inline void expectCutsFail(const std::vector<uint8_t>& bytes, size_t from, size_t to, ResultCode expected,
                           const std::string& name)
{
    for (size_t n = from; n < to && n < bytes.size(); ++n) {
        Decoded d = decodeBytesFull(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(n)), name);
        EXPECT_EQ(d.rc, expected) << name << " cut at " << n;
    }
}

} // namespace quillon::test
