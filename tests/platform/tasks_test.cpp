#include "platform/tasks.h"

#include <gtest/gtest.h>

#include <atomic>
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
