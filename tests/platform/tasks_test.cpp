#include "platform/tasks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace quillon;

TEST(TaskGroup, RunsEveryTaskAndWaits)
{
    TaskGroup group;
    std::atomic<int> done{0};
    for (int i = 0; i < 200; ++i) group.run([&] { done.fetch_add(1); });
    EXPECT_EQ(group.wait(), TASKS_COMPLETED);
    EXPECT_EQ(done.load(), 200);
    // Reusable after a plain wait.
    group.run([&] { done.fetch_add(1); });
    EXPECT_EQ(group.wait(), TASKS_COMPLETED);
    EXPECT_EQ(done.load(), 201);
}

TEST(TaskGroup, CancelDropsUnstartedWorkButRunsItsCleanup)
{
    TaskGroup group;
    Event started, release;
    std::atomic<int> ran{0}, discarded{0};
    std::atomic<bool> sawCancel{false};
    group.run([&] {
        started.set();
        release.wait();
        sawCancel = group.isCancelling();
        ran.fetch_add(1);
    });
    ASSERT_TRUE(started.wait(10000));
    for (int i = 0; i < 5; ++i) group.run([&] { ran.fetch_add(1); }, [&] { discarded.fetch_add(1); });
    // With a worker busy the later tasks may run on other workers; cancel
    // whatever has not started.
    group.cancel();
    EXPECT_TRUE(group.isCancelling());
    // Work queued while cancelling is refused, its cleanup runs at once.
    EXPECT_FALSE(group.run([&] { ran.fetch_add(100); }, [&] { discarded.fetch_add(1); }));
    release.set();
    EXPECT_EQ(group.wait(), TASKS_CANCELLED);
    EXPECT_TRUE(sawCancel.load());
    EXPECT_EQ(ran.load() - 1 + discarded.load(), 6); // every task either ran or was cleaned up
    EXPECT_FALSE(group.isCancelling());
    // Reusable after cancel + wait.
    group.run([&] { ran.fetch_add(1000); });
    EXPECT_EQ(group.wait(), TASKS_COMPLETED);
    EXPECT_GE(ran.load(), 1001);
}

TEST(TaskGroup, NestedWaitsCannotStarveThePool)
{
    // More outer tasks than workers, each waiting on an inner group: the
    // inner tasks must run (on the waiting thread when no worker is free).
    TaskGroup outer;
    std::atomic<int> inner{0};
    int n = int(taskPoolWorkers()) * 3;
    for (int i = 0; i < n; ++i)
        outer.run([&] {
            TaskGroup nested;
            for (int k = 0; k < 4; ++k) nested.run([&] { inner.fetch_add(1); });
            nested.wait();
        });
    outer.wait();
    EXPECT_EQ(inner.load(), n * 4);
}

TEST(TaskGroup, DestructorWaitsForRunningWork)
{
    std::atomic<int> done{0};
    {
        TaskGroup group;
        group.run([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            done = 1;
        });
    }
    EXPECT_EQ(done.load(), 1);
}

TEST(Event, ManualResetAcrossThreads)
{
    Event ev;
    EXPECT_FALSE(ev.isSet());
    EXPECT_FALSE(ev.wait(1));
    std::thread t([&] { ev.set(); });
    EXPECT_TRUE(ev.wait());
    t.join();
    EXPECT_TRUE(ev.wait(0)); // stays set
    ev.reset();
    EXPECT_FALSE(ev.wait(0));
}

TEST(Locks, ExclusiveAndSharedAccess)
{
    ReaderWriterLock rw;
    CriticalSection cs;
    int counter = 0, counter2 = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < 1000; ++k) {
                rw.lock();
                ++counter;
                rw.unlock();
                cs.lock();
                ++counter2;
                cs.unlock();
                rw.lockRead();
                (void)counter;
                rw.unlockRead();
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(counter2, 4000);
    EXPECT_TRUE(cs.tryLock());
    cs.unlock();
}

TEST(MemoryStatus, ReadsTheSystemFigures)
{
    MemoryStatus st;
    ASSERT_TRUE(globalMemoryStatus(st));
    EXPECT_GT(st.totalPhys, 0u);
    EXPECT_LE(st.availPhys, st.totalPhys);
    EXPECT_GE(st.totalPageFile, st.totalPhys);
    EXPECT_GE(st.availPageFile, st.availPhys);
}

TEST(TaskGroup, TwoThreadsWaitingForTheSameGroup)
{
    // A task run on one waiter's thread must still wake the other waiter.
    for (int round = 0; round < 200; ++round) {
        TaskGroup group;
        std::atomic<int> done{0};
        for (int i = 0; i < 3; ++i) group.run([&] { done.fetch_add(1); });
        std::thread other([&] { group.wait(); });
        group.wait();
        other.join();
        EXPECT_EQ(done.load(), 3);
    }
}

TEST(RowBands, EveryRowOnceInOrderedContiguousBands)
{
    for (unsigned bands : {1u, 2u, 3u, 7u, 64u}) {
        for (uint32_t rows : {0u, 1u, 5u, 97u, 1000u}) {
            SCOPED_TRACE(std::to_string(bands) + " bands over " + std::to_string(rows) + " rows");
            std::vector<std::atomic<int>> hits(rows);
            std::vector<std::pair<uint32_t, uint32_t>> seen(bands, {~0u, ~0u});
            std::atomic<unsigned> calls{0};
            runRowBands(bands, rows, [&](unsigned band, uint32_t first, uint32_t end) {
                ASSERT_LT(band, bands);
                seen[band] = {first, end};
                calls.fetch_add(1);
                for (uint32_t y = first; y < end; ++y) hits[y].fetch_add(1);
            });
            for (uint32_t y = 0; y < rows; ++y) EXPECT_EQ(hits[y].load(), 1) << "row " << y;
            // The bands follow each other: band b starts where b - 1 ended.
            uint32_t next = 0;
            for (unsigned b = 0; b < calls.load(); ++b) {
                EXPECT_EQ(seen[b].first, next);
                next = seen[b].second;
            }
            EXPECT_EQ(next, rows);
        }
    }
}

TEST(RowBands, BandsRunOnSeveralThreadsAndSmallWorkStaysOnOne)
{
    // Small images: one band, on the caller.
    EXPECT_EQ(rowBandCount(100, 100), 1u);
    EXPECT_EQ(rowBandCount(1, uint64_t(1) << 30), 1u);
    // A 20-megapixel image gets one band per worker.
    EXPECT_EQ(rowBandCount(4000, 5000 * 4), taskPoolWorkers());
    EXPECT_EQ(taskPoolWorkers(), std::max(2u, std::thread::hardware_concurrency()));
    {
        RowBandOverride one(1, 0);
        EXPECT_EQ(rowBandCount(4000, 5000 * 4), 1u);
    }
    RowBandOverride many(5, 0);
    EXPECT_EQ(rowBandCount(3, 1), 3u);
    EXPECT_EQ(rowBandCount(300, 1), 5u);
    // While band 0 holds the caller, the others must be taken by workers.
    std::atomic<int> arrived{0};
    std::mutex m;
    std::vector<std::thread::id> ids;
    runRowBands(2, 2, [&](unsigned, uint32_t, uint32_t) {
        {
            std::lock_guard<std::mutex> hold(m);
            ids.push_back(std::this_thread::get_id());
        }
        arrived.fetch_add(1);
        for (int spin = 0; spin < 2000 && arrived.load() < 2; ++spin)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);
}
