// The decoded-image cache with a counting codec: eviction, keys, waiting
// for a pending read-ahead, cancelling another, and shutdown with work in
// flight. Worth running under ThreadSanitizer (-fsanitize=thread) as well.
#include "core/image_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/text.h"
#include "platform/tasks.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::atomic<int> g_decodes{0};
std::atomic<int> g_cancelledDecodes{0};
// When set, decodes of "slow" files (level 4) wait for the gate.
std::atomic<Event*> g_gate{nullptr};
std::atomic<Event*> g_decodeStarted{nullptr};
std::atomic<int> g_started{0};

ResultCode fakeProbe(MappedFile* f) { return f->size() >= 6 && std::memcmp(f->data(), "FAKE", 4) == 0 ? RC_OK : RC_UNKNOWN_FORMAT; }

class CountingReader final : public ImageReader {
public:
    using ImageReader::ImageReader;

protected:
    ResultCode readHeader(const void*) override
    {
        width = input->data()[4];
        height = input->data()[5];
        pixelFormat = PF_GRAY8;
        colourModel = CM_L;
        bitsPerPixel = 8;
        return RC_OK;
    }
    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        bool slow = input->data()[6] == 4;
        g_started.fetch_add(1);
        if (Event* started = g_decodeStarted.load()) started->set();
        Event* gate = slow ? g_gate.load() : nullptr;
        while (gate && !gate->wait(1)) {
            if (aborted(abort)) {
                g_cancelledDecodes.fetch_add(1);
                return RC_OK;
            }
        }
        g_decodes.fetch_add(1);
        for (uint32_t y = 0; y < image->height; ++y) std::memset(image->rowBytesPtr(y), input->data()[6], image->width);
        reportProgress(progress, 50, 100);
        return RC_OK;
    }
};
ImageReader* fakeCreate(MappedFile* f, const FormatDescriptor* d) { return new CountingReader(f, d); }

struct CountingProgress final : Progress {
    std::atomic<int> reports{0};
    std::atomic<uint32_t> last{0};
    void report(uint32_t done, uint32_t) override { reports.fetch_add(1), last.store(done); }
};

class Cache : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.add(&fake);
        cache.setRegistry(&registry);
        g_decodes = 0;
        g_cancelledDecodes = 0;
        g_started = 0;
    }
    void TearDown() override
    {
        g_gate = nullptr;
        g_decodeStarted = nullptr;
    }
    fs::path file(const std::string& name, uint8_t level, uint8_t w = 4, uint8_t h = 3)
    {
        fs::path p = dir / name;
        std::string bytes = "FAKE";
        bytes.push_back(char(w));
        bytes.push_back(char(h));
        bytes.push_back(char(level));
        writeFile(p, bytes);
        return p;
    }
    Ref<ImageReader> open(const fs::path& p)
    {
        Ref<ImageReader> r;
        EXPECT_EQ(imageFileOpen(r, p, false, &registry), RC_OK);
        return r;
    }
    // Decodes a file outright and offers it to the cache.
    void put(const fs::path& p)
    {
        Ref<ImageReader> r = open(p);
        Image* img = nullptr;
        ASSERT_EQ(imageCreateForReader(r.get(), &img, false), RC_OK);
        ASSERT_EQ(r->decode(img, false, nullptr, nullptr), RC_OK);
        imageCacheInsert(&cache, img, false);
        objectRelease(img);
    }

    FormatDescriptor fake{u"fake", u"Counting test format", fakeProbe, fakeCreate};
    FormatRegistry registry;
    TempDir dir;
    ImageCache cache;
};

} // namespace

TEST_F(Cache, KeepsThreeMostRecentlyUsed)
{
    fs::path a = file("a.fake", 1), b = file("b.fake", 2), c = file("c.fake", 3), d = file("d.fake", 4);
    put(a), put(b), put(c);
    EXPECT_EQ(cache.count(), 3u);
    // A hit moves "a" to the front, so "b" is the oldest.
    Image* hit = imageCacheFind(&cache, a, u"", u"");
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->row<uint8_t>(0)[0], 1);
    objectRelease(hit);
    put(d);
    EXPECT_EQ(cache.count(), 3u);
    EXPECT_EQ(imageCacheIndexOf(&cache, b, u"", u""), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, d, u"", u""), 0);
    EXPECT_EQ(imageCacheIndexOf(&cache, a, u"", u""), 1);
    // Inserting the same key again changes nothing.
    put(d);
    EXPECT_EQ(cache.count(), 3u);
    imageCacheClear(&cache);
    EXPECT_EQ(cache.count(), 0u);
    EXPECT_EQ(imageCacheIndexOf(&cache, a, u"", u""), -1);
}

TEST_F(Cache, KeysComparePathsExactlyAndNoticeRewrites)
{
    fs::path upper = file("A.fake", 1), lower = file("a.fake", 2);
    put(upper);
    EXPECT_EQ(imageCacheIndexOf(&cache, lower, u"", u""), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, upper, u"", u""), 0);
    // Rewritten with the same size within the same second: another file.
    file("A.fake", 9);
    EXPECT_EQ(imageCacheIndexOf(&cache, upper, u"", u""), -1);
    // Other time or size text: a miss.
    put(upper);
    EXPECT_EQ(imageCacheIndexOf(&cache, upper, u"2001-01-01, 00:00:00", u""), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, upper, u"", u"12345"), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, "", u"", u""), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, dir / "missing.fake", u"", u""), -1);
}

// Names that are not UTF-8 and differ only in such a byte are two keys, and
// a cached file is known again by its own bytes (its identity included).
TEST_F(Cache, NamesThatAreNotUtf8AreKeysByTheirBytes)
{
    fs::path e9 = file("caf\xE9.fake", 1), e8 = file("caf\xE8.fake", 2);
    put(e9);
    EXPECT_EQ(imageCacheIndexOf(&cache, e8, u"", u""), -1);
    EXPECT_EQ(imageCacheIndexOf(&cache, e9, u"", u""), 0);
    // The entry carries the file's identity: a rewrite in the same second
    // with the same size is noticed.
    fs::remove(e9);
    file("caf\xE9.fake", 9);
    EXPECT_EQ(imageCacheIndexOf(&cache, e9, u"", u""), -1);
    put(e8);
    Image* hit = imageCacheFind(&cache, e8, u"", u"");
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->row<uint8_t>(0)[0], 2);
    objectRelease(hit);
}

TEST_F(Cache, GetOrDecodeUsesTheCacheAndCopiesIntoAGivenImage)
{
    fs::path a = file("a.fake", 7);
    put(a);
    int before = g_decodes;
    Ref<ImageReader> r = open(a);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(g_decodes, before);
    Ref<Image> shared = Ref<Image>::adopt(out);
    EXPECT_EQ(shared->row<uint8_t>(2)[3], 7);
    // Whoever changes it works on a copy.
    Image* original = shared.get();
    ASSERT_TRUE(imageCacheMakePrivate(shared));
    EXPECT_NE(shared.get(), original);
    shared->row<uint8_t>(0)[0] = 99;
    Image* again = imageCacheFind(&cache, a, u"", u"");
    EXPECT_EQ(again->row<uint8_t>(0)[0], 7);
    objectRelease(again);
    // A given image of another format receives the pixels.
    Image* rgba = imageCreate(PF_RGBA8, packSize(4, 3));
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &rgba, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(rgba->row<Rgba8>(1)[1].g, 7);
    objectRelease(rgba);
    // A given image of another size is fitted, as a decode would fit it,
    // instead of being handed back untouched as a success.
    Image* smaller = imageCreate(PF_GRAY8, packSize(2, 2));
    std::memset(smaller->rowBytesPtr(0), 0, 2);
    std::memset(smaller->rowBytesPtr(1), 0, 2);
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &smaller, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(g_decodes, before);
    EXPECT_EQ(smaller->row<uint8_t>(0)[0], 7);
    EXPECT_EQ(smaller->row<uint8_t>(1)[1], 7);
    objectRelease(smaller);
    // A miss decodes on the caller's thread and is not cached.
    fs::path b = file("b.fake", 5);
    Ref<ImageReader> rb = open(b);
    Image* miss = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &miss, rb.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(g_decodes, before + 1);
    EXPECT_EQ(imageCacheIndexOf(&cache, b, u"", u""), -1);
    objectRelease(miss);
    AbortFlag abort{1};
    Image* none = nullptr;
    EXPECT_EQ(imageCacheGetOrDecode(&cache, &none, rb.get(), nullptr, &abort), RC_CANCELLED);
}

TEST_F(Cache, ReadAheadFillsTheCacheAndSkipsWhatItShould)
{
    fs::path a = file("a.fake", 3);
    Ref<CacheNotify> notify = Ref<CacheNotify>::adopt(new CacheNotify);
    Ref<CountingProgress> progress = Ref<CountingProgress>::adopt(new CountingProgress);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, notify.get(), progress.get()));
    ASSERT_TRUE(notify->event.wait(10000));
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(imageCacheIndexOf(&cache, a, u"", u""), 0);
    EXPECT_EQ(progress->last.load(), 100u);
    // Cached and empty paths queue nothing.
    EXPECT_FALSE(imageCacheRequest(&cache, a, 0, false, nullptr, nullptr));
    EXPECT_FALSE(imageCacheRequest(&cache, "", 0, false, nullptr, nullptr));
    // ".RAW" in any case is never read ahead.
    fs::path raw = file("x.RAW", 1);
    Ref<CacheNotify> n2 = Ref<CacheNotify>::adopt(new CacheNotify);
    int before = g_decodes;
    EXPECT_TRUE(imageCacheRequest(&cache, raw, 0, false, n2.get(), nullptr));
    ASSERT_TRUE(n2->event.wait(10000));
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, before);
    EXPECT_EQ(imageCacheIndexOf(&cache, raw, u"", u""), -1);
    // A file that does not open ends quietly.
    Ref<CacheNotify> n3 = Ref<CacheNotify>::adopt(new CacheNotify);
    EXPECT_TRUE(imageCacheRequest(&cache, dir / "missing.fake", 0, false, n3.get(), nullptr));
    EXPECT_TRUE(n3->event.wait(10000));
}

TEST_F(Cache, WaitingForAPendingReadOfTheSameFileDecodesOnce)
{
    Event gate, started;
    g_gate = &gate;
    g_decodeStarted = &started;
    fs::path a = file("a.fake", 4);
    Ref<CountingProgress> mine = Ref<CountingProgress>::adopt(new CountingProgress);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, nullptr, nullptr));
    ASSERT_TRUE(started.wait(10000));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.set();
    });
    Ref<ImageReader> r = open(a);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), mine.get(), nullptr), RC_OK);
    opener.join();
    EXPECT_EQ(g_decodes, 1);
    EXPECT_EQ(out->row<uint8_t>(0)[0], 4);
    EXPECT_GT(mine->reports.load(), 0); // the background decode reported to the waiter
    objectRelease(out);
}

TEST_F(Cache, ADifferentFileCancelsTheReadAhead)
{
    Event gate, started;
    g_gate = &gate;
    g_decodeStarted = &started;
    fs::path a = file("a.fake", 4), b = file("b.fake", 6);
    Ref<CacheNotify> notify = Ref<CacheNotify>::adopt(new CacheNotify);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, notify.get(), nullptr));
    ASSERT_TRUE(started.wait(10000));
    Ref<ImageReader> r = open(b);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(g_cancelledDecodes, 1);
    EXPECT_TRUE(notify->event.isSet());
    EXPECT_EQ(imageCacheIndexOf(&cache, a, u"", u""), -1);
    EXPECT_EQ(out->row<uint8_t>(0)[0], 6);
    objectRelease(out);
    EXPECT_EQ(cache.stopByte.load(), 0);
}

TEST_F(Cache, ARequestCancelledBeforeItStartsStillEnds)
{
    // Every worker of the pool busy elsewhere: the request stays queued.
    TaskGroup busy;
    Event release;
    std::atomic<int> running{0};
    for (unsigned i = 0; i < taskPoolWorkers(); ++i)
        busy.run([&] {
            running.fetch_add(1);
            release.wait();
        });
    while (running.load() < int(taskPoolWorkers())) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fs::path a = file("a.fake", 4), b = file("b.fake", 6);
    Ref<CacheNotify> notify = Ref<CacheNotify>::adopt(new CacheNotify);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, notify.get(), nullptr));
    Ref<ImageReader> r = open(b);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
    objectRelease(out);
    // Nobody waits forever for it, and it left no stale entry behind.
    EXPECT_TRUE(notify->event.wait(0));
    EXPECT_EQ(cache.pending, nullptr);
    EXPECT_EQ(g_decodes, 1);
    release.set();
    busy.wait();
}

TEST_F(Cache, ShutdownWithARequestPending)
{
    Event gate, started;
    g_gate = &gate;
    g_decodeStarted = &started;
    fs::path a = file("a.fake", 4);
    Ref<CacheNotify> notify = Ref<CacheNotify>::adopt(new CacheNotify);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, notify.get(), nullptr));
    ASSERT_TRUE(started.wait(10000));
    imageCacheDestroy(&cache);
    EXPECT_TRUE(notify->event.isSet());
    EXPECT_EQ(cache.count(), 0u);
}

TEST_F(Cache, ConcurrentRequestsAndDecodes)
{
    std::vector<fs::path> files;
    for (int i = 0; i < 6; ++i) files.push_back(file("f" + std::to_string(i) + ".fake", uint8_t(i + 1)));
    std::atomic<bool> stop{false};
    std::thread requester([&] {
        int i = 0;
        while (!stop.load()) imageCacheRequest(&cache, files[size_t(i++ % 6)], 0, false, nullptr, nullptr);
    });
    for (int k = 0; k < 200; ++k) {
        const fs::path& p = files[size_t(k % 6)];
        Ref<ImageReader> r = open(p);
        Image* out = nullptr;
        ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
        EXPECT_EQ(out->row<uint8_t>(0)[0], (k % 6) + 1);
        objectRelease(out);
        if (k % 50 == 0) imageCacheClear(&cache);
    }
    stop = true;
    requester.join();
    imageCacheDestroy(&cache);
}

TEST(CacheMemory, EstimatesInSixtyFourBits)
{
    Ref<Image> small = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(4, 4)));
    EXPECT_FALSE(imageCacheLowMemory(small.get(), ""));
    // 70000 x 70000 pixels x 64 bytes: far beyond any machine, and beyond
    // 32 bits.
    struct Huge final : Image {
        Huge() { width = 70000, height = 70000; }
        void* pixels() override { return nullptr; }
        const void* pixels() const override { return nullptr; }
        uint32_t rowPixels() const override { return 0; }
        uint32_t rowsAllocated() const override { return 0; }
    };
    Ref<Image> huge = Ref<Image>::adopt(new Huge);
    EXPECT_TRUE(imageCacheLowMemory(huge.get(), ""));
    EXPECT_FALSE(imageCacheLowMemory(nullptr, "/nonexistent"));
}

namespace {

// Waits (a bounded while) until `counter` reaches `n`.
bool reaches(const std::atomic<int>& counter, int n)
{
    for (int i = 0; i < 10000 && counter.load() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return counter.load() >= n;
}

} // namespace

TEST_F(Cache, TwoReadAheadsRunAtOnceAndAreWaitedForOneByOne)
{
    Event gate;
    g_gate = &gate;
    cache.readAheadDepth = 2;
    fs::path a = file("a.fake", 4, 5), b = file("b.fake", 4, 6);
    // The second request must not wait for the first: were it to, the gate
    // would never open, so the requests run on a thread of their own.
    std::atomic<int> queued{0};
    std::thread requester([&] {
        queued += imageCacheRequest(&cache, a, 0, false, nullptr, nullptr);
        queued += imageCacheRequest(&cache, b, 0, false, nullptr, nullptr);
    });
    const bool both = reaches(g_started, 2);
    EXPECT_TRUE(both) << "the second read-ahead did not start beside the first";
    // A file being read ahead is not queued twice.
    if (both) {
        requester.join();
        EXPECT_EQ(queued.load(), 2);
        EXPECT_FALSE(imageCacheRequest(&cache, b, 0, false, nullptr, nullptr));
    }
    gate.set();
    if (!both) requester.join();
    Ref<ImageReader> r = open(a);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(out->width, 5u);
    objectRelease(out);
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, 2);
    EXPECT_EQ(g_cancelledDecodes, 0);
    EXPECT_GE(imageCacheIndexOf(&cache, b, u"", u""), 0);
}

// A caller taking a file the read-ahead has already cached leaves the
// read-ahead of the next file running when the cache reads two ahead, and
// cancels it when it reads one; forgetting the taken image leaves the rest.
TEST_F(Cache, TakingAFileAlreadyReadAheadKeepsTheNextOneGoingAtDepthTwo)
{
    for (uint32_t depth : {2u, 1u}) {
        SCOPED_TRACE(depth);
        imageCacheDestroy(&cache);
        g_decodes = 0;
        g_cancelledDecodes = 0;
        g_started = 0;
        cache.readAheadDepth = depth;
        Event gate;
        g_gate = &gate;
        fs::path a = file("a.fake", 3), b = file("b.fake", 4), c = file("c.fake", 5);
        put(c);
        Ref<CacheNotify> done = Ref<CacheNotify>::adopt(new CacheNotify);
        ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, done.get(), nullptr));
        ASSERT_TRUE(done->event.wait(10000));
        ASSERT_TRUE(imageCacheRequest(&cache, b, 0, false, nullptr, nullptr));
        ASSERT_TRUE(reaches(g_started, 3));  // c, a, then b's decode under way
        Ref<ImageReader> r = open(a);
        Image* out = nullptr;
        ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
        EXPECT_EQ(out->row<uint8_t>(0)[0], 3);
        EXPECT_EQ(g_cancelledDecodes, depth == 1 ? 1 : 0);
        imageCacheForget(&cache, out);
        EXPECT_EQ(imageCacheIndexOf(&cache, a, u"", u""), -1);
        EXPECT_GE(imageCacheIndexOf(&cache, c, u"", u""), 0);
        objectRelease(out);
        gate.set();
        imageCacheWaitReadAhead(&cache);
        EXPECT_EQ(imageCacheIndexOf(&cache, b, u"", u"") >= 0, depth == 2);
        g_gate = nullptr;
    }
}

// ---------------------------------------------------------------- reading many files ahead

// Six files read ahead one after another at depth six are all kept for
// their turn: the cache holds as many more than three as it reads ahead
// besides the first, so none pushes out another before it is used.
TEST_F(Cache, KeepsEveryFileReadAheadAtItsDepth)
{
    cache.readAheadDepth = 6;
    std::vector<fs::path> files;
    for (int i = 0; i < 6; ++i) files.push_back(file("m" + std::to_string(i) + ".fake", 3, uint8_t(4 + i)));
    for (const fs::path& f : files) EXPECT_TRUE(imageCacheRequest(&cache, f, 0, false, nullptr, nullptr));
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, 6);
    EXPECT_EQ(cache.count(), 6u);
    for (const fs::path& f : files) EXPECT_GE(imageCacheIndexOf(&cache, f, u"", u""), 0) << f;
    // A lower depth gives the room back at the next insert.
    cache.readAheadDepth = 1;
    put(file("n.fake", 3));
    EXPECT_EQ(cache.count(), 3u);
}

// As many files as the depth decode at once, where the pool has the
// workers for them.
TEST_F(Cache, ReadAheadsUpToTheDepthRunAtOnce)
{
    const uint32_t depth = std::min(5u, taskPoolWorkers());
    Event gate;
    g_gate = &gate;
    cache.readAheadDepth = depth;
    std::vector<fs::path> files;
    for (uint32_t i = 0; i < depth; ++i) files.push_back(file("r" + std::to_string(i) + ".fake", 4, uint8_t(4 + i)));
    // Were a request to wait for an earlier one, the gate would never open:
    // the requests run on a thread of their own.
    std::thread requester([&] {
        for (const fs::path& f : files) imageCacheRequest(&cache, f, 0, false, nullptr, nullptr);
    });
    EXPECT_TRUE(reaches(g_started, int(depth))) << "only " << g_started.load() << " of " << depth << " started";
    gate.set();
    requester.join();
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, int(depth));
    EXPECT_EQ(cache.count(), depth);
}

// A read-ahead that the memory limit cannot take beside the running one
// ends without decoding; alone, it decodes whatever its size.
TEST_F(Cache, ReadAheadBeyondTheMemoryLimitWaitsForTheFileToComeAlone)
{
    cache.readAheadDepth = 2;
    // 200 x 200 grey: about 40 KB an image, 80 KB claimed a decode.
    cache.readAheadMemory = 100 * 1024;
    Event gate;
    g_gate = &gate;
    fs::path slow = file("slow.fake", 4, 200, 200), big = file("big.fake", 3, 200, 200);
    Ref<CacheNotify> bigDone = Ref<CacheNotify>::adopt(new CacheNotify);
    ASSERT_TRUE(imageCacheRequest(&cache, slow, 0, false, nullptr, nullptr));
    ASSERT_TRUE(reaches(g_started, 1));
    ASSERT_TRUE(imageCacheRequest(&cache, big, 0, false, bigDone.get(), nullptr));
    ASSERT_TRUE(bigDone->event.wait(10000));
    EXPECT_EQ(g_started, 1);
    EXPECT_EQ(imageCacheIndexOf(&cache, big, u"", u""), -1);
    gate.set();
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, 1);
    EXPECT_EQ(cache.readAheadBytes, 0u);
    // Asked again with nothing else running, it is read.
    cache.readAheadMemory = 1024;
    ASSERT_TRUE(imageCacheRequest(&cache, big, 0, false, nullptr, nullptr));
    imageCacheWaitReadAhead(&cache);
    EXPECT_EQ(g_decodes, 2);
    EXPECT_GE(imageCacheIndexOf(&cache, big, u"", u""), 0);
    EXPECT_EQ(cache.readAheadBytes, 0u);
}

// Reading several ahead, a caller that decodes a file nobody read ahead
// leaves the read-aheads going: they are the files wanted next.
TEST_F(Cache, DecodingAnotherFileLeavesSeveralReadAheadsGoing)
{
    cache.readAheadDepth = 3;
    Event gate;
    g_gate = &gate;
    fs::path a = file("a.fake", 4), b = file("b.fake", 4, 5), x = file("x.fake", 3, 6);
    ASSERT_TRUE(imageCacheRequest(&cache, a, 0, false, nullptr, nullptr));
    ASSERT_TRUE(imageCacheRequest(&cache, b, 0, false, nullptr, nullptr));
    ASSERT_TRUE(reaches(g_started, 2));
    Ref<ImageReader> r = open(x);
    Image* out = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
    EXPECT_EQ(out->width, 6u);
    objectRelease(out);
    EXPECT_EQ(g_cancelledDecodes, 0);
    gate.set();
    imageCacheWaitReadAhead(&cache);
    EXPECT_GE(imageCacheIndexOf(&cache, a, u"", u""), 0);
    EXPECT_GE(imageCacheIndexOf(&cache, b, u"", u""), 0);
}

// A caller that has to wait for its file's read-ahead while the cores sit
// idle (the decode keeps to one thread, here a sleeping one) reads one more
// file ahead from then on, up to the limit set; without a limit the depth
// stays as set.
TEST_F(Cache, WaitingWithCoresIdleReadsFurtherAhead)
{
    for (uint32_t growTo : {0u, 3u}) {
        SCOPED_TRACE(growTo);
        imageCacheDestroy(&cache);
        g_started = 0;
        cache.readAheadDepth = 2;
        cache.readAheadGrowTo = growTo;
        for (int round = 0; round < 3; ++round) {
            Event gate;
            g_gate = &gate;
            fs::path f = file("w" + std::to_string(growTo) + std::to_string(round) + ".fake", 4);
            ASSERT_TRUE(imageCacheRequest(&cache, f, 0, false, nullptr, nullptr));
            ASSERT_TRUE(reaches(g_started, round + 1));
            std::thread opener([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                gate.set();
            });
            Ref<ImageReader> r = open(f);
            Image* out = nullptr;
            EXPECT_EQ(imageCacheGetOrDecode(&cache, &out, r.get(), nullptr, nullptr), RC_OK);
            opener.join();
            objectRelease(out);
            g_gate = nullptr;
        }
        EXPECT_EQ(cache.readAheadDepth.load(), growTo ? 3u : 2u);
    }
}
