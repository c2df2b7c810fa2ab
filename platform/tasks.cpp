#include "platform/tasks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>

namespace quillon {

struct TaskGroup::State {
    struct Task {
        std::function<void()> work;
        std::function<void()> discarded;
    };
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<Task> pending;
    uint32_t running = 0;
    bool cancelling = false;
    bool wasCancelled = false;
    std::atomic<bool> cancellingFlag{false};

    // Takes the oldest task not yet started; false when none.
    bool takeOne(Task& out)
    {
        if (pending.empty()) return false;
        out = std::move(pending.front());
        pending.pop_front();
        ++running;
        return true;
    }
    void finishOne()
    {
        std::lock_guard<std::mutex> hold(mutex);
        if (--running == 0 && pending.empty()) idle.notify_all();
    }
};

namespace {

// The shared workers. Never destroyed: the threads are detached and may
// still be parked on the queue while the process exits.
class TaskPool {
public:
    static TaskPool& instance()
    {
        static TaskPool* pool = new TaskPool();
        return *pool;
    }

    unsigned workers() const { return workers_; }

    void post(std::shared_ptr<TaskGroup::State> state)
    {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            queue_.push_back(std::move(state));
            // Every queued task gets a worker of its own, up to the limit,
            // so one blocked task never holds up another.
            if (queue_.size() > available_ && started_ < workers_) {
                ++started_;
                ++available_;
                std::thread(&TaskPool::workerLoop, this).detach();
            }
        }
        wake_.notify_one();
    }

private:
    TaskPool()
    {
        // As many workers as cores: row bands of one image fill them all.
        // The bound only guards against a nonsensical report.
        unsigned hw = std::thread::hardware_concurrency();
        workers_ = std::clamp(hw, 2u, 256u);
    }

    void workerLoop()
    {
        for (;;) {
            std::shared_ptr<TaskGroup::State> state;
            {
                std::unique_lock<std::mutex> hold(mutex_);
                wake_.wait(hold, [this] { return !queue_.empty(); });
                state = std::move(queue_.front());
                queue_.pop_front();
                --available_;
            }
            TaskGroup::State::Task task;
            bool have;
            {
                std::lock_guard<std::mutex> hold(state->mutex);
                // The task may already have been run by a waiter or dropped
                // by cancel(); its token is then simply spent.
                have = state->takeOne(task);
            }
            if (have) {
                task.work();
                task = {};
                state->finishOne();
            }
            std::lock_guard<std::mutex> hold(mutex_);
            ++available_;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<TaskGroup::State>> queue_;
    unsigned workers_ = 2;
    unsigned started_ = 0;
    size_t available_ = 0;  // workers not running a task
};

} // namespace

unsigned taskPoolWorkers() { return TaskPool::instance().workers(); }

namespace {
// Below about half a megabyte of work a band costs more to hand over than it
// saves; 0 as the band limit means one band per worker.
constexpr uint64_t kDefaultBandBytes = 512 * 1024;
std::atomic<unsigned> gBandLimit{0};
std::atomic<uint64_t> gBandBytes{kDefaultBandBytes};
} // namespace

unsigned rowBandCount(uint32_t rows, uint64_t bytesPerRow)
{
    const unsigned limit = gBandLimit.load(std::memory_order_relaxed);
    uint64_t bands = limit ? limit : taskPoolWorkers();
    bands = std::min<uint64_t>(bands, rows);
    const uint64_t minBytes = gBandBytes.load(std::memory_order_relaxed);
    if (minBytes > 0) {
        const uint64_t total = uint64_t(rows) * bytesPerRow;
        bands = std::min<uint64_t>(bands, total / minBytes);
    }
    return unsigned(std::max<uint64_t>(bands, 1));
}

void runRowBands(unsigned bands, uint32_t rows, const std::function<void(unsigned, uint32_t, uint32_t)>& fn)
{
    if (bands <= 1 || rows <= 1) {
        fn(0, 0, rows);
        return;
    }
    bands = std::min<unsigned>(bands, rows);
    auto first = [&](unsigned b) { return uint32_t(uint64_t(rows) * b / bands); };
    TaskGroup group;
    for (unsigned b = 1; b < bands; ++b) {
        const uint32_t from = first(b), to = first(b + 1);
        // A fresh group is never cancelling, but should the task not be
        // queued its rows still get done here.
        if (!group.run([&fn, b, from, to] { fn(b, from, to); })) fn(b, from, to);
    }
    fn(0, 0, first(1));
    group.wait();
}

void runRowBands(uint32_t rows, uint64_t bytesPerRow, const std::function<void(uint32_t, uint32_t)>& fn)
{
    runRowBands(rowBandCount(rows, bytesPerRow), rows, [&fn](unsigned, uint32_t from, uint32_t to) { fn(from, to); });
}

RowBandOverride::RowBandOverride(unsigned maxBands, uint64_t minBytes)
    : oldMax_(gBandLimit.exchange(maxBands)), oldMin_(gBandBytes.exchange(minBytes))
{
}

RowBandOverride::~RowBandOverride()
{
    gBandLimit.store(oldMax_);
    gBandBytes.store(oldMin_);
}

TaskGroup::TaskGroup() : state_(std::make_shared<State>()) {}

TaskGroup::~TaskGroup() { wait(); }

bool TaskGroup::run(std::function<void()> work, std::function<void()> discarded)
{
    bool queued = false;
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        if (!state_->cancelling) {
            state_->pending.push_back({std::move(work), std::move(discarded)});
            queued = true;
        }
    }
    if (!queued) {
        if (discarded) discarded();
        return false;
    }
    TaskPool::instance().post(state_);
    return true;
}

TaskGroupStatus TaskGroup::wait()
{
    State& s = *state_;
    std::unique_lock<std::mutex> hold(s.mutex);
    for (;;) {
        State::Task task;
        if (s.takeOne(task)) {
            hold.unlock();
            task.work();
            task = {};
            hold.lock();
            // Other threads may be waiting for the same group.
            if (--s.running == 0 && s.pending.empty()) s.idle.notify_all();
            continue;
        }
        if (s.running == 0) break;
        s.idle.wait(hold);
    }
    TaskGroupStatus status = (s.cancelling || s.wasCancelled) ? TASKS_CANCELLED : TASKS_COMPLETED;
    s.cancelling = false;
    s.wasCancelled = false;
    s.cancellingFlag.store(false, std::memory_order_release);
    return status;
}

void TaskGroup::cancel()
{
    std::deque<State::Task> dropped;
    {
        std::lock_guard<std::mutex> hold(state_->mutex);
        state_->cancelling = true;
        state_->wasCancelled = true;
        state_->cancellingFlag.store(true, std::memory_order_release);
        dropped.swap(state_->pending);
        if (state_->running == 0) state_->idle.notify_all();
    }
    for (auto& task : dropped)
        if (task.discarded) task.discarded();
}

bool TaskGroup::isCancelling() const { return state_->cancellingFlag.load(std::memory_order_acquire); }

void Event::set()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        set_ = true;
    }
    cv_.notify_all();
}

void Event::reset()
{
    std::lock_guard<std::mutex> hold(mutex_);
    set_ = false;
}

bool Event::isSet() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return set_;
}

bool Event::wait(int64_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    if (timeoutMs < 0) {
        cv_.wait(hold, [this] { return set_; });
        return true;
    }
    return cv_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

namespace {
uint64_t meminfoBytes(const char* text, const char* key)
{
    const char* p = std::strstr(text, key);
    if (!p) return 0;
    p += std::strlen(key);
    while (*p == ' ' || *p == ':' || *p == '\t') ++p;
    return std::strtoull(p, nullptr, 10) * 1024;
}
} // namespace

bool globalMemoryStatus(MemoryStatus& out)
{
    out = {};
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return false;
    char buf[8192];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    out.totalPhys = meminfoBytes(buf, "MemTotal");
    out.availPhys = meminfoBytes(buf, "MemAvailable");
    out.totalPageFile = out.totalPhys + meminfoBytes(buf, "SwapTotal");
    out.availPageFile = out.availPhys + meminfoBytes(buf, "SwapFree");
    return out.totalPhys != 0;
}

} // namespace quillon
