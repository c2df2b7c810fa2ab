#include "app/batch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <span>

#include "app/html_index.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "app/log_file.h"
#include "app/output_names.h"
#include "app/temp_files.h"
#include "app/taskbar_progress.h"
#include "core/convert.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"
#include "platform/settings_store.h"
#include "platform/tasks.h"
#include "core/quantize.h"
#include "core/text.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/frame.h"
#include "processing/geometry.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

const FormatRegistry& registryOf(const FormatRegistry* r) { return r ? *r : formatRegistry(); }

std::u16string u16(const std::string& ascii) { return asciiToU16(ascii); }

uint32_t chainFrames(const Image* image)
{
    uint32_t n = 0;
    for (const Image* f = image; f; f = f->next()) ++n;
    return n;
}

// ---- orientation as a 2x2 integer matrix ----

struct Mat2 {
    int a, b, c, d;
};
Mat2 mul(Mat2 x, Mat2 y) { return {x.a * y.a + x.b * y.c, x.a * y.b + x.b * y.d, x.c * y.a + x.d * y.c, x.c * y.b + x.d * y.d}; }
Mat2 matrixOf(uint8_t o)
{
    Mat2 m{1, 0, 0, 1};
    const Mat2 turn{0, -1, 1, 0};
    for (int i = 0; i < (o & 3); ++i) m = mul(turn, m);
    if (o & ORIENT_MIRROR_V) m = mul(Mat2{1, 0, 0, -1}, m);
    if (o & ORIENT_MIRROR_H) m = mul(Mat2{-1, 0, 0, 1}, m);
    return m;
}

} // namespace

uint8_t orientationCompose(uint8_t first, uint8_t second)
{
    Mat2 want = mul(matrixOf(second), matrixOf(first));
    // Several codes name the same result (a half turn and both mirrors);
    // the one with the fewest flags is the plainest.
    int best = -1;
    for (int o = 0; o < 16; ++o) {
        Mat2 m = matrixOf(uint8_t(o));
        if (m.a != want.a || m.b != want.b || m.c != want.c || m.d != want.d) continue;
        if (best < 0 || __builtin_popcount(o) < __builtin_popcount(best)) best = o;
    }
    return uint8_t(best < 0 ? 0 : best);
}

// ---------------------------------------------------------------- loading

namespace {

ResultCode decodeInput(Ref<Image>& out, const fs::path& path, const fs::path* nextPath,
                       std::span<const fs::path* const> laterPaths, ImageCache* cache, const FormatRegistry* registry,
                       std::vector<std::string>* notes)
{
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, path, true, registry);
    if (failed(rc)) return rc;
    if (notes) *notes = reader->notes;
    Image* raw = nullptr;
    if (cache) {
        // A read-ahead of this file is waited for, or its cached image used.
        rc = imageCacheGetOrDecode(cache, &raw, reader.get(), nullptr, nullptr);
        Ref<Image> image = Ref<Image>::adopt(raw);
        // The batch uses each input once: taking it out of the cache usually
        // leaves us its only holder, so it can be processed without a copy,
        // and frees the cache's room for the next inputs, which may be
        // there already.
        imageCacheForget(cache, image.get());
        if (nextPath && !nextPath->empty()) imageCacheRequest(cache, *nextPath, 0, true, nullptr, nullptr);
        // The files after it, as many as are read ahead at once: a request
        // beyond that would wait for the one before. The nearer ones are
        // mostly under way already; one that memory held back is asked for
        // again.
        const size_t depth = cache->readAheadDepth.load();
        for (size_t i = 0; i < laterPaths.size() && i + 1 < depth; ++i)
            if (laterPaths[i] && !laterPaths[i]->empty())
                imageCacheRequest(cache, *laterPaths[i], 0, true, nullptr, nullptr);
        if (failed(rc)) return rc;
        out = std::move(image);
        return RC_OK;
    }
    rc = imageCreateForReader(reader.get(), &raw, false);
    if (failed(rc)) return rc;
    Ref<Image> image = Ref<Image>::adopt(raw);
    rc = reader->decode(image.get(), true, nullptr, nullptr);
    if (failed(rc)) return rc;
    out = std::move(image);
    return RC_OK;
}

ResultCode fetchMaskThroughCache(ImageCache* cache, Image** out, ImageReader* maskReader)
{
    *out = nullptr;
    return imageCacheGetOrDecode(cache, out, maskReader, nullptr, nullptr);
}

void combineAdjustments(AdjustmentSettings& a, const AdjustmentSettings& f)
{
    a.contrast += f.contrast;
    a.brightness += f.brightness;
    a.hue += f.hue;
    a.saturation += f.saturation;
    a.luminance += f.luminance;
    a.red += f.red;
    a.green += f.green;
    a.blue += f.blue;
    a.gamma = (a.gamma + f.gamma) / 2;
    a.sharpness += f.sharpness;
    a.scaleA *= f.scaleA;
    a.scaleB *= f.scaleB;
    a.invert = uint8_t((a.invert != 0) != (f.invert != 0));
    // The file's own orientation straightens the image; the job's turn
    // applies to the result.
    a.orientation = orientationCompose(f.orientation, a.orientation);
    a.crop[0] = uint32_t(std::max(int32_t(a.crop[0]), int32_t(f.crop[0])));
    a.crop[1] = uint32_t(std::max(int32_t(a.crop[1]), int32_t(f.crop[1])));
    a.crop[2] = std::min(a.crop[2], f.crop[2]);
    a.crop[3] = std::min(a.crop[3], f.crop[3]);
    uint32_t colour = 0;
    for (float v : {a.contrast, a.brightness, a.hue, a.saturation, a.luminance, a.red, a.green, a.blue})
        colour += v != 0;
    colour += a.gamma != 1.0f;
    colour += a.invert != 0;
    uint32_t other = (a.sharpness != 0) + (a.scaleA != 1.0) + (a.scaleB != 1.0) + (a.orientation != 0) +
                     ((uint64_t(a.crop[0]) + a.crop[1] + a.crop[2] + a.crop[3]) != 0);
    a.colourCount = colour;
    a.otherCount = other;
}

void colourOf(uint32_t argb, float out[4])
{
    for (int i = 0; i < 4; ++i) out[i] = float((argb >> (8 * i)) & 0xFF) / 255.0f;
}

} // namespace

ResultCode batchLoadInput(Ref<Image>& out, const fs::path& path, const FileEntry* entry, uint32_t* width,
                          uint32_t* height, const fs::path* nextPath, const JobSettings& s, ImageCache* cache,
                          const FormatRegistry* registry, std::span<const fs::path* const> laterPaths,
                          std::vector<std::string>* readNotes, uint32_t* framesRead)
{
    out.reset();
    if (readNotes) readNotes->clear();
    if (framesRead) *framesRead = 0;
    Ref<Image> decoded;
    ResultCode rc = decodeInput(decoded, path, nextPath, laterPaths, cache, registry, readNotes);
    if (failed(rc)) return rc;
    if (framesRead) *framesRead = chainFrames(decoded.get());
    // Whatever comes next changes pixels or metadata: the cache's image is
    // shared and stays as it was decoded.
    if (!imageCacheMakePrivate(decoded)) return RC_OUT_OF_MEMORY;
    Ref<Image> image = std::move(decoded);
    ImageInfo* info = image->info();

    // Title: a title that is the file's own base name follows the output name.
    if (entry && !entry->overrideName.empty() && info && info->has(INFO_TITLE)) {
        std::u16string p = pathToU16(path);
        size_t dot = p.rfind(u'.');
        std::u16string stem = dot == std::u16string::npos ? p : p.substr(0, dot);
        std::u16string title = info->get(INFO_TITLE);
        if (stem.size() >= title.size() && stem.compare(stem.size() - title.size(), title.size(), title) == 0)
            info->set(INFO_TITLE, entry->overrideName.c_str());
    }
    if (entry && entry->metadataOverride && info)
        for (int f = 0; f < INFO_FIELD_COUNT; ++f)
            if (entry->metadataOverride->has(f)) info->set(f, entry->metadataOverride->get(f));
    if (entry && entry->metadataOverride && info)
        for (int f = 0; f < INFO_FIELD_COUNT; ++f)
            if ((entry->metadataCleared >> f) & 1) info->set(f, nullptr);

    Image* slot = image.release();
    auto fail = [&](ResultCode code) {
        objectRelease(slot);
        return code;
    };

    if (s.bUndither) {
        int bits = 8;
        if (info && info->has(INFO_BITS_PER_PIXEL)) {
            const char16_t* t = info->get(INFO_BITS_PER_PIXEL);
            if (countDigits(t) || *t == u'-' || *t == u'+' || *t == u' ') bits = parseUInt(t);
        }
        int32_t threshold = bits == 1 ? 256 : (bits <= 4 ? 112 : 40);
        float sigma = bits == 1 ? 1.4f : 0.14f;
        rc = imageBlurFrames(&slot, threshold, sigma);
        if (failed(rc)) return fail(rc);
        info = slot->info();
    }

    // Resizing, with every product in 64 bits and each side at least 1 pixel.
    uint32_t w = slot->width, h = slot->height;
    uint64_t nw = 0, nh = 0;
    bool resize = false;
    if (s.eResize == 1) {
        float f = float(s.i3ResizeFactor) * 0.00001f;
        if (f > 0.0f && f != 1.0f && std::isfinite(f)) {
            nh = uint64_t(float(h) * f + 0.499f);
            nw = uint64_t(float(w) * f + 0.499f);
            resize = true;
        }
    } else if (s.eResize == 2 && s.iResizeX > 0 && s.iResizeY > 0) {
        uint32_t X = s.iResizeX, Y = s.iResizeY;
        bool same = w == X && h == Y;
        bool small = s.bResizeOnlyDown && w <= X && h <= Y;
        if (!same && !small) {
            resize = true;
            nw = X;
            nh = Y;
            if (s.bResizeKeepAspect) {
                if (uint64_t(w) * Y < uint64_t(h) * X) {
                    nw = uint64_t(w) * Y / h;
                    nh = Y;
                } else {
                    nw = X;
                    nh = uint64_t(h) * X / w;
                }
            }
        }
    }
    if (resize) {
        // A tiny factor or an extreme shape still leaves a pixel each way.
        nw = std::clamp<uint64_t>(nw, 1, 0xFFFFFFFFu);
        nh = std::clamp<uint64_t>(nh, 1, 0xFFFFFFFFu);
        if (nw != w || nh != h) {
            rc = imageResizeFrames(&slot, uint32_t(nw), uint32_t(nh), uint8_t(s.eResizeMethod), true);
            if (failed(rc)) return fail(rc);
        }
    }
    info = slot->info();
    if (s.bSetPPI && info) {
        std::u16string ppi = u16(std::to_string(s.iSetPPI) + " x " + std::to_string(s.iSetPPI) + " ppi");
        info->set(INFO_DENSITY, ppi.c_str());
    }

    AdjustmentSettings adj = s.adjustments;
    if (entry && entry->adjustments) combineAdjustments(adj, *entry->adjustments);
    if (adj.otherCount > 0) {
        if (adj.sharpness != 0) {
            rc = imageSharpenFrames(&slot, adj.sharpness);
            if (failed(rc)) return fail(rc);
        }
        if (adj.orientation != 0) {
            rc = imageRotateFrames(&slot, adj.orientation);
            if (failed(rc)) return fail(rc);
        }
    }
    if (adj.colourCount > 0) {
        // A failed adjustment leaves the image as it was.
        if (succeeded(imageColorAdjust(slot, slot, adj)) && slot->next())
            imageColorAdjustFrames(slot->next(), adj);
    }
    if (uint8_t style = uint8_t(s.eFrameType & 0xFF)) {
        float a[4], b[4];
        colourOf(s.dwFrameColor, a);
        colourOf(s.dwFrameEdgeClr, b);
        rc = imageAddFrame(&slot, style, a, b, s.iFrameWidth);
        if (failed(rc)) return fail(rc);
    }
    if (entry && !entry->alphaFilePath.empty()) {
        Ref<ImageReader> mask;
        rc = imageFileOpen(mask, entry->alphaFilePath, true, registry);
        if (failed(rc)) return fail(rc);
        rc = imageApplyAlphaMask(&slot, mask.get(), cache);
        if (failed(rc)) return fail(rc);
    }
    if (width) *width = slot->width;
    if (height) *height = slot->height;
    out = Ref<Image>::adopt(slot);
    return RC_OK;
}

// ---------------------------------------------------------------- writing

namespace {

using FileId = std::pair<uint64_t, uint64_t>;

bool fileId(const fs::path& p, FileId* id)
{
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) return false;
    *id = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    return true;
}

bool sameFile(const fs::path& a, const fs::path& b)
{
    struct stat sa {}, sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Returns why the source is still there, empty when it is gone.
std::string deleteSource(const fs::path& source)
{
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return {};
    if (readOnlyMode(st.st_mode)) return "Read-only file";
    std::error_code ec;
    fs::remove(source, ec);
    return ec ? ec.message() : std::string();
}

// How many frames of `image` an output of format `d` holds: the writers of
// animations and of documents store the whole chain, every other one its
// first picture.
uint32_t framesHeld(const FormatDescriptor* d, const Image* image)
{
    if (!image) return 0;
    return d && d->writesChain ? chainFrames(image) : 1;
}

std::string pagesText(uint32_t held, uint32_t of)
{
    return std::to_string(held) + " of " + std::to_string(of) + " page" + (of == 1 ? "" : "s");
}

std::u16string refusalText(const fs::path& output, const fs::path& other, bool written)
{
    if (written)
        return u"Not written: " + pathToU16(output) + u" was already written in this batch, from " +
               pathToU16(other) + u".";
    return u"Not written: " + pathToU16(output) + u" would replace " + pathToU16(other) +
           u", another input of this batch.";
}

// The registry index of the slot's format, moved forward to one with a
// writer and stored back; -1 when none.
int32_t slotFormat(JobSettings& s, int k, const FormatRegistry& reg)
{
    int32_t id = s.slots[size_t(k)].iFormatId;
    if (id < 0) return -1;
    while (id < reg.count() && !reg.at(id)->createWriter) ++id;
    if (id >= reg.count()) return -2;
    s.slots[size_t(k)].iFormatId = id;
    return id;
}

// Why an output that keeps its source's format cannot be written: that
// format is one we only read.
const char16_t kReadOnlyFormatText[] = u"This format can only be read";

// The format of an output that keeps its source's own: the codec that reads
// the output's extension (the one that read the source when the extension
// names two), written by that codec's own writer, so that a .jpeg is
// written by the JPEG writer and a .dib by the bitmap writer. -1 when no
// format reads the extension; -2 when the codec only reads.
int32_t sourceFormatWriter(const FormatRegistry& reg, const fs::path& output, const Image* image)
{
    const int32_t first = reg.findByExtension(output, false);
    if (first < 0) return -1;
    const std::u16string_view ext = reg.at(first)->extension;
    const ImageInfo* info = image ? image->info() : nullptr;
    const char16_t* readAs = info ? info->get(INFO_FORMAT) : nullptr;
    // The registry keeps descriptors of one extension side by side.
    const FormatDescriptor* reader = nullptr;
    const FormatDescriptor* writable = nullptr;
    for (int32_t i = first; i < reg.count() && reg.at(i)->extension && ext == reg.at(i)->extension; ++i) {
        const FormatDescriptor* d = reg.at(i);
        if (!d->createReader) continue;
        if (readAs && d->description && std::u16string_view(readAs) == d->description) reader = d;
        if (!writable && d->createWriter) writable = d;
    }
    // A source whose contents are of another format than its name says
    // goes by its name.
    if (!reader) reader = writable ? writable : reg.at(first);
    auto writes = [](const FormatDescriptor* d) { return d->createWriter && d->subFormatCount() > 0; };
    if (writes(reader)) return reg.indexOf(reader);
    for (int32_t i = 0; i < reg.count(); ++i)
        if (writes(reg.at(i)) && reg.at(i)->createReader == reader->createReader) return i;
    return -2;
}

} // namespace

// Names compare paths that do not exist (yet or any more).
std::string OutputClaims::nameOf(const fs::path& path) const
{
    std::error_code ec;
    fs::path a = fs::absolute(path, ec);
    if (ec) a = path;
    const std::string folder = a.parent_path().native();
    auto it = folders_.find(folder);
    if (it == folders_.end()) {
        fs::path c = fs::weakly_canonical(a.parent_path(), ec);
        it = folders_.emplace(folder, ec ? folder : c.lexically_normal().native()).first;
    }
    return (fs::path(it->second) / a.filename()).native();
}

void OutputClaims::addInput(const fs::path& input)
{
    FileId id;
    if (fileId(input, &id)) inputIds_.emplace(id, input);
    inputNames_.emplace(nameOf(input), input);
}

void OutputClaims::inputDeleted(const fs::path& input)
{
    FileId id;
    if (!fileId(input, &id)) return;
    if (auto it = inputIds_.find(id); it != inputIds_.end() && it->second == input) inputIds_.erase(it);
}

void OutputClaims::addWritten(const fs::path& output, const fs::path& source)
{
    FileId id;
    if (fileId(output, &id)) writtenIds_[id] = source;
    writtenNames_[nameOf(output)] = source;
}

fs::path OutputClaims::conflict(const fs::path& output, const fs::path* source, bool* written) const
{
    if (written) *written = false;
    FileId id{}, sourceId{};
    const bool exists = fileId(output, &id);
    const std::string name = nameOf(output);
    // Earlier outputs first: even a source rewritten in place is written
    // once, or the second output would replace the first.
    auto w = exists ? writtenIds_.find(id) : writtenIds_.end();
    if (exists && w != writtenIds_.end()) {
        if (written) *written = true;
        return w->second;
    }
    if (auto n = writtenNames_.find(name); n != writtenNames_.end()) {
        if (written) *written = true;
        return n->second;
    }
    if (source) {
        if (exists && fileId(*source, &sourceId) && sourceId == id) return {};
        if (nameOf(*source) == name) return {};
    }
    if (exists)
        if (auto i = inputIds_.find(id); i != inputIds_.end()) return i->second;
    if (auto n = inputNames_.find(name); n != inputNames_.end()) return n->second;
    return {};
}

namespace {

// One output on its way to its file. Everything that asks, decides or
// checks happens on the batch's thread (the claims, the overwrite question,
// the format, the temporary's name) and so does the rename that makes the
// output appear; only the encoding into the temporary file, which shows
// nothing and touches nothing but that file, may run on another thread.
struct OutputWrite {
    const FormatDescriptor* format = nullptr;
    std::u16string subFormat;
    uint32_t colour = 0;
    int32_t parameter = 0;
    fs::path target, temp;
    // A signal that ends the process removes the temporary first.
    std::optional<LiveTemporary> live;
    // Further files of the output (a description's data), put in place with it.
    CompanionFiles companions;
    bool existed = false;
    Image* image = nullptr;  // held by the caller until the encoding ends
    uint32_t bits = 0;
    ResultCode rc = RC_OK;
    // Set when the user cancels the run: encoders that can stop part way
    // poll it.
    AbortFlag abort{0};
};

// Everything before the encoding. RC_OK: `w` is ready to encode; anything
// else is the write's result. `sourceFrames`: the frames the source was read
// with, which an output replacing it must all hold; 0 when unknown.
ResultCode writePrepare(BatchContext& ctx, fs::path& outputPath, int k, const fs::path* source,
                        std::u16string* refusal, OutputWrite& w, const Image* image, uint32_t sourceFrames)
{
    JobSettings& s = ctx.settings;
    const FormatRegistry& reg = registryOf(ctx.registry);
    std::error_code ec;
    // An output there before the run that the job keeps replaces nothing,
    // even where it is another input (the output of an earlier run over the
    // same folder): a rerun skips it. A file this run wrote is no such
    // output: two inputs of one output name still fail.
    const bool exists = fs::exists(outputPath, ec);
    const bool kept = exists && (s.bSkipExisting || (!s.bNoOverwritePrompt && s.bNoErrorPrompts));
    auto claimed = [&](const fs::path& path, bool keptIfInput) {
        if (!ctx.claims) return false;
        bool written = false;
        fs::path other = ctx.claims->conflict(path, source, &written);
        if (other.empty() || (keptIfInput && !written)) return false;
        if (refusal) *refusal = refusalText(path, other, written);
        return true;
    };
    // Asked before the overwrite question: the answer could only lose a file.
    if (claimed(outputPath, kept)) return RC_CREATE_FAILED;
    if (kept) return WRITE_SKIPPED;
    if (exists) {
        if (!s.bNoOverwritePrompt) {
            std::u16string text = u"The following output file aldready exists:\n        \n" + pathToU16(outputPath) +
                                  u"\n";
            // Rewriting a picture in place is allowed, but the answer then
            // replaces the original: the question must not look like any other.
            if (source && sameFile(outputPath, *source)) text += u"This file is the input file being converted.\n";
            text += u"        \nWhat would you like to do with it?";
            int32_t answer = ctx.ui.askOverwrite(text);
            if (answer == OVERWRITE_REPLACE_ALL) {
                s.bNoOverwritePrompt = 1;
            } else if (answer == OVERWRITE_RENAME) {
                if (!ctx.ui.askRenameTarget(outputPath)) return RC_CANCELLED;
                if (claimed(outputPath, false)) return RC_CREATE_FAILED;
            } else if (answer != OVERWRITE_REPLACE) {
                return RC_CANCELLED;
            }
            ctx.ui.setOutputText(pathToU16(outputPath));
        }
    }
    // The slot as this output uses it: one that keeps each source's format
    // takes that format's sub-format, colour format and number the way a
    // slot naming the format does.
    OutputFormatSlot slot = s.slots[size_t(k)];
    int32_t id = slotFormat(s, k, reg);
    if (id == -1) {
        id = sourceFormatWriter(reg, outputPath, image);
        if (id == -2) {
            if (refusal) *refusal = u"Not written: " + pathToU16(outputPath) + u": " + kReadOnlyFormatText;
            return RC_UNKNOWN_FORMAT;
        }
        if (id >= 0) {
            slot.iFormatId = id;
            normalizeSlot(slot, s, &reg);
        }
    }
    if (id < 0) return RC_UNKNOWN_FORMAT;
    const FormatDescriptor* d = reg.at(id);
    if (!d->createWriter) return RC_UNKNOWN_FORMAT;

    // The job's rules or the answer would replace what is there; a
    // read-only file is refused all the same, as its delete is.
    struct stat st {};
    if (::stat(outputPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (readOnlyMode(st.st_mode)) {
            if (refusal) *refusal = u"Not written: " + pathToU16(outputPath) + u": Read-only file";
            return RC_CREATE_FAILED;
        }
        // A source is replaced only by an output that keeps all of it.
        const uint32_t held = framesHeld(d, image);
        if (source && held < sourceFrames && sameFile(outputPath, *source)) {
            if (refusal)
                *refusal = u"Not written: " + pathToU16(outputPath) + u": holds " +
                           utf8ToU16(pagesText(held, sourceFrames)) + u" of its source";
            return RC_CREATE_FAILED;
        }
    }

    w.format = d;
    w.subFormat = slot.szSubFormat;
    w.colour = slot.iColorFormat;
    w.parameter = slot.iCompParam;
    w.existed = fs::exists(outputPath, ec);
    // An existing output reached through a symbolic link is replaced where
    // the link points, and the link stays: the same file the link names,
    // which may be the source itself.
    w.target = outputPath;
    if (w.existed && fs::is_symlink(outputPath, ec)) {
        fs::path resolved = fs::canonical(outputPath, ec);
        if (!ec && fs::is_regular_file(resolved, ec)) w.target = resolved;
    }
    w.temp = temporaryBeside(w.target);
    w.live.emplace(w.temp);
    return RC_OK;
}

// The encoding into the temporary file; on failure the temporary is gone.
void writeEncode(OutputWrite& w);

// Encodes on the task pool while the batch's thread does `meanwhile`, then
// lets the interface handle its events until the encoding ends: a cancel
// then reaches an encoder that polls the abort byte instead of waiting for
// it to finish.
void encodeWatched(BatchContext& ctx, OutputWrite& w, const std::function<void()>& meanwhile)
{
    Event done;
    std::atomic<bool> started{false};
    TaskGroup encoding;
    if (!encoding.run([&] {
            started = true;
            writeEncode(w);
            done.set();
        })) {
        writeEncode(w);
        done.set();
    }
    if (meanwhile) meanwhile();
    while (!done.wait(50)) {
        // Every worker busy (decoding ahead, say): this thread encodes, as
        // it would have without the pool.
        if (!started) break;
        ctx.ui.pumpWhileEncoding();
        if (!ctx.running) w.abort = 1;
    }
    encoding.wait();
}

void writeEncode(OutputWrite& w)
{
    std::error_code ec;
    {
        Ref<ImageWriter> writer = Ref<ImageWriter>::adopt(w.format->createWriter(w.temp, w.format));
        if (!writer) {
            w.rc = RC_OUT_OF_MEMORY;
            return;
        }
        writer->abort = &w.abort;
        writer->finalPath = w.target;
        writer->companionTemporary = [&w](const fs::path& target) { return w.companions.temporaryFor(target); };
        w.rc = writer->write(w.image, w.subFormat.c_str(), w.colour, w.parameter, true, nullptr, &w.bits);
        // Closing flushes the last bytes: its failure is the write's failure.
        ResultCode closed = writer->output.close();
        if (succeeded(w.rc) && failed(closed)) w.rc = closed;
    }
    if (failed(w.rc)) {
        fs::remove(w.temp, ec);
        w.companions.discard();
        return;
    }
    // An existing file is replaced only by a complete new one, on the disk
    // before the old one goes.
    if (w.existed) syncFile(w.temp);
}

// After the encoding: the temporary replaces the target. A further file
// that would replace a read-only one is refused as the output's own target
// is, with `refusal` naming it.
ResultCode writeCommit(BatchContext& ctx, OutputWrite& w, std::u16string* refusal)
{
    if (failed(w.rc)) return w.rc;
    std::error_code ec;
    // The new file keeps the permissions of the one it replaces.
    if (w.existed) takeModeOf(w.target, w.temp);
    fs::path readOnly;
    if (!w.companions.place(&readOnly)) {
        fs::remove(w.temp, ec);
        if (readOnly.empty()) return RC_WRITE_FAILED;
        if (refusal) *refusal = u"Not written: " + pathToU16(readOnly) + u": Read-only file";
        return RC_CREATE_FAILED;
    }
    fs::rename(w.temp, w.target, ec);
    if (ec) {
        fs::remove(w.temp, ec);
        return RC_WRITE_FAILED;
    }
    ctx.settings.nConverted += 1;
    return RC_OK;
}

// For an output written to a target size that even its lowest quality did
// not reach: what the log says in place of "Ok.". Empty otherwise.
std::string targetSizeMissed(const OutputWrite& w)
{
    if (!w.format || w.parameter <= 0) return {};
    const int32_t sub = w.format->subFormatIndex(w.subFormat);
    if (sub < 0 || w.format->paramKind(uint32_t(sub)) != PARAM_SIZE_KB) return {};
    struct stat st {};
    if (::stat(w.target.c_str(), &st) != 0 || uint64_t(st.st_size) <= uint64_t(w.parameter) * 1024) return {};
    char text[128];
    std::snprintf(text, sizeof text, "Target size not reached: %.1f KB written for %d KB.",
                  double(st.st_size) / 1024.0, int(w.parameter));
    return text;
}

} // namespace

ResultCode batchWriteOutput(BatchContext& ctx, fs::path& outputPath, Image* image, int k, uint32_t* bitsOut,
                            const fs::path* source, std::u16string* refusal, uint32_t sourceFrames)
{
    OutputWrite w;
    ResultCode rc = writePrepare(ctx, outputPath, k, source, refusal, w, image, sourceFrames);
    if (rc != RC_OK) return rc;
    w.image = image;
    writeEncode(w);
    if (bitsOut) *bitsOut = w.bits;
    return writeCommit(ctx, w, refusal);
}

// ---------------------------------------------------------------- the run

namespace {

struct Run {
    BatchContext& ctx;
    JobSettings& s;
    const FormatRegistry& reg;
    BatchResult r;
    LogFile log;
    // The page is built whole in memory and replaces the old one only once
    // complete: a run that fails halfway leaves the last good index.
    bool index = false;
    std::string indexText;
    int32_t indexColumn = 0;
    uint64_t startMs = 0;
    uint32_t depthBefore = 1, growToBefore = 0;
    // Output folders already rid of the temporaries of runs that were
    // killed outright.
    std::set<fs::path> swept;
    // Thumbnails the index shows.
    std::set<fs::path> indexed;

    // The next input, loaded and processed while the current input's last
    // output is encoded; `input` is its place in the run's order.
    struct Ahead {
        size_t input = SIZE_MAX;
        ResultCode rc = RC_OK;
        Ref<Image> image;
        uint32_t width = 0, height = 0, frames = 0;
        std::vector<std::string> notes;
    } ahead;

    explicit Run(BatchContext& c) : ctx(c), s(c.settings), reg(registryOf(c.registry)) {}

    // Whether the input after order[n] may be loaded before order[n]'s last
    // output is in place. Loading reads files and shows nothing; only an
    // alpha mask could be a file this output is about to replace, and a
    // batch that is stopping needs no next input.
    bool mayLoadAhead(const std::vector<size_t>& order, size_t n) const
    {
        if (!ctx.overlap || !ctx.running || n + 1 >= order.size()) return false;
        return ctx.inputs.slot(order[n + 1])->alphaFilePath.empty();
    }

    // The path of the input at place i of the run's order; null past its end.
    const fs::path* pathAt(const std::vector<size_t>& order, size_t i) const
    {
        return i < order.size() ? &ctx.inputs.slot(order[i])->path : nullptr;
    }

    // The paths after the next input's, as far as the cache reads ahead.
    std::vector<const fs::path*> laterPaths(const std::vector<size_t>& order, size_t n) const
    {
        std::vector<const fs::path*> later;
        const size_t depth = ctx.cache ? ctx.cache->readAheadDepth.load() : 1;
        for (size_t i = n + 2; i < order.size() && i < n + 1 + depth; ++i) later.push_back(pathAt(order, i));
        return later;
    }

    void loadAhead(const std::vector<size_t>& order, size_t n)
    {
        const FileEntry& e = *ctx.inputs.slot(order[n]);
        ahead.input = n;
        ahead.rc = batchLoadInput(ahead.image, e.path, &e, &ahead.width, &ahead.height, pathAt(order, n + 1), s,
                                  ctx.cache, ctx.registry, laterPaths(order, n), &ahead.notes, &ahead.frames);
    }

    uint64_t now() const { return ctx.milliseconds ? ctx.milliseconds() : 0; }
    void time() { ctx.ui.setTime(batchFormatElapsed(float(now() - startMs) * 0.001f)); }
    void progress()
    {
        ctx.ui.setProgress(r.done);
        if (ctx.taskbar) ctx.taskbar->setProgress(r.done, r.total);
    }
    void status()
    {
        // The outputs of inputs the list could not take are lost as much as
        // those that failed here, and a silent run counts them so.
        const int32_t lost = ctx.notAdded ? int32_t(ctx.notAdded->size()) * outputs() : 0;
        const int32_t total = r.total + lost, failed = r.failed + lost;
        std::string text;
        if (r.converted > 0)
            text = " Converted " + std::to_string(r.converted) + " out of " + std::to_string(total) + " file" +
                   (total == 1 ? "" : "s");
        // Outputs that failed are told apart from those left alone, as a
        // silent run's summary does.
        const int32_t left = r.skipped - r.failed;
        if (left > 0)
            text += std::string(text.empty() ? "" : ", ") + std::to_string(left) + " file" + (left == 1 ? "" : "s") +
                    " skipped";
        if (failed > 0)
            text += std::string(text.empty() ? "" : ", ") + std::to_string(failed) + " file" +
                    (failed == 1 ? "" : "s") + " failed";
        if (!text.empty()) text += "!";
        ctx.ui.setStatus(u16(text));
    }
    // The slots hold eight; a count from elsewhere never reaches past them.
    int outputs() const { return int(std::clamp<uint32_t>(s.iOutFormats, 1, kMaxOutputFormats)); }

    std::u16string colourName(uint32_t flag) const
    {
        const char16_t* n = colourFormatName(flag);
        return n ? n : u"Unknown";
    }

    void logHead()
    {
        log.writeLine();
        for (int k = 0; k < outputs(); ++k) {
            int32_t id = slotFormat(s, k, reg);
            const OutputFormatSlot& slot = s.slots[size_t(k)];
            std::u16string desc = id >= 0    ? std::u16string(reg.at(id)->description)
                                  : id == -1 ? u"(chosen by each output's extension)"
                                             : u"(no format that can write)";
            std::u16string line = u16("Output format " + std::to_string(k) + ": ") + desc + u" (" + slot.szSubFormat +
                                  u" - " + u16(std::to_string(slot.iCompParam)) + u" - " +
                                  colourName(slot.iColorFormat) + u")";
            log.writeLine(line);
        }
        log.writeLine();
    }

    // The log's head, and the inputs the list could not take, which failed first.
    void openLog()
    {
        if (!s.bCreateLogFile || ctx.logPath.empty()) return;
        log.open(ctx.logPath, ctx.localTime ? ctx.localTime() : std::tm{});
        logHead();
        if (!ctx.notAdded || ctx.notAdded->empty()) return;
        for (const FileNotAdded& f : *ctx.notAdded)
            log.writeLine("Error: ", pathToU16(f.path) + u": " + utf8ToU16(f.why()));
        log.writeLine();
    }

    void sharedPalettePass()
    {
        if (!s.quantize.useGivenPalette || s.quantize.useFixedPalette) return;
        log.writeLine({}, std::string_view("Computing shared palette..."));
        int32_t bits = 0;
        for (int k = 0; k < outputs(); ++k) {
            int32_t b = colourFormatBits(s.slots[size_t(k)].iColorFormat);
            if (s.slots[size_t(k)].iColorFormat == CF_AUTO || b < 0) b = 0;
            if (bits == 0 || (b > 0 && b < bits)) bits = b;
        }
        if (bits < 1 || bits > 8) {
            s.quantize.useGivenPalette = 0;
            return;
        }
        SharedPaletteBuilder builderObject(1u << bits);
        if (!builderObject.valid()) return;
        SharedPaletteBuilder* builder = &builderObject;
        ctx.ui.setStatus(u"Calculating shared palette...");
        ctx.ui.setProgress(0);
        if (ctx.taskbar) ctx.taskbar->setProgress(0, r.total);
        time();
        int32_t counter = 0;
        for (size_t i = 0; i < ctx.inputs.fileCount(); ++i) {
            const FileEntry* e = ctx.inputs.slot(i);
            if (!e || !e->used()) continue;
            ctx.ui.setInputText(pathToU16(e->path));
            Ref<Image> img;
            if (succeeded(batchLoadInput(img, e->path, e, nullptr, nullptr, nullptr, s, nullptr, ctx.registry)))
                sharedPaletteAddImage(builder, img.get());
            ++counter;
            ctx.ui.setProgress(counter);
            if (ctx.taskbar) ctx.taskbar->setProgress(counter, r.total);
            ctx.ui.pumpEvents();
        }
        if (!s.quantize.palette) s.quantize.palette = static_cast<uint32_t*>(alignedAllocZero(1024));
        if (s.quantize.palette) {
            uint32_t count = 0;
            sharedPaletteBuild(builder, s.quantize.palette, &count);
            s.quantize.givenCount = count;
            s.quantize.colourCount = count;
        }
    }

    // The folder and file name of output k of an input.
    ResultCode outputPath(const FileEntry& e, int k, fs::path& out)
    {
        fs::path folder;
        if (s.bSaveInSrcDirs) {
            folder = e.path.parent_path();
        } else {
            folder = s.szOutDir;
            if (s.bKeepSubDirs) {
                fs::path kept = keptSubFolders(e.path.parent_path(), s.iKeepSubDirLevels);
                if (!kept.empty()) {
                    folder /= kept;
                    directoryCreatePath(folder);
                }
            }
        }
        const bool multiSub = outputs() >= 2 && s.bMultiOutInSubDirs;
        const OutputFormatSlot& slot = s.slots[size_t(k)];
        int32_t id = slotFormat(s, k, reg);
        if (id == -2) return RC_UNKNOWN_FORMAT;
        if (s.index.bIndex) {
            // The index links output 0 from the output folder, so only the
            // thumbnails go into the icon sub-folder.
            if (k >= 1 && !s.index.szIconSubdir.empty()) {
                folder /= u16ToPath(sanitizeFolderName(s.index.szIconSubdir));
                directoryCreatePath(folder);
            }
        } else if (multiSub) {
            std::u16string desc = id >= 0 ? reg.at(id)->description : u"";
            int32_t param = slot.iCompParam;
            // Sub-folders name a colour format the table lacks "Auto" (the
            // log says "Unknown").
            const char16_t* colour = colourFormatName(slot.iColorFormat);
            folder /= u16ToPath(slotSubFolderName(desc, slot.szSubFormat, param, colour ? colour : u"Auto"));
            directoryCreatePath(folder);
        }
        std::u16string ext;
        if (id >= 0) {
            ext = reg.at(id)->extension;
        } else {
            // Chosen by extension: the output keeps the source's own.
            std::u16string src = pathToU16(e.path.filename());
            size_t dot = src.rfind(u'.');
            ext = dot == std::u16string::npos ? u"" : src.substr(dot + 1);
        }
        std::u16string name = outputFileName(pathToU16(e.path.filename()), e.overrideName, ext);
        if (s.bUseAsciiFileNames || (s.index.bIndex && s.index.bUseAsciiFileNames)) name = asciiFileName(name);
        out = folder / u16ToPath(name);
        return RC_OK;
    }

    // `folder` as seen from the index's folder, with '/' between its parts;
    // `fallback` when it lies elsewhere.
    std::u16string relativeFolder(const fs::path& folder, const std::u16string& fallback) const
    {
        fs::path rel = folder.lexically_normal().lexically_relative(s.szOutDir.lexically_normal());
        if (rel.empty() || *rel.begin() == "..") return fallback;
        if (rel == ".") return u"";
        return pathToU16(rel);
    }

    void indexCell(const FileEntry& e, const fs::path& thumbPath, const fs::path& fullPath, const Image* thumb,
                   uint32_t fullW, uint32_t fullH, uint32_t bits0)
    {
        if (!index) return;
        IndexCell c;
        c.linkUrl = int32_t(s.index.eLinkURL);
        c.linkPrefix = latin1ToU16(s.index.szLinkURL);
        c.iconUrl = int32_t(s.index.eIconURL);
        c.iconPrefix = latin1ToU16(s.index.szIconURL);
        // Addresses are relative to the index's folder: the folders as they
        // were created, kept sub-folders included.
        c.iconSubdir = relativeFolder(thumbPath.parent_path(), sanitizeFolderName(s.index.szIconSubdir));
        c.linkFolder = relativeFolder(fullPath.parent_path(), u"");
        c.useValidUris = s.index.bUseValidURIs;
        c.linkToNew = s.index.bLinkToNew;
        c.imageBorder = s.index.bImageBorder;
        c.fileName = s.index.bFileName;
        c.fileExt = s.index.bFileExt;
        c.imageRes = s.index.bImageRes;
        c.columns = std::max<int32_t>(1, s.index.iCols);
        c.thumbnailName = pathToU16(thumbPath.filename());
        std::u16string full = pathToU16(fullPath.filename());
        size_t dot = full.rfind(u'.');
        c.fullExtension = dot == std::u16string::npos ? u"" : full.substr(dot + 1);
        c.sourceName = pathToU16(e.path.filename());
        c.thumbWidth = thumb ? thumb->width : 0;
        c.thumbHeight = thumb ? thumb->height : 0;
        if (c.imageRes) {
            Ref<ImageReader> reader;
            if (succeeded(imageFileOpen(reader, e.path, true, ctx.registry))) {
                c.resolutionKnown = true;
                c.width = fullW;
                c.height = fullH;
                c.bits = bits0;
            }
        }
        indexText += indexCellLines(c, indexColumn);
    }

    void run()
    {
        int32_t inputs = 0;
        for (size_t i = 0; i < ctx.inputs.fileCount(); ++i)
            if (const FileEntry* e = ctx.inputs.slot(i); e && e->used()) ++inputs;
        if (inputs == 0) {
            r.emptyList = true;
            // A silent run ends here: the arguments that added nothing are
            // all it has to log. The wizard sends its user back to the list
            // instead, and its next run logs them.
            if (s.silentMode && ctx.notAdded && !ctx.notAdded->empty()) {
                openLog();
                log.finish();
            }
            if (s.silentMode) ctx.ui.closeWizard();
            else ctx.ui.emptyList();
            return;
        }
        for (size_t i = 0; i < ctx.inputs.fileCount(); ++i)
            if (const FileEntry* e = ctx.inputs.slot(i); e && e->used() && ctx.claims) ctx.claims->addInput(e->path);
        ctx.running = true;
        if (s.silentMode) s.bNoErrorPrompts = 1;
        const uint8_t noOverwritePromptAtStart = s.bNoOverwritePrompt;
        r.total = inputs * outputs();
        if (ctx.cache) {
            // Files may have changed since they were cached; each run decodes anew.
            imageCacheClear(ctx.cache);
            depthBefore = ctx.cache->readAheadDepth.load();
            growToBefore = ctx.cache->readAheadGrowTo.load();
            // By default two inputs decode ahead, and more, up to one a
            // core, while the batch finds itself waiting for them with cores
            // to spare: inputs whose decoding keeps to a thread need many
            // to fill the cores, large JPEGs (spread over several) few. The
            // cache holds back those memory cannot take.
            const uint32_t depth = ctx.readAhead ? ctx.readAhead : 2;
            ctx.cache->readAheadDepth = std::clamp<uint32_t>(depth, 1, ImageCache::kMaxReadAhead);
            ctx.cache->readAheadGrowTo = ctx.readAhead ? 0 : taskPoolWorkers();
            if (ctx.registry) ctx.cache->setRegistry(ctx.registry);
            setAlphaMaskFetch(fetchMaskThroughCache);
        }
        ctx.ui.setBusy(true);
        ctx.ui.setProgressRange(r.total);
        if (ctx.taskbar) {
            ctx.taskbar->setState(TBPF_INDETERMINATE);
            ctx.taskbar->setState(TBPF_NORMAL);
        }
        openLog();
        startMs = now();
        // The page still shows the last run's time until now.
        ctx.ui.setTime(batchFormatElapsed(0.0f));
        // Outputs beside their sources need no output folder; without one the
        // page has no place of its own, and the current folder is not it.
        if (s.index.bIndex && !s.szOutDir.empty()) {
            index = true;
            indexText = indexHead(latin1ToU16(s.index.szBODY), s.index.iSpacing);
        }
        ctx.ui.pumpEvents();
        sharedPalettePass();

        ctx.ui.setStatus(u"Converting...");
        ctx.ui.setProgress(0);
        if (ctx.taskbar) ctx.taskbar->setProgress(0, r.total);

        // Slots in the order files were added, skipping removed ones.
        std::vector<size_t> order;
        for (size_t i = 0; i < ctx.inputs.fileCount(); ++i)
            if (const FileEntry* e = ctx.inputs.slot(i); e && e->used()) order.push_back(i);

        bool stop = false;
        for (size_t n = 0; n < order.size() && !stop && r.done < r.total; ++n) {
            const FileEntry& e = *ctx.inputs.slot(order[n]);
            const bool last = n + 1 == order.size();
            const fs::path* next = pathAt(order, n + 1);
            log.writeLine("Reading:  ", pathToU16(e.path));
            // The page names the input from here on, so that a prompt about
            // it does not come with the previous file and its output on show.
            ctx.ui.setInputText(pathToU16(e.path));
            ctx.ui.setOutputText(u"");
            Ref<Image> image;
            uint32_t fullW = 0, fullH = 0, framesRead = 0;
            ResultCode rc;
            std::vector<std::string> notes;
            if (ahead.input == n) {
                rc = ahead.rc;
                image = std::move(ahead.image);
                fullW = ahead.width;
                fullH = ahead.height;
                framesRead = ahead.frames;
                notes = std::move(ahead.notes);
                ahead = Ahead{};
            } else {
                rc = batchLoadInput(image, e.path, &e, &fullW, &fullH, next, s, ctx.cache, ctx.registry,
                                    laterPaths(order, n), &notes, &framesRead);
            }
            // What the reader put right in a damaged file it still read.
            for (const std::string& note : notes) log.writeLine("Warning: ", std::string_view(note));
            if (succeeded(rc) && !ctx.running) {
                stop = true;
                break;
            }
            if (failed(rc)) {
                if (rc == RC_CANCELLED) {
                    log.writeLine({}, std::string_view("Cancelled!"));
                    if (!last && ctx.ui.askCancelAllRemaining()) {
                        if (r.converted == 0) ctx.ui.setStatus(u"No files converted");
                        ctx.running = false;
                        stop = true;
                        break;
                    }
                } else {
                    log.writeLine("Error: ", std::u16string_view(errorText(rc)));
                    r.skipped += outputs();
                    r.failed += outputs();
                    r.failures.push_back(e.path.string() + ": " + u16ToUtf8(errorText(rc)));
                    if (!s.bNoErrorPrompts) {
                        int32_t answer = ctx.ui.askContinue(errorText(rc), pathToU16(e.path.filename()));
                        ctx.running = answer == ERROR_CONTINUE;
                    }
                    if (!ctx.running) {
                        r.done += outputs();
                        progress();
                        stop = true;
                        break;
                    }
                }
                r.done += outputs();
                progress();
                status();
                time();
                ctx.ui.pumpEvents();
                continue;
            }

            // Outputs of this input.
            bool oneIsSource = false;
            int written = 0;
            // The most pages or frames one written output holds.
            uint32_t heldMost = 0;
            fs::path fullPath;
            uint32_t bits0 = 0;
            // Output 0 is there, written now or kept from before: the index
            // may link to it.
            bool fullThere = false;
            for (int k = 0; k < outputs(); ++k) {
                fs::path out;
                rc = outputPath(e, k, out);
                if (succeeded(rc) && s.index.bIndex && k >= 1) {
                    uint32_t tw, th;
                    if (indexThumbnailSize(image->width, image->height, s.index.iResizeX, s.index.iResizeY,
                                           s.index.bResizeOnlyDown, &tw, &th)) {
                        Image* slot = image.release();
                        imageResizeFrames(&slot, tw, th, uint8_t(s.eResizeMethod), true);
                        image = Ref<Image>::adopt(slot);
                    }
                }
                ctx.ui.setInputText(pathToU16(e.path));
                ctx.ui.setOutputText(pathToU16(out));
                ctx.ui.pumpEvents();
                uint32_t bits = 0;
                std::u16string refusal;
                std::string tooLarge;
                if (succeeded(rc)) {
                    if (swept.insert(out.parent_path()).second) removeStaleTemporaries(out.parent_path());
                    OutputWrite w;
                    rc = writePrepare(ctx, out, k, &e.path, &refusal, w, image.get(), framesRead);
                    // After the overwrite question: a rename changes the name.
                    log.writeLine("Writing: ", pathToU16(out));
                    if (rc == RC_OK) {
                        w.image = image.get();
                        if (k + 1 == outputs() && mayLoadAhead(order, n)) {
                            // Nothing the user sees happens until the encoding
                            // has ended: the next input's lines, questions and
                            // files all come after this output's.
                            encodeWatched(ctx, w, [&] { loadAhead(order, n + 1); });
                        } else {
                            encodeWatched(ctx, w, {});
                        }
                        if (!s.index.bIndex || k == 0) bits = w.bits;
                        rc = writeCommit(ctx, w, &refusal);
                        if (rc == RC_OK) {
                            tooLarge = targetSizeMissed(w);
                            heldMost = std::max(heldMost, framesHeld(w.format, image.get()));
                        }
                    }
                }
                if (k == 0) {
                    fullPath = out;
                    bits0 = bits;
                    fullThere = rc == RC_OK || rc == WRITE_SKIPPED;
                }
                if (rc == RC_OK) {
                    log.writeLine("Result: ", std::string_view(tooLarge.empty() ? "Ok." : tooLarge.c_str()));
                    r.converted += 1;
                    written += 1;
                    if (ctx.claims) ctx.claims->addWritten(out, e.path);
                    if (sameFile(out, e.path)) oneIsSource = true;
                } else if (rc == WRITE_SKIPPED) {
                    log.writeLine("Result: ", std::string_view("Skipped!"));
                    r.skipped += 1;
                } else if (rc == RC_CANCELLED) {
                    log.writeLine("Result: ", std::string_view("Cancelled!"));
                    // A cancelled run has been asked already.
                    if (!last && ctx.running && ctx.ui.askCancelAllRemaining()) {
                        if (r.converted == 0) ctx.ui.setStatus(u"No files converted");
                        ctx.running = false;
                    }
                } else {
                    const std::u16string why = refusal.empty() ? std::u16string(errorText(rc)) : refusal;
                    log.writeLine("Result: Error: ", std::u16string_view(why));
                    r.skipped += 1;
                    r.failed += 1;
                    // Named by its input, which is what a long list is searched
                    // for, and by the output when it got that far.
                    std::string line = e.path.string() + ": ";
                    if (!refusal.empty()) line += u16ToUtf8(refusal);
                    else if (!out.empty()) line += "Not written: " + out.string() + ": " + u16ToUtf8(errorText(rc));
                    else line += u16ToUtf8(errorText(rc));
                    r.failures.push_back(std::move(line));
                    if (!s.bNoErrorPrompts) {
                        int32_t answer = ctx.ui.askContinue(why, pathToU16(e.path.filename()));
                        ctx.running = answer == ERROR_CONTINUE;
                    }
                }
                log.writeLine();
                // Only pictures that are there get a cell, and each only once:
                // inputs that clash on one name, or were refused, add none.
                if (s.index.bIndex && k >= 1 && fullThere && (rc == RC_OK || rc == WRITE_SKIPPED) &&
                    indexed.insert(out).second)
                    indexCell(e, out, fullPath, image.get(), fullW, fullH, bits0);
                r.done += 1;
                progress();
                status();
                time();
                ctx.ui.pumpEvents();
                if (!ctx.running) break;
            }
            image.reset();
            // The source goes only when every output of it was written, none
            // of them is the source itself and one holds all its pages (a
            // document or an animation written as one picture keeps only
            // the first); a cancel after its last output does not keep it,
            // one before does.
            if (s.bDeleteSrcFiles && written == outputs() && !oneIsSource) {
                std::string why;
                if (heldMost < framesRead) {
                    why = "its outputs hold " + pagesText(heldMost, framesRead);
                } else {
                    if (ctx.claims) ctx.claims->inputDeleted(e.path);
                    why = deleteSource(e.path);
                    // Still there, so still an input no output may replace.
                    if (!why.empty() && ctx.claims) ctx.claims->addInput(e.path);
                }
                if (!why.empty()) {
                    // Its outputs were written: they stay counted as such, and
                    // the source left behind is a failure of its own.
                    log.writeLine("Error: ", pathToU16(e.path) + u": Not deleted: " + utf8ToU16(why));
                    log.writeLine();
                    r.notDeleted += 1;
                    r.failures.push_back(e.path.string() + ": Not deleted: " + why);
                }
            }
            if (!ctx.running) {
                stop = true;
                break;
            }
        }
        // A run that stopped early has no use for the input loaded ahead,
        // nor for the inputs the cache is reading ahead: they are stopped,
        // and what they decoded is let go rather than held until the next
        // run clears the cache.
        // Even a whole run can leave a read-ahead behind: an input that
        // failed to open was never waited for, though the cache was asked to
        // read it.
        ahead = Ahead{};
        if (ctx.cache && !ctx.running) imageCacheDestroy(ctx.cache);
        else if (ctx.cache) imageCacheStopReadAhead(ctx.cache);
        if (!ctx.running) {
            r.interrupted = true;
            r.skipped += r.total - r.done;
            ctx.ui.setStatus(u16("Interrupted after " + std::to_string(r.done) + " file" + (r.done == 1 ? "" : "s") +
                                 "!"));
        }

        // The end, whatever stopped the run. A run that stopped early shows
        // how far it came: a full bar would say every output was done.
        const int32_t reached = r.interrupted ? r.done : r.total;
        ctx.ui.setProgress(reached);
        if (ctx.taskbar) {
            ctx.taskbar->setProgress(reached, r.total);
            ctx.taskbar->setState(r.skipped > 0 ? TBPF_ERROR : TBPF_NOPROGRESS);
        }
        if (index) {
            indexText += indexTail();
            const fs::path page = s.szOutDir / "index.html";
            // The page is an output like the others: it replaces no input
            // (a picture may be named anything) and no image of this run.
            bool written = false;
            fs::path other = ctx.claims ? ctx.claims->conflict(page, nullptr, &written) : fs::path();
            std::u16string why;
            if (!other.empty()) why = refusalText(page, other, written);
            else if (!writeIndexPage(page, indexText))
                why = pathToU16(page) + u": " + errorText(RC_WRITE_FAILED);
            if (!why.empty()) {
                r.indexFailed = true;
                log.writeLine("Error: ", why);
                ctx.ui.setStatus(why);
            }
            index = false;
            indexText.clear();
        }
        log.finish(r.interrupted);
        if (ctx.cache) {
            ctx.cache->readAheadDepth = depthBefore;
            ctx.cache->readAheadGrowTo = growToBefore;
        }
        const std::u16string doneText = ctx.running ? u"  Done!" : u"  Interrupted";
        ctx.ui.setInputText(doneText);
        ctx.ui.setOutputText(doneText);
        ctx.ui.setTitle(ctx.running ? u"Batch Completed! - Quillon" : u"Batch interrupted! - Quillon");
        time();
        ctx.ui.batchEnded(!ctx.running);
        ctx.ui.setBusy(false);
        s.bNoOverwritePrompt = noOverwritePromptAtStart;
        if (s.silentMode || (s.exitWhenDone && ctx.running)) ctx.ui.closeWizard();
        ctx.running = false;
    }
};

} // namespace

BatchResult batchRun(BatchContext& context)
{
    OutputClaims own;
    OutputClaims* given = context.claims;
    if (!given) context.claims = &own;
    Run run(context);
    run.run();
    context.claims = given;
    // Images of the next batch may be of any size; a block kept for reuse
    // would only hold memory until then.
    releaseSpareMemory();
    return run.r;
}

} // namespace quillon
