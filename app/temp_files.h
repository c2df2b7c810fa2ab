#pragma once
// The temporary file an output is written to before it replaces its target.
// Its name carries the id of the process writing it: a signal that ends the
// process removes it first, and a later run in the same folder removes one
// whose process was killed outright, never one whose process still runs.
#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace quillon {

// A hidden name beside `target`, unique to this process and call.
std::filesystem::path temporaryBeside(const std::filesystem::path& target);
// The id of the process that named `fileName` with temporaryBeside; 0 when
// the name is not one of ours.
pid_t temporaryOwner(std::string_view fileName);
// Removes the temporaries directly in `folder` whose process no longer runs
// (those of this process are left to it). Returns how many went.
int removeStaleTemporaries(const std::filesystem::path& folder);

// While it lives, SIGINT or SIGTERM removes `path` before the process ends.
class LiveTemporary {
public:
    explicit LiveTemporary(const std::filesystem::path& path);
    ~LiveTemporary();
    LiveTemporary(const LiveTemporary&) = delete;
    LiveTemporary& operator=(const LiveTemporary&) = delete;

private:
    int slot_ = -1;
};

// Installs the handlers of SIGINT and SIGTERM (a signal the process was
// started ignoring stays ignored). Each removes the live temporaries, then
// ends the process as the signal would have.
void installTemporaryCleanup();

} // namespace quillon
