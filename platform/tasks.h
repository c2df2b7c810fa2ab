#pragma once
// Background work and the few synchronisation objects the program needs.
//
// Tasks of every TaskGroup run on one small process-wide pool of persistent
// worker threads. A group's wait() runs that group's tasks which no worker
// has started yet on the waiting thread itself, so a task that waits for a
// nested group (a background decode using band-parallel decoding) can never
// starve the pool.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace quillon {

enum TaskGroupStatus : int { TASKS_COMPLETED = 0, TASKS_CANCELLED = 1 };

class TaskGroup {
public:
    TaskGroup();
    // Waits for every queued task (cancel first to drop what has not started).
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Queues work. When the group is cancelled before the work starts, the
    // work is dropped and `discarded` (if any) runs instead, so whatever the
    // work would have released is still released. While the group is
    // cancelling, new work is discarded at once.
    // Returns false (and runs `discarded`) when the task could not be queued.
    bool run(std::function<void()> work, std::function<void()> discarded = {});

    // Waits until every queued task has run or been discarded; tasks not yet
    // started run on the calling thread. Clears the cancelling state, so the
    // group is reusable afterwards.
    TaskGroupStatus wait();

    // Drops every task not yet started (running their `discarded` parts) and
    // marks the group cancelling until the next wait() returns. Running tasks
    // go on; they may poll isCancelling().
    void cancel();

    bool isCancelling() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Number of persistent workers of the shared pool.
unsigned taskPoolWorkers();

// Row bands: image operations split their rows into contiguous bands run on
// the pool. The band count follows the pool's workers, bounded so that every
// band carries at least the minimum work; a small image gets one band and
// runs on the caller's thread alone.
// How many bands suit `rows` rows of `bytesPerRow` bytes of work each (>= 1).
unsigned rowBandCount(uint32_t rows, uint64_t bytesPerRow);
// Runs fn(band, firstRow, endRow) for band 0 .. bands - 1, band b covering
// rows [rows * b / bands, rows * (b + 1) / bands); returns when all are done.
// Band 0 runs on the calling thread.
void runRowBands(unsigned bands, uint32_t rows, const std::function<void(unsigned, uint32_t, uint32_t)>& fn);
// Both in one: bands chosen by rowBandCount.
void runRowBands(uint32_t rows, uint64_t bytesPerRow, const std::function<void(uint32_t, uint32_t)>& fn);

// Overrides the band policy for the whole process until destroyed: at most
// maxBands bands (1 = the one-thread path) and at least minBytes of work in
// a band. Tests use it to compare the split paths with the one-thread path.
class RowBandOverride {
public:
    RowBandOverride(unsigned maxBands, uint64_t minBytes);
    ~RowBandOverride();
    RowBandOverride(const RowBandOverride&) = delete;
    RowBandOverride& operator=(const RowBandOverride&) = delete;

private:
    unsigned oldMax_;
    uint64_t oldMin_;
};

class CriticalSection {
public:
    void lock() { mutex_.lock(); }
    bool tryLock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }
    // For std::lock_guard / std::unique_lock.
    bool try_lock() { return tryLock(); }

private:
    std::mutex mutex_;
};

class ReaderWriterLock {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void lockRead() { mutex_.lock_shared(); }
    void unlockRead() { mutex_.unlock_shared(); }
    void lock_shared() { lockRead(); }
    void unlock_shared() { unlockRead(); }

private:
    std::shared_mutex mutex_;
};

// A manual-reset event.
class Event {
public:
    explicit Event(bool initiallySet = false) : set_(initiallySet) {}
    void set();
    void reset();
    bool isSet() const;
    // Waits until set; timeoutMs < 0 waits without a limit. True when set.
    bool wait(int64_t timeoutMs = -1);

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_;
};

// The program's view of the machine's memory, in bytes (from /proc/meminfo).
// "Page file" figures are physical memory plus swap.
struct MemoryStatus {
    uint64_t totalPhys = 0;
    uint64_t availPhys = 0;
    uint64_t totalPageFile = 0;
    uint64_t availPageFile = 0;
};
bool globalMemoryStatus(MemoryStatus& out);

} // namespace quillon
