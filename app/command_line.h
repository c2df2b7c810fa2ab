#pragma once
// The program's arguments: image files, folders to scan and preset files,
// with the options RECURSE, FILTER and SILENT. Options start with '-', or
// with '/' when the rest is one of the three words, so absolute paths stay
// paths. Words compare without regard to case.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/input_list.h"
#include "app/job_settings.h"

namespace quillon {

// The longest filter an argument may set, in UTF-16 units.
constexpr size_t kCommandLineFilterMax = 127;

// Splits a whole command-line text into tokens: blanks separate outside
// double quotes; a quote starts quoting and the closing quote ends the token
// even without a blank; empty tokens are dropped. abc"def ghi"jkl gives
// `abcdef ghi` and `jkl`.
std::vector<std::u16string> commandLineTokenize(std::u16string_view text);

// What the arguments act on.
class CommandLineTarget {
public:
    virtual ~CommandLineTarget() = default;
    virtual void addDirectory(const std::filesystem::path& folder, const AddDirectoryParams& params) = 0;
    virtual void addFile(const std::filesystem::path& file) = 0;
    virtual void loadPreset(const std::filesystem::path& file) = 0;
    virtual void setSilent() = 0;
    // An argument that names nothing there (a missing file, folder or
    // preset); files that are no image are the target's to report.
    virtual void argumentMissing(const std::string& argument) { (void)argument; }
    // An option that is none of RECURSE, FILTER and SILENT (a typo such as
    // -recurce): it does nothing, and the target says so.
    virtual void unknownOption(const std::string& option) { (void)option; }
    // RECURSE with no name after it, or FILTER without its filter (none,
    // an empty one or an option word) or with no name after that (a preset
    // is none): `why` is one of the texts below.
    virtual void optionWithoutArgument(const std::string& option, const char* why)
    {
        (void)option;
        (void)why;
    }
};

// What the program says of an unknown option, after the option itself.
constexpr char kUnknownOptionText[] = "unknown option (the options are -recurse, -filter and -silent)";
// What it says of an option that lacks what it acts on.
constexpr char kRecurseWithoutFolderText[] = "no folder after it (-recurse goes before the folder it scans)";
constexpr char kFilterWithoutPatternText[] = "no filter after it (as in -filter \"*.jpg;*.png\" before a folder)";
constexpr char kFilterWithoutFolderText[] = "no folder after it (-filter goes before the folders it limits)";

// True when the arguments hold SILENT (the value after FILTER is no option).
// Known before anything else starts: a silent run opens no window it need
// not and leaves the settings store as it found it.
bool commandLineIsSilent(const std::vector<std::string>& args);

// Acts on the arguments in order (argv without the program itself). Missing
// names, names containing ".exe" and presets are skipped over by a pending
// RECURSE, which acts on the next file or folder. Returns true when SILENT was given: the caller then minimises the
// wizard and presses Next.
bool commandLineHandle(const std::vector<std::string>& args, CommandLineTarget& target);

// One line for each argument that stops a silent run before it starts: an
// unknown option, an option without its argument (-recurse or -filter with
// no name after it, -filter with no filter, an empty one or an option word
// in its place), a preset that does not exist, and a preset that would be
// refused (a value that is no number or out of its key's range, a format
// the registry does not hold, no key of ours in a [Quillon] section), with
// why, control characters escaped. Presets are tried in order on a copy of
// `base` (null: the process's job settings), each on top of the ones before
// it, as the run would load them. Such a run does not start rather than do
// something the command line did not ask for.
std::vector<std::string> commandLineRefusals(const std::vector<std::string>& args,
                                             const FormatRegistry* registry = nullptr,
                                             const JobSettings* base = nullptr);

// The usual target: folders and files go to the input list (files without a
// message, remembering their folder), presets to loadPreset (without one,
// into the job settings, unless refused), SILENT to setSilent (without one,
// the job settings' silentMode).
class InputListCommandTarget : public CommandLineTarget {
public:
    explicit InputListCommandTarget(InputList& list,
                                    std::function<void(const std::filesystem::path&)> loadPreset = nullptr,
                                    std::function<void()> setSilent = nullptr)
        : list_(list), loadPreset_(std::move(loadPreset)), setSilent_(std::move(setSilent))
    {
    }
    void addDirectory(const std::filesystem::path& folder, const AddDirectoryParams& params) override;
    void addFile(const std::filesystem::path& file) override;
    void loadPreset(const std::filesystem::path& file) override;
    void setSilent() override;
    void argumentMissing(const std::string& argument) override;
    void unknownOption(const std::string& option) override;
    void optionWithoutArgument(const std::string& option, const char* why) override;

    // One line per argument that added nothing or was refused (an unknown
    // option or one without its argument, a preset that cannot be loaded),
    // per file of a scanned folder that looks like a picture of ours but
    // added nothing, and per folder it could not read: what it named and
    // why, control characters escaped.
    std::vector<std::string> failures;
    // Of those, the files and folders that added nothing (missing ones
    // included), each with why: the inputs the run lost.
    std::vector<FileNotAdded> notAdded;
    int inputsLeftOut() const { return int(notAdded.size()); }

private:
    // An input that added nothing: named, counted and kept with why.
    void leaveOut(FileNotAdded input);
    void fail(const std::string& line);

    InputList& list_;
    std::function<void(const std::filesystem::path&)> loadPreset_;
    std::function<void()> setSilent_;
};

} // namespace quillon
