#pragma once
// The temporary file an output is written to before it replaces its target.
// Its name carries the id of the process writing it: a signal that ends the
// process removes it first, and a later run in the same folder removes one
// whose process was killed outright, never one whose process still runs.
#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <list>
#include <string_view>
#include <vector>

namespace quillon {

// A hidden name beside `target`, unique to this process and call.
std::filesystem::path temporaryBeside(const std::filesystem::path& target);
// The id of the process that named `fileName` with temporaryBeside; 0 when
// the name is not one of ours.
pid_t temporaryOwner(std::string_view fileName);
// Removes the temporaries directly in `folder` whose process no longer runs
// (those of this process are left to it). Returns how many went.
int removeStaleTemporaries(const std::filesystem::path& folder);

// A file nobody may write is read-only here, whoever runs the batch: root
// may write anything, and must still leave such a file alone, as the
// platform refuses to delete or replace one.
inline bool readOnlyMode(mode_t mode) { return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// Gives `temporary` the permissions of `target`, the regular file it is
// about to replace (replacing a private file must not make it readable);
// false when there is none.
bool takeModeOf(const std::filesystem::path& target, const std::filesystem::path& temporary);
// Puts a file's data on the disk, so that the old file it replaces goes only
// once the new one is there.
void syncFile(const std::filesystem::path& file);

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

// The further files of one output (a RawImage description's data files),
// each written under a temporary name of the same kind as the output's own,
// so that a signal or a later run removes it as it does that one, and put in
// place together with the output.
class CompanionFiles {
public:
    // Names the temporary of `target`, live from now on. One thread at a
    // time (the encoding's, then the batch's).
    std::filesystem::path temporaryFor(const std::filesystem::path& target);
    // Renames every temporary over its target. A target that exists is
    // replaced by a file on the disk, with the permissions of the old one.
    // False when one cannot be placed: the temporaries are gone then, and so
    // are the targets placed before it unless they replaced a file. A
    // read-only target places none of them: `readOnly` receives its name.
    bool place(std::filesystem::path* readOnly = nullptr);
    // Removes every temporary (the output failed).
    void discard();

private:
    struct Entry {
        std::filesystem::path temporary, target;
    };
    std::vector<Entry> entries_;
    std::list<LiveTemporary> live_;
};

// Installs the handlers of SIGINT and SIGTERM (a signal the process was
// started ignoring stays ignored). Each removes the live temporaries, then
// ends the process as the signal would have.
void installTemporaryCleanup();

} // namespace quillon
