#include "app/taskbar_progress.h"

namespace quillon {

std::unique_ptr<TaskbarProgress> taskbarProgressCreate() { return nullptr; }

} // namespace quillon
