#include "core/image_cache.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>

#include "core/convert.h"
#include "core/resize.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

namespace {

// Forwards progress to whoever currently waits for the decode: the caller
// that queued it, or one that found the same file pending later.
class ForwardingProgress final : public Progress {
public:
    void report(uint32_t done, uint32_t total) override
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (target_) target_->report(done, total);
    }
    void setTarget(Progress* target)
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (target) target->addRef();
        objectRelease(target_);
        target_ = target;
    }
    ~ForwardingProgress() override { objectRelease(target_); }

private:
    std::mutex mutex_;
    Progress* target_ = nullptr;
};

std::u16string sizeText(uint64_t size)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(size));
    return asciiToU16(buf);
}

bool isForDisplay(PixelFormat f) { return f == PF_RGBA8 || f == PF_GRAY8 || f == PF_INDEXED8; }

const char16_t* field(const Image* image, int f)
{
    const ImageInfo* info = image->info();
    const char16_t* t = info ? info->get(f) : nullptr;
    return t ? t : u"";
}

bool endsWithRaw(const std::filesystem::path& path)
{
    std::u16string p = pathToU16(path);
    return p.size() > 4 && equalsNoCase(std::u16string_view(p).substr(p.size() - 4), u".raw");
}

// Under the cache lock.
int32_t indexOfLocked(ImageCache* cache, const std::u16string& path, const std::u16string& timeText,
                      const std::u16string& sizeTextIn, const FileStamp* stamp)
{
    for (uint32_t i = 0; i < cache->entryCount; ++i) {
        const ImageCache::Entry& e = cache->entries[i];
        if (path != field(e.image, INFO_PATH)) continue;
        if (!equalsNoCase(timeText, field(e.image, INFO_FILE_TIME))) continue;
        if (!equalsNoCase(sizeTextIn, field(e.image, INFO_FILE_SIZE))) continue;
        if (stamp && e.hasStamp && !(*stamp == e.stamp)) continue;
        return int32_t(i);
    }
    return -1;
}

// The key texts of a path, taken from the file where not given.
bool completeKey(const std::filesystem::path& path, std::u16string& timeText, std::u16string& sizeTextOut,
                 FileStamp* stamp, bool* hasStamp)
{
    uint64_t ticks = 0;
    FileStamp s;
    bool ok = fileStampOf(path, &s, &ticks);
    *hasStamp = ok;
    if (ok) *stamp = s;
    if (timeText.empty() || sizeTextOut.empty()) {
        if (!ok) return false;
        if (timeText.empty()) timeText = formatFileTime(ticks);
        if (sizeTextOut.empty()) sizeTextOut = sizeText(s.size);
    }
    return true;
}

void moveToFront(ImageCache* cache, uint32_t index)
{
    ImageCache::Entry e = cache->entries[index];
    for (uint32_t k = index; k > 0; --k) cache->entries[k] = cache->entries[k - 1];
    cache->entries[0] = e;
}

uint32_t depthOf(const ImageCache* cache)
{
    return std::clamp<uint32_t>(cache->readAheadDepth.load(), 1, ImageCache::kMaxReadAhead);
}

// The process's processor time (every thread's) and the time of day.
struct WaitClock {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    double cpu = processorSeconds();

    static double processorSeconds()
    {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
    }
    double secondsTo(const WaitClock& later) const
    {
        return std::chrono::duration<double>(later.wall - wall).count();
    }
};

// After a caller has waited for its file's read-ahead: a wait while the
// process leaves cores to spare, over the wait and the work since the wait
// before it (within a second), means the read-aheads under way were too few
// to keep the cores busy. Time the kernel spends for the process (clearing
// fresh memory for decodes) counts as busy: more decodes at once would only
// add to it.
void growAfterWaiting(ImageCache* cache, const WaitClock& start)
{
    const WaitClock now;
    WaitClock since;
    cache->lock.lock();
    since.wall = cache->lastWaitWall;
    since.cpu = cache->lastWaitCpu;
    cache->lastWaitWall = now.wall;
    cache->lastWaitCpu = now.cpu;
    cache->lock.unlock();
    const uint32_t growTo = std::min(cache->readAheadGrowTo.load(), ImageCache::kMaxReadAhead);
    uint32_t depth = cache->readAheadDepth.load();
    if (depth >= growTo) return;
    // Too short to tell; the caller hardly waited.
    if (start.secondsTo(now) < 0.002) return;
    if (since.secondsTo(now) > 1.0 || since.secondsTo(start) < 0) since = start;
    const double cores = (now.cpu - since.cpu) / since.secondsTo(now);
    if (cores + 2 <= double(taskPoolWorkers())) cache->readAheadDepth.compare_exchange_strong(depth, depth + 1);
}

uint32_t capacityOf(const ImageCache* cache) { return ImageCache::kCapacity + depthOf(cache) - 1; }

void insertLocked(ImageCache* cache, Image* image, bool append, const FileStamp* stamp)
{
    std::u16string path = field(image, INFO_PATH);
    if (indexOfLocked(cache, path, field(image, INFO_FILE_TIME), field(image, INFO_FILE_SIZE), stamp) >= 0) return;
    image->addRef();
    // The depth may have dropped since the cache filled.
    while (cache->entryCount >= capacityOf(cache)) {
        objectRelease(cache->entries[cache->entryCount - 1].image);
        cache->entries[cache->entryCount - 1] = ImageCache::Entry{};
        --cache->entryCount;
    }
    ImageCache::Entry e;
    e.image = image;
    if (stamp) e.stamp = *stamp, e.hasStamp = true;
    if (append) {
        cache->entries[cache->entryCount] = e;
    } else {
        for (uint32_t k = cache->entryCount; k > 0; --k) cache->entries[k] = cache->entries[k - 1];
        cache->entries[0] = e;
    }
    ++cache->entryCount;
}

} // namespace

struct PreloadRequest {
    ImageCache* cache = nullptr;
    std::filesystem::path path;
    uint8_t mode = 0;
    uint8_t allFrames = 0;
    uint8_t checkMemory = 0;
    AbortFlag* stop = nullptr;
    CacheNotify* notify = nullptr;
    ForwardingProgress* progress = nullptr;
    uint32_t lane = 0;  // the task group it runs on
    uint64_t claimedBytes = 0;  // see claimMemory
    PreloadRequest* prev = nullptr;
    PreloadRequest* next = nullptr;
};

namespace {

// Ends a request whether it ran or was dropped before it started: unlinked
// from the pending list, its waiter signalled, its memory freed.
void requestFinish(PreloadRequest* req)
{
    ImageCache* cache = req->cache;
    cache->lock.lock();
    if (req->prev) req->prev->next = req->next;
    if (req->next) req->next->prev = req->prev;
    if (cache->pending == req) cache->pending = req->next;
    cache->lock.unlock();
    if (req->notify) {
        req->notify->event.set();
        objectRelease(req->notify);
    }
    objectRelease(req->progress);
    delete req;
}

// Before a read-ahead decodes: whether the memory it may take, with what the
// running ones may take, stays within the cache's limit. Twice the
// image's bytes stand for a decode's working memory beside its image (a
// progressive JPEG's coefficients). The first to run always may; one that
// may not ends without decoding, and the file is read by whoever needs it,
// or ahead again once memory is free.
bool claimMemory(ImageCache* cache, PreloadRequest* req, const Image* image)
{
    uint64_t need;
    if (!checkedMul(uint64_t(image->rowBytes()) * 2, image->height, &need)) need = UINT64_MAX;
    uint64_t limit = cache->readAheadMemory.load();
    if (!limit) limit = availableMemory() / 2;
    cache->lock.lock();
    uint64_t total;
    const bool fits = cache->readAheadBytes == 0 ||
                      (checkedAdd(cache->readAheadBytes, need, &total) && total <= limit);
    if (fits) {
        req->claimedBytes = need;
        cache->readAheadBytes += need;
    }
    cache->lock.unlock();
    return fits;
}

void releaseMemory(ImageCache* cache, PreloadRequest* req)
{
    cache->lock.lock();
    cache->readAheadBytes -= req->claimedBytes;
    req->claimedBytes = 0;
    cache->lock.unlock();
}

void requestRun(PreloadRequest* req)
{
    ImageCache* cache = req->cache;
    bool skip;
    {
        std::u16string t, s;
        FileStamp stamp;
        bool hasStamp = false;
        bool known = completeKey(req->path, t, s, &stamp, &hasStamp);
        cache->lock.lock();
        skip = known && indexOfLocked(cache, pathToU16(req->path), t, s, hasStamp ? &stamp : nullptr) >= 0;
        cache->lock.unlock();
    }
    skip = skip || endsWithRaw(req->path) || (req->checkMemory && imageCacheLowMemory(nullptr, req->path));
    if (!skip && !aborted(req->stop)) {
        Ref<ImageReader> reader;
        const FormatRegistry* registry = cache->registry_;
        if (succeeded(imageFileOpen(reader, req->path, false, registry)) && !aborted(req->stop)) {
            Image* raw = nullptr;
            if (succeeded(imageCreateForReader(reader.get(), &raw, isForDisplay(reader->pixelFormat)))) {
                Ref<Image> image = Ref<Image>::adopt(raw);
                const bool claimed = claimMemory(cache, req, image.get());
                if (claimed && !aborted(req->stop) &&
                    succeeded(reader->decode(image.get(), req->allFrames != 0, req->progress, req->stop))) {
                    req->progress->report(100, 100);
                    FileStamp stamp;
                    bool has = reader->input->stamp(&stamp);
                    cache->lock.lock();
                    insertLocked(cache, image.get(), true, has ? &stamp : nullptr);
                    cache->lock.unlock();
                }
                if (claimed) releaseMemory(cache, req);
            }
        }
    }
    requestFinish(req);
}

// Stops the running read-aheads and drops the queued ones.
void cancelReadAhead(ImageCache* cache)
{
    cache->stopByte.store(1);
    for (TaskGroup& lane : cache->tasks) lane.cancel();
    for (TaskGroup& lane : cache->tasks) lane.wait();
    cache->stopByte.store(0);
}

// The task group for a new request: one no pending request uses, else the
// oldest pending request's, which is waited for. At depth 1 that is always
// the one group, waited for: one read-ahead at a time.
uint32_t laneForRequest(ImageCache* cache)
{
    const uint32_t depth = depthOf(cache);
    bool used[ImageCache::kMaxReadAhead] = {};
    uint32_t oldest = 0;
    cache->lock.lock();
    for (PreloadRequest* r = cache->pending; r; r = r->next) {
        if (r->lane < ImageCache::kMaxReadAhead) used[r->lane] = true;
        oldest = r->lane;
    }
    cache->lock.unlock();
    uint32_t lane = oldest;
    for (uint32_t i = 0; i < depth; ++i)
        if (!used[i]) {
            lane = i;
            break;
        }
    if (lane >= depth) lane = 0;
    cache->tasks[lane].wait();
    return lane;
}

bool isPending(ImageCache* cache, const std::filesystem::path& path)
{
    cache->lock.lock();
    bool found = false;
    for (PreloadRequest* r = cache->pending; r && !found; r = r->next) found = r->path == path;
    cache->lock.unlock();
    return found;
}

bool anyPending(ImageCache* cache)
{
    cache->lock.lock();
    bool any = cache->pending != nullptr;
    cache->lock.unlock();
    return any;
}

} // namespace

ImageCache::ImageCache() = default;

ImageCache::~ImageCache() { imageCacheDestroy(this); }

uint32_t ImageCache::count()
{
    lock.lock();
    uint32_t n = entryCount;
    lock.unlock();
    return n;
}

ImageCache& imageCache()
{
    static ImageCache cache;
    return cache;
}

int32_t imageCacheIndexOf(ImageCache* cache, const std::filesystem::path& path, const std::u16string& timeText,
                          const std::u16string& sizeTextIn)
{
    if (path.empty()) return -1;
    std::u16string t = timeText, s = sizeTextIn;
    FileStamp stamp;
    bool hasStamp = false;
    if (!completeKey(path, t, s, &stamp, &hasStamp)) return -1;
    cache->lock.lock();
    int32_t i = cache->entryCount ? indexOfLocked(cache, pathToU16(path), t, s, hasStamp ? &stamp : nullptr) : -1;
    cache->lock.unlock();
    return i;
}

Image* imageCacheFind(ImageCache* cache, const std::filesystem::path& path, const std::u16string& timeText,
                      const std::u16string& sizeTextIn)
{
    if (path.empty()) return nullptr;
    std::u16string t = timeText, s = sizeTextIn;
    FileStamp stamp;
    bool hasStamp = false;
    if (!completeKey(path, t, s, &stamp, &hasStamp)) return nullptr;
    cache->lock.lock();
    Image* found = nullptr;
    int32_t i = indexOfLocked(cache, pathToU16(path), t, s, hasStamp ? &stamp : nullptr);
    if (i >= 0) {
        found = cache->entries[i].image;
        found->addRef();
        moveToFront(cache, uint32_t(i));
    }
    cache->lock.unlock();
    return found;
}

void imageCacheInsert(ImageCache* cache, Image* image, bool append)
{
    if (!image) return;
    while (image->frameInfo.prev) image = image->frameInfo.prev;
    const char16_t* p = field(image, INFO_PATH);
    if (!*p) return;
    FileStamp stamp;
    bool has = fileStampOf(u16ToPath(p), &stamp);
    cache->lock.lock();
    insertLocked(cache, image, append, has ? &stamp : nullptr);
    cache->lock.unlock();
}

bool imageCacheLowMemory(const Image* image, const std::filesystem::path& path)
{
    uint64_t need;
    if (image) {
        uint64_t pixels = uint64_t(image->width) * image->height;
        uint64_t per = image->pixelFormat == PF_INDEXED8 ? 16 : 64;
        if (!checkedMul(pixels, per, &need)) need = UINT64_MAX;
    } else if (!path.empty()) {
        FileStamp s;
        if (!fileStampOf(path, &s)) return false;
        if (!checkedMul(s.size, 64, &need)) need = UINT64_MAX;
    } else {
        need = uint64_t(512) << 20;
    }
    MemoryStatus st;
    if (!globalMemoryStatus(st)) return false;
    return st.availPageFile < need;
}

bool imageCacheRequest(ImageCache* cache, const std::filesystem::path& path, uint32_t, bool checkMemory,
                       CacheNotify* notify, Progress* progress)
{
    // A file being read ahead already is not read twice; nor is one cached.
    if (path.empty() || isPending(cache, path)) return false;
    const uint32_t lane = laneForRequest(cache);
    if (imageCacheIndexOf(cache, path, u"", u"") >= 0 || isPending(cache, path)) return false;
    auto* req = new (std::nothrow) PreloadRequest;
    auto* forward = new (std::nothrow) ForwardingProgress;
    if (!req || !forward) {
        delete req;
        objectRelease(forward);
        return false;
    }
    req->cache = cache;
    req->path = path;
    req->allFrames = cache->readAheadAllFrames.load();
    req->checkMemory = checkMemory;
    req->stop = &cache->stopByte;
    if (notify) notify->addRef();
    req->notify = notify;
    forward->setTarget(progress);
    req->progress = forward;
    req->lane = lane;
    cache->lock.lock();
    req->next = cache->pending;
    if (cache->pending) cache->pending->prev = req;
    cache->pending = req;
    cache->lock.unlock();
    // A request dropped by a cancel before it started still ends properly.
    cache->tasks[lane].run([req] { requestRun(req); }, [req] { requestFinish(req); });
    return true;
}

ResultCode imageCacheGetOrDecode(ImageCache* cache, Image** out, ImageReader* reader, Progress* progress,
                                 AbortFlag* abort)
{
    if (!out || !reader) return RC_INVALID_PARAMETER;
    Ref<Progress> hold = Ref<Progress>::share(progress);
    const std::filesystem::path& name = reader->fileName();
    cache->lock.lock();
    PreloadRequest* same = nullptr;
    for (PreloadRequest* r = cache->pending; r; r = r->next)
        if (r->path == name) same = r;
    bool others = cache->pending && !same;
    uint32_t lane = 0;
    // The request cannot end (and be freed) while the lock is held.
    if (same) {
        same->progress->setTarget(progress);
        lane = same->lane;
    }
    cache->lock.unlock();

    const char16_t* t = reader->info.get(INFO_FILE_TIME);
    const char16_t* s = reader->info.get(INFO_FILE_SIZE);
    if (same) {
        // Only this file's read-ahead is waited for; others go on.
        const WaitClock clock;
        cache->tasks[lane].wait();
        growAfterWaiting(cache, clock);
    } else if (others && depthOf(cache) == 1) {
        // The read-ahead only competes with the decode this caller needs
        // now. Reading several ahead, the others are the files wanted next.
        cancelReadAhead(cache);
    }
    if (aborted(abort)) return RC_CANCELLED;

    Image* cached = imageCacheFind(cache, name, t ? t : u"", s ? s : u"");
    if (cached) {
        if (!*out) {
            *out = cached;
            return RC_OK;
        }
        // A given image of another size is fitted as a decode would fit
        // it; a conversion that fails is reported, never passed off as a
        // filled image.
        ResultCode rc = (*out)->width == cached->width && (*out)->height == cached->height
                            ? imageConvertPixels(*out, cached, true)
                            : imageResample(*out, cached, 0, abort);
        if (succeeded(rc)) imageCopyInfo(*out, cached);
        objectRelease(cached);
        return failed(rc) ? rc : RC_OK;
    }
    if (!*out) {
        ResultCode rc = imageCreateForReader(reader, out, isForDisplay(reader->pixelFormat));
        if (failed(rc)) return rc;
        if (aborted(abort)) return RC_CANCELLED;
    }
    return reader->decode(*out, cache->allFrames.load() != 0, progress, abort);
}

void imageCacheClear(ImageCache* cache)
{
    cache->lock.lock();
    while (cache->entryCount) {
        --cache->entryCount;
        objectRelease(cache->entries[cache->entryCount].image);
        cache->entries[cache->entryCount].image = nullptr;
    }
    cache->lock.unlock();
}

void imageCacheForget(ImageCache* cache, const Image* image)
{
    if (!image) return;
    cache->lock.lock();
    for (uint32_t i = 0; i < cache->entryCount; ++i) {
        if (cache->entries[i].image != image) continue;
        objectRelease(cache->entries[i].image);
        for (uint32_t k = i; k + 1 < cache->entryCount; ++k) cache->entries[k] = cache->entries[k + 1];
        --cache->entryCount;
        cache->entries[cache->entryCount] = ImageCache::Entry{};
        break;
    }
    cache->lock.unlock();
}

void imageCacheWaitReadAhead(ImageCache* cache)
{
    for (TaskGroup& lane : cache->tasks) lane.wait();
}

void imageCacheStopReadAhead(ImageCache* cache)
{
    if (anyPending(cache)) cancelReadAhead(cache);
}

void imageCacheDestroy(ImageCache* cache)
{
    imageCacheStopReadAhead(cache);
    imageCacheWaitReadAhead(cache);
    imageCacheClear(cache);
}

bool imageCacheMakePrivate(Ref<Image>& image)
{
    if (!image || image->refCount() <= 1) return true;
    Image* head = image.get();
    Image* copy = imageConvertNew(head, true, head->display() != nullptr, PF_SAME);
    if (!copy) return false;
    for (Image *s = head, *d = copy; s && d; s = s->next(), d = d->next()) {
        d->alphaKind = s->alphaKind;
        imageCopyInfo(d, s);
    }
    image = Ref<Image>::adopt(copy);
    return true;
}

} // namespace quillon
