#pragma once
// Helpers for codec tests: decoding through the registry and the decode
// driver from a file or from exact-size bytes, oracle decodes by the
// independent tools, pixel comparison, and little-endian builders for
// hand-made headers.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/image.h"
#include "core/image_reader.h"
#include "core/result.h"
#include "platform/mapped_file.h"
#include "platform/refcount.h"
#include "support/test_support.h"

namespace quillon::test {

// A source holding a copy of `bytes` in an allocation of exactly their size
// (a borrowed exact-size buffer, owned by the source so a reader may keep
// it): a codec reading one byte past the end reads past the allocation,
// which the sanitizer build reports. A padded copy would hide that.
MappedFile* exactSourceCreate(const std::vector<uint8_t>& bytes, const std::string& name);

// What a decode left: the result of the first step that failed (or of the
// decode), the reader once opened, and the image once made - kept when the
// decode itself failed, so a test can look at a partial image.
struct Decoded {
    ResultCode rc = RC_GENERAL_FAILURE;
    Ref<ImageReader> reader;
    Ref<Image> image;
    // The frames of the chain, head first.
    std::vector<Image*> frames() const
    {
        std::vector<Image*> v;
        for (Image* f = image.get(); f; f = f->next()) v.push_back(f);
        return v;
    }
    // An information field of the head frame, empty when unset.
    std::u16string field(int f) const
    {
        const char16_t* t = image && image->info() ? image->info()->get(f) : nullptr;
        return t ? t : u"";
    }
};

// Opens through the process-wide registry (every format registered, with
// sniffing, as the batch does), makes the image at the reader's size and
// format and decodes every frame.
Decoded decodeSource(MappedFile* source, bool allFrames = true);
Decoded decodeFileFull(const std::filesystem::path& path, bool allFrames = true);
Decoded decodeBytesFull(const std::vector<uint8_t>& bytes, const std::string& name, bool allFrames = true);

// The same, giving the image only on success.
Ref<Image> decodeFile(const std::filesystem::path& path, ResultCode* rcOut = nullptr,
                      Ref<ImageReader>* readerOut = nullptr);
Ref<Image> decodeBytes(const std::vector<uint8_t>& bytes, ResultCode* rcOut, const std::string& name);

// The truncation sweep every codec test runs: `whole` (a sound file that
// decodes RC_OK) cut to every length from 1 (in steps of `step`) decodes
// with RC_UNKNOWN_FORMAT below `probeMinimum` bytes and RC_CORRUPT_FILE from
// there on - or RC_OK only when every pixel equals the whole file's (data
// after the pixels may be cut freely). A partial image that is kept has the
// whole file's size. Returns how many cuts kept a partial image.
size_t expectEveryCutIsDamage(const std::vector<uint8_t>& whole, const std::string& name, size_t probeMinimum,
                              size_t step = 1);

// A PF_RGBA8 copy (null on failure).
Ref<Image> asRgba8(Image* image);

// Decodes `file` with an oracle into 8-bit samples: "convert" (ImageMagick)
// or any shell command that reads the file at IN and writes netpbm to
// standard output (e.g. "bmptopnm IN", "djpeg -pnm IN").
bool oracleDecode(const std::string& tool, const std::filesystem::path& file, Pnm& out);

// Compares colours (and alpha when the oracle has it and compareAlpha)
// exactly after ignoring `lowBits` low bits of each channel; reports the
// first few differences.
void expectEqualPixels(Image* image, const Pnm& oracle, const std::string& what, bool compareAlpha = true,
                       int lowBits = 0);

// A file an independent tool makes: `command` writes it to OUT, and may read
// a source picture at SRC.
struct MadeFile {
    const char* name;
    std::string command;
};
// Makes each file in `dir`, then requires that it decodes and that its
// pixels equal ImageMagick's decode of it (alpha too with compareAlpha).
void expectMadeFilesDecodeLikeImageMagick(const std::filesystem::path& dir, const std::vector<MadeFile>& made,
                                          const std::filesystem::path& src, bool compareAlpha);

// The system interpreter, which has Pillow and numpy (a user's PATH may
// find another without them).
inline const char* kSystemPython = "/usr/bin/python3";

// An oracleDecode tool that decodes IN with Pillow: frame `frame` of an
// animation, as RGB or, with `alpha`, as RGBA.
std::string pillowDecoder(bool alpha = false, int frame = 0);

// Little- and big-endian appenders for hand-built headers.
void le16(std::vector<uint8_t>& v, uint32_t x);
void le32(std::vector<uint8_t>& v, uint32_t x);
void be16(std::vector<uint8_t>& v, uint32_t x);
void be32(std::vector<uint8_t>& v, uint32_t x);

} // namespace quillon::test
