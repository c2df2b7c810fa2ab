#pragma once
// What a run tells whoever started it: the exit status and, when the run did
// not do everything, one line for standard error with the counts.
#include <filesystem>
#include <string>

#include "app/batch.h"

namespace quillon {

struct RunReport {
    int status = 0;
    // Empty when every output was done.
    std::string line;
};

// Outputs left alone by the job's own rule (skip existing, never overwrite)
// are done: an incremental rerun over a finished folder succeeds. Failed
// outputs, an interruption, an empty list, an index that was not written and
// inputs left out before the run (each counted as `outputsPerInput` failed
// outputs) are not. `log` is named in the line when it exists.
RunReport batchRunReport(const BatchResult& result, int inputsLeftOut, int outputsPerInput,
                         const std::filesystem::path& log);

} // namespace quillon
