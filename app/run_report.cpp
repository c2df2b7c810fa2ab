#include "app/run_report.h"

#include <system_error>

#include "core/text.h"

namespace quillon {

RunReport batchRunReport(const BatchResult& r, int inputsLeftOut, int outputsPerInput,
                         const std::filesystem::path& log)
{
    // Skipped outputs are those left alone, those that failed and, after an
    // interruption, those never reached.
    const int32_t failed = r.failed + inputsLeftOut * outputsPerInput;
    const bool everyOutputDone = !r.interrupted && !r.emptyList && r.total > 0 && r.failed == 0 &&
                                 r.converted + r.skipped == r.total && !r.indexFailed && r.notDeleted == 0;
    RunReport report;
    // A name holding a line break would make one failure read as two.
    for (const std::string& f : r.failures) report.failures.push_back("Quillon: " + escapeControls(f));
    if (everyOutputDone && inputsLeftOut == 0) return report;
    report.status = 1;
    std::string& line = report.line;
    line = "Quillon: " + std::to_string(r.converted) + " written, " + std::to_string(r.skipped - r.failed) +
           " skipped, " + std::to_string(failed) + " failed";
    if (r.emptyList) line += " (the input list is empty)";
    else if (r.interrupted) line += " (interrupted)";
    // The outputs of such a source were written: they count as written, and
    // the source apart.
    if (r.notDeleted > 0)
        line += "; " + std::to_string(r.notDeleted) + (r.notDeleted == 1 ? " source" : " sources") + " not deleted";
    if (r.indexFailed) line += "; index.html could not be written";
    std::error_code ec;
    if (!log.empty() && std::filesystem::exists(log, ec)) line += "; log: " + escapeControls(log.string());
    return report;
}

} // namespace quillon
