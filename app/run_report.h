#pragma once
// What a run tells whoever started it: the exit status and, when the run did
// not do everything, lines for standard error: one for each file that failed,
// then one with the counts.
#include <filesystem>
#include <string>
#include <vector>

#include "app/batch.h"

namespace quillon {

struct RunReport {
    int status = 0;
    // "Quillon: <input>: <why>" for each input that could not be read, whose
    // output failed or that was not deleted, worded as the unreadable files
    // of a folder scan are; control characters escaped, as in every line.
    std::vector<std::string> failures;
    // Empty when every output was done.
    std::string line;
};

// Outputs left alone by the job's own rule (skip existing, never overwrite)
// are done: an incremental rerun over a finished folder succeeds. Failed
// outputs, an interruption, an empty list, an index that was not written and
// inputs left out before the run (each counted as `outputsPerInput` failed
// outputs) are not, nor is a source the job said to delete that is still
// there. `log` is named in the line when it exists.
RunReport batchRunReport(const BatchResult& result, int inputsLeftOut, int outputsPerInput,
                         const std::filesystem::path& log);

} // namespace quillon
