#include "support/codec_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "app/format_table.h"
#include "core/convert.h"
#include "core/format.h"

namespace quillon::test {

namespace fs = std::filesystem;

namespace {

class ExactSource final : public MappedFile {
public:
    ExactSource(const std::vector<uint8_t>& bytes, const std::string& name)
        : bytes_(new uint8_t[bytes.empty() ? 1 : bytes.size()]), size_(bytes.size()), name_(name)
    {
        if (size_) std::memcpy(bytes_.get(), bytes.data(), size_);
    }
    const uint8_t* data() const override { return bytes_.get(); }
    uint64_t size() const override { return size_; }
    const fs::path& name() const override { return name_; }
    bool lastWriteTime(uint64_t*) const override { return false; }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    uint64_t size_;
    fs::path name_;
};

} // namespace

MappedFile* exactSourceCreate(const std::vector<uint8_t>& bytes, const std::string& name)
{
    return new (std::nothrow) ExactSource(bytes, name);
}

Decoded decodeSource(MappedFile* source, bool allFrames)
{
    registerAllFormats();
    Decoded d;
    if (!source) {
        d.rc = RC_OPEN_FAILED;
        return d;
    }
    d.rc = imageSourceOpen(d.reader, source, true);
    if (failed(d.rc)) return d;
    Image* raw = nullptr;
    d.rc = imageCreateForReader(d.reader.get(), &raw, false);
    d.image = Ref<Image>::adopt(raw);
    if (succeeded(d.rc)) d.rc = d.reader->decode(raw, allFrames, nullptr, nullptr);
    return d;
}

Decoded decodeFileFull(const fs::path& path, bool allFrames)
{
    Ref<MappedFile> file = Ref<MappedFile>::adopt(mappedFileOpen(path));
    if (!file) {
        Decoded d;
        d.rc = RC_OPEN_FAILED;
        return d;
    }
    return decodeSource(file.get(), allFrames);
}

Decoded decodeBytesFull(const std::vector<uint8_t>& bytes, const std::string& name, bool allFrames)
{
    Ref<MappedFile> src = Ref<MappedFile>::adopt(exactSourceCreate(bytes, name));
    return decodeSource(src.get(), allFrames);
}

Ref<Image> decodeFile(const fs::path& path, ResultCode* rcOut, Ref<ImageReader>* readerOut)
{
    Decoded d = decodeFileFull(path);
    if (rcOut) *rcOut = d.rc;
    if (readerOut) *readerOut = d.reader;
    return succeeded(d.rc) ? d.image : Ref<Image>();
}

Ref<Image> decodeBytes(const std::vector<uint8_t>& bytes, ResultCode* rcOut, const std::string& name)
{
    Decoded d = decodeBytesFull(bytes, name);
    if (rcOut) *rcOut = d.rc;
    return succeeded(d.rc) ? d.image : Ref<Image>();
}

namespace {
bool samePixels(Image* a, Image* b)
{
    Ref<Image> x = asRgba8(a), y = asRgba8(b);
    if (!x || !y || x->width != y->width || x->height != y->height) return false;
    for (Image *f = x.get(), *g = y.get(); f || g; f = f->next(), g = g->next()) {
        if (!f || !g || f->width != g->width || f->height != g->height) return false;
        for (uint32_t r = 0; r < f->height; ++r)
            if (std::memcmp(f->rowBytesPtr(r), g->rowBytesPtr(r), size_t(f->width) * 4) != 0) return false;
    }
    return true;
}
} // namespace

size_t expectEveryCutIsDamage(const std::vector<uint8_t>& whole, const std::string& name, size_t probeMinimum,
                              size_t step)
{
    Decoded full = decodeBytesFull(whole, name);
    EXPECT_EQ(full.rc, RC_OK) << name << " whole";
    if (full.rc != RC_OK) return 0;
    size_t kept = 0;
    int reported = 0;
    for (size_t cut = 1; cut < whole.size(); cut += std::max<size_t>(step, 1)) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(cut));
        Decoded d = decodeBytesFull(part, name);
        bool ok;
        if (cut < probeMinimum) {
            ok = d.rc == RC_UNKNOWN_FORMAT;
        } else if (d.rc == RC_OK) {
            ok = samePixels(d.image.get(), full.image.get());
        } else {
            ok = d.rc == RC_CORRUPT_FILE;
            if (ok && d.image) {
                ++kept;
                ok = d.image->width == full.image->width && d.image->height == full.image->height;
            }
        }
        if (!ok && ++reported <= 5) ADD_FAILURE() << name << " cut at " << cut << " of " << whole.size() << ": code " << std::hex << d.rc;
    }
    return kept;
}

Ref<Image> asRgba8(Image* image)
{
    return Ref<Image>::adopt(image ? imageConvertNew(image, false, false, PF_RGBA8) : nullptr);
}

std::string pillowDecoder(bool alpha, int frame)
{
    std::string script = "import sys; from PIL import Image; im = Image.open(sys.argv[1]); ";
    if (frame) script += "im.seek(" + std::to_string(frame) + "); ";
    if (alpha)
        script += "c = im.convert('RGBA'); sys.stdout.buffer.write(b'P7\\nWIDTH %d\\nHEIGHT %d\\nDEPTH 4\\n"
                  "MAXVAL 255\\nTUPLTYPE RGB_ALPHA\\nENDHDR\\n' % c.size + c.tobytes())";
    else
        script += "im.convert('RGB').save(sys.stdout.buffer, 'PPM')";
    return std::string(kSystemPython) + " -c \"" + script + "\" IN";
}

bool oracleDecode(const std::string& tool, const fs::path& file, Pnm& out)
{
    fs::path pam = file;
    pam += ".oracle.pam";
    std::string cmd;
    if (tool == "convert") {
        cmd = "convert " + shellQuote(file.string()) + " -depth 8 pam:" + shellQuote(pam.string());
    } else {
        std::string decoder = tool;
        size_t at = decoder.find("IN");
        if (at == std::string::npos) decoder += " IN";
        at = decoder.find("IN");
        decoder.replace(at, 2, shellQuote(file.string()));
        cmd = decoder + " 2>/dev/null | pamdepth 255 | pamtopam > " + shellQuote(pam.string());
    }
    if (run(cmd) != 0) return false;
    return readPnm(pam, out);
}

void expectMadeFilesDecodeLikeImageMagick(const std::filesystem::path& dir, const std::vector<MadeFile>& made,
                                          const std::filesystem::path& src, bool compareAlpha)
{
    for (const MadeFile& m : made) {
        const std::filesystem::path out = dir / m.name;
        std::string cmd = m.command;
        if (size_t at = cmd.find("SRC"); at != std::string::npos) cmd.replace(at, 3, shellQuote(src.string()));
        cmd.replace(cmd.find("OUT"), 3, shellQuote(out.string()));
        ASSERT_EQ(run(cmd + " 2>/dev/null"), 0) << cmd;
        ResultCode rc;
        Ref<Image> img = decodeFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << m.name;
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("convert", out, oracle)) << m.name;
        expectEqualPixels(img.get(), oracle, m.name, compareAlpha, 0);
    }
}

void expectEqualPixels(Image* image, const Pnm& p, const std::string& what, bool compareAlpha, int lowBits)
{
    ASSERT_TRUE(image) << what;
    Ref<Image> rgba = asRgba8(image);
    ASSERT_TRUE(rgba) << what;
    ASSERT_EQ(rgba->width, p.width) << what;
    ASSERT_EQ(rgba->height, p.height) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            Rgba8 q = rgba->row<Rgba8>(y)[x];
            uint32_t r = p.at(x, y, 0), g = p.channels >= 3 ? p.at(x, y, 1) : r, b = p.channels >= 3 ? p.at(x, y, 2) : r;
            bool ok = uint32_t(q.r >> lowBits) == (r >> lowBits) && uint32_t(q.g >> lowBits) == (g >> lowBits) &&
                      uint32_t(q.b >> lowBits) == (b >> lowBits);
            if (compareAlpha && (p.channels == 4 || p.channels == 2)) ok = ok && q.a == p.at(x, y, p.channels - 1);
            if (!ok && ++bad < 4)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << int(q.r) << " " << int(q.g) << " "
                              << int(q.b) << " " << int(q.a) << " oracle " << r << " " << g << " " << b;
        }
    EXPECT_EQ(bad, 0) << what;
}

void le16(std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x)), v.push_back(uint8_t(x >> 8)); }
void le32(std::vector<uint8_t>& v, uint32_t x) { le16(v, x & 0xFFFF), le16(v, x >> 16); }
void be16(std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x >> 8)), v.push_back(uint8_t(x)); }
void be32(std::vector<uint8_t>& v, uint32_t x) { be16(v, x >> 16), be16(v, x & 0xFFFF); }

} // namespace quillon::test
