#pragma once
// Progress shown on the program's taskbar entry. This desktop offers no such
// service to us, so the only implementation does nothing; the batch still
// talks to the interface so another implementation can be dropped in.
#include <cstdint>
#include <memory>

namespace quillon {

enum TaskbarState : uint32_t {
    TBPF_NOPROGRESS = 0,
    TBPF_INDETERMINATE = 1,
    TBPF_NORMAL = 2,
    TBPF_ERROR = 4,
    TBPF_PAUSED = 8,
};

class TaskbarProgress {
public:
    virtual ~TaskbarProgress() = default;
    virtual void setProgress(int32_t done, int32_t total) = 0;
    virtual void setState(uint32_t flags) = 0;
};

class NoTaskbarProgress final : public TaskbarProgress {
public:
    void setProgress(int32_t, int32_t) override {}
    void setState(uint32_t) override {}
};

// Null when the platform has no taskbar progress (always, here).
std::unique_ptr<TaskbarProgress> taskbarProgressCreate();

} // namespace quillon
