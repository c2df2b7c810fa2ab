#pragma once
// Up to three decoded images (more while several files are read ahead),
// kept so that a file decoded ahead of time (the batch's next inputs, the
// preview's file) is not decoded twice, and the read-ahead that fills it on
// background tasks: one file at a time, or as many as readAheadDepth says
// and memory allows.
//
// Images are keyed by path (compared exactly), file time text and file size
// text, and by the file's identity (device, inode, size, nanosecond time),
// so a file rewritten within the same second is not mistaken for the old.
//
// Cached images are shared and must not change: whoever wants to modify an
// image it got from the cache calls imageCacheMakePrivate first.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/format.h"
#include "core/image.h"
#include "core/image_reader.h"
#include "core/result.h"
#include "platform/mapped_file.h"
#include "platform/refcount.h"
#include "platform/tasks.h"

namespace quillon {

// Signalled when a read-ahead request has ended, whatever its outcome.
class CacheNotify : public RefCounted {
public:
    Event event;
};

struct PreloadRequest;

class ImageCache {
public:
    static constexpr uint32_t kCapacity = 3;
    // Read-aheads that may run at once: each has a task group of its own.
    static constexpr uint32_t kMaxReadAhead = 16;
    // Reading d files ahead, the cache holds d - 1 images more than
    // kCapacity, so that what is read ahead waits there for its turn
    // instead of pushing out what was read before it.
    static constexpr uint32_t kMaxEntries = kCapacity + kMaxReadAhead - 1;

    ImageCache();
    ~ImageCache();
    ImageCache(const ImageCache&) = delete;
    ImageCache& operator=(const ImageCache&) = delete;

    // allFrames of decodes of cache misses, and of background decodes.
    std::atomic<uint8_t> allFrames{0};
    std::atomic<uint8_t> readAheadAllFrames{0};
    // How many read-aheads may run at once (1 .. kMaxReadAhead). With more
    // than one, a request waits only when that many are pending, a caller
    // that decodes a file itself leaves the others running, and a read-ahead
    // starts only while the memory the running ones may take, with its own,
    // stays within readAheadMemory (one always may, so the file wanted next
    // never waits on the others). Requests already pending keep their task
    // groups.
    std::atomic<uint32_t> readAheadDepth{1};
    // When above readAheadDepth: the depth grows by one, up to this, each
    // time a caller has to wait for a file being read ahead while at least
    // two cores stay idle, that is while the read-aheads under way cannot
    // keep the cores busy (their decodes keep to a thread or two). 0: the
    // depth stays as set.
    std::atomic<uint32_t> readAheadGrowTo{0};
    // Bytes the running read-aheads may take together; 0: half of the
    // memory available when each starts.
    std::atomic<uint64_t> readAheadMemory{0};

    // Formats used by the read-ahead (the process-wide registry when null).
    void setRegistry(const FormatRegistry* registry) { registry_ = registry; }

    uint32_t count();

    // Implementation state, reached by the functions below.
    struct Entry {
        Image* image = nullptr;
        FileStamp stamp;
        bool hasStamp = false;
    };
    ReaderWriterLock lock;
    Entry entries[kMaxEntries];
    uint32_t entryCount = 0;
    // What the running read-aheads may take at most, in bytes; under `lock`.
    uint64_t readAheadBytes = 0;
    // When a caller last ended a wait for a read-ahead, and the process's
    // processor time then (seconds); under `lock`.
    std::chrono::steady_clock::time_point lastWaitWall{};
    double lastWaitCpu = 0;
    // One group per read-ahead that may run at once; the first is the
    // only one used at depth 1.
    TaskGroup tasks[kMaxReadAhead];
    AbortFlag stopByte{0};
    PreloadRequest* pending = nullptr;  // newest first; under `lock`
    const FormatRegistry* registry_ = nullptr;
    bool destroyed = false;
};

// The process-wide cache.
ImageCache& imageCache();

// `*out` receives the decoded image (a cached one when the cache holds the
// file: shared, see above), or, when it already holds an image, that image
// receives the pixels. A read-ahead of the same file is waited for; one of
// another file is cancelled first.
ResultCode imageCacheGetOrDecode(ImageCache* cache, Image** out, ImageReader* reader, Progress* progress,
                                 AbortFlag* abort);

// Queues a background decode of `path`; false when nothing was queued (an
// empty path, a file already cached or already being read ahead, no
// memory). Waits first until fewer than readAheadDepth requests are pending. `notify` (may be null) is
// signalled when the request ends; `progress` (may be null) hears from the
// decode.
bool imageCacheRequest(ImageCache* cache, const std::filesystem::path& path, uint32_t reserved, bool checkMemory,
                       CacheNotify* notify, Progress* progress);

// A cached image with a new reference, moved to the front; null when none.
// Empty texts are taken from the file.
Image* imageCacheFind(ImageCache* cache, const std::filesystem::path& path, const std::u16string& timeText,
                      const std::u16string& sizeText);
// Stores the first frame of the image's chain (it needs its path in the
// information record) unless the same key is cached; the least recently
// used image goes when the cache is full. append puts it last.
void imageCacheInsert(ImageCache* cache, Image* image, bool append);
int32_t imageCacheIndexOf(ImageCache* cache, const std::filesystem::path& path, const std::u16string& timeText,
                          const std::u16string& sizeText);
// True when decoding the image (or, without one, the file at `path`) would
// need more memory than is available.
bool imageCacheLowMemory(const Image* image, const std::filesystem::path& path);
void imageCacheClear(ImageCache* cache);
// Drops the cache's reference to `image` (one handed out by the cache),
// leaving every other entry; nothing when the cache does not hold it.
void imageCacheForget(ImageCache* cache, const Image* image);
// Waits until every read-ahead has ended.
void imageCacheWaitReadAhead(ImageCache* cache);
// Stops the running read-aheads and drops the queued ones; what is cached
// stays.
void imageCacheStopReadAhead(ImageCache* cache);
// Stops the read-ahead and releases every image; the cache stays usable.
void imageCacheDestroy(ImageCache* cache);

// Makes `image` safe to modify: when the cache also holds it, it is replaced
// by a private copy (frames included). False when the copy cannot be made.
bool imageCacheMakePrivate(Ref<Image>& image);

} // namespace quillon
