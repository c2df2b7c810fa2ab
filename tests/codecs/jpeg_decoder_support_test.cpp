// Shared helpers of the JPEG decoder tests (see jpeg_decoder_test_util.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "jpeg_decoder_test_util.h"
#include "platform/tasks.h"

namespace quillon::test {

namespace fs = std::filesystem;

JpegOutput jpegDecodeBytes(const std::vector<uint8_t>& bytes, const JpegDecodeOptions& options)
{
    JpegOutput out;
    // An exact-size copy, so a read past the input is caught by ASan.
    std::unique_ptr<uint8_t[]> input(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), input.get());
    JpegDecoder* d = jpegDecoderCreate();
    if (!d) return out;
    d->bandMode = options.band;
    d->bandSplit = options.bandSplit;
    d->convertColour = options.convert;
    d->setInput(input.get(), bytes.size());
    out.rc = d->readHeader();
    if (failed(out.rc)) {
        delete d;
        return out;
    }
    out.bpp = d->componentCount() == 1 ? 1 : 4;
    uint32_t div = options.reduced ? 8 : 1;
    out.rowPixels = uint32_t(d->alignedWidth()) / div;
    out.rows = options.rows >= 0 ? uint32_t(options.rows) : uint32_t(d->alignedHeight()) / div;
    out.width = (d->width() + div - 1) / div;
    out.height = (d->height() + div - 1) / div;
    const size_t rowBytes = size_t(out.rowPixels) * out.bpp, stride = rowBytes + options.padding;
    out.pixels.assign(stride * out.rows, options.fill);
    out.rc = d->decode(out.pixels.data(), out.bpp, stride, out.rows, options.reduced, nullptr, options.abortByte);
    if (options.padding) {
        for (size_t y = 0; y < out.rows; ++y) {
            for (size_t i = 0; i < options.padding; ++i)
                if (out.pixels[y * stride + rowBytes + i] != options.fill) out.paddingIntact = false;
            std::memmove(out.pixels.data() + y * rowBytes, out.pixels.data() + y * stride, rowBytes);
        }
        out.pixels.resize(rowBytes * out.rows);
    }
    out.colourSpace = d->colourSpace();
    out.usedBands = d->usedBands;
    out.scansOnTasks = d->scansDecodedOnTasks;
    delete d;
    return out;
}

JpegOutput jpegDecodeWithPoolBusy(const std::vector<uint8_t>& bytes, const JpegDecodeOptions& options,
                                  int releaseAfterMs)
{
    std::atomic<bool> release{false};
    TaskGroup blockers;
    for (unsigned i = 0; i < taskPoolWorkers() + 2; ++i)
        blockers.run([&] {
            while (!release.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        });
    std::thread releaser;
    if (releaseAfterMs >= 0)
        releaser = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(releaseAfterMs));
            release = true;
        });
    JpegOutput out = jpegDecodeBytes(bytes, options);
    if (releaser.joinable()) releaser.join();
    release = true;
    blockers.wait();
    return out;
}

Pnm photoCrop(uint32_t width, uint32_t height, uint32_t x0, uint32_t y0)
{
    static std::mutex lock;
    static Pnm base;
    static bool loaded = false;
    std::lock_guard<std::mutex> guard(lock);
    if (!loaded) {
        TempDir dir;
        std::string photo = "/usr/share/backgrounds/Fossa_by_Jasper_Roks.jpg";
        if (!fs::exists(photo)) photo = runOutput("ls /usr/share/backgrounds/*.jpg | head -n 1 | tr -d '\\n'");
        // A quarter-size version keeps detail dense enough for real AC content.
        run("djpeg -scale 1/4 -pnm " + shellQuote(photo) + " > " + shellQuote((dir / "base.ppm").string()));
        loaded = readPnm(dir / "base.ppm", base) && base.channels == 3;
    }
    Pnm out = Pnm::rgb8(width, height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < 3; ++c) {
                uint16_t v = 0;
                if (loaded) {
                    // Mirror at the edges so large requests still get detail.
                    uint32_t sx = (x0 + x) % (2 * base.width), sy = (y0 + y) % (2 * base.height);
                    if (sx >= base.width) sx = 2 * base.width - 1 - sx;
                    if (sy >= base.height) sy = 2 * base.height - 1 - sy;
                    v = base.at(sx, sy, c);
                } else {
                    v = uint16_t((x * 7 + y * 13 + c * 50) & 255);
                }
                out.samples[(size_t(y) * width + x) * 3 + c] = v;
            }
    return out;
}

std::vector<uint8_t> cjpegBytes(const TempDir& dir, const Pnm& picture, const std::string& args)
{
    fs::path in = dir / "source.ppm", out = dir / "made.jpg";
    if (!writePnm(in, picture)) return {};
    fs::remove(out);
    if (run("cjpeg " + args + " -outfile " + shellQuote(out.string()) + " " + shellQuote(in.string())) != 0) return {};
    return readFile(out);
}

bool djpegDecode(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& args, Pnm& out)
{
    fs::path in = dir / "input.jpg", res = dir / "decoded.pnm";
    writeFile(in, bytes);
    fs::remove(res);
    if (run("djpeg " + args + " -outfile " + shellQuote(res.string()) + " " + shellQuote(in.string()) +
            " 2>/dev/null") != 0)
        return false;
    return readPnm(res, out);
}

} // namespace quillon::test

#include <cstdio>
#include <jpeglib.h>

namespace quillon::test {

std::vector<uint8_t> libjpegEncode(const std::vector<uint8_t>& samples, uint32_t width, uint32_t height,
                                   int components, int inSpace, int jpegSpace, bool adobe, int quality)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = J_COLOR_SPACE(inSpace);
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, J_COLOR_SPACE(jpegSpace));
    jpeg_set_quality(&c, quality, TRUE);
    for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    c.write_Adobe_marker = adobe ? TRUE : FALSE;
    c.write_JFIF_header = FALSE;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < height) {
        JSAMPROW row = const_cast<JSAMPROW>(samples.data() + size_t(c.next_scanline) * width * components);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    jpeg_destroy_compress(&c);
    std::free(mem);
    return out;
}

void expectSameY(const JpegOutput& ours, const Pnm& ref, const std::string& what)
{
    ASSERT_EQ(ref.width, ours.width) << what;
    ASSERT_EQ(ref.height, ours.height) << what;
    size_t mismatches = 0;
    uint32_t fx = 0, fy = 0;
    for (uint32_t y = 0; y < ref.height; ++y)
        for (uint32_t x = 0; x < ref.width; ++x)
            if (ours.at(x, y, 0) != ref.at(x, y, 0) && mismatches++ == 0) {
                fx = x;
                fy = y;
            }
    EXPECT_EQ(mismatches, 0u) << what << ": first at (" << fx << ", " << fy << ") ours " << int(ours.at(fx, fy, 0))
                              << " djpeg " << ref.at(fx, fy, 0);
}

void expectExactY(const TempDir& dir, const std::vector<uint8_t>& jpg, bool reduced, const std::string& what)
{
    ASSERT_FALSE(jpg.empty()) << what;
    Pnm ref;
    ASSERT_TRUE(djpegDecode(dir, jpg, reduced ? "-grayscale -scale 1/8 -pnm" : "-grayscale -pnm", ref)) << what;
    JpegDecodeOptions o;
    o.reduced = reduced;
    o.convert = false;
    JpegOutput ours = jpegDecodeBytes(jpg, o);
    ASSERT_EQ(ours.rc, RC_OK) << what;
    expectSameY(ours, ref, what);
}

} // namespace quillon::test
