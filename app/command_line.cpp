#include "app/command_line.h"

#include <system_error>

#include "app/job_settings.h"
#include "app/presets.h"
#include "core/text.h"

namespace quillon {

namespace fs = std::filesystem;

std::vector<std::u16string> commandLineTokenize(std::u16string_view text)
{
    std::vector<std::u16string> tokens;
    size_t i = 0;
    while (i < text.size()) {
        std::u16string token;
        bool quoted = false;
        while (i < text.size()) {
            char16_t c = text[i++];
            if (quoted) {
                if (c == u'"') break;
                token += c;
            } else if (c == u' ') {
                break;
            } else if (c == u'"') {
                quoted = true;
            } else {
                token += c;
            }
        }
        if (!token.empty()) tokens.push_back(std::move(token));
    }
    return tokens;
}

namespace {

enum class Option { None, Recurse, Silent, Filter, Other };

Option optionWord(std::string_view word)
{
    if (equalsNoCase(word, "RECURSE")) return Option::Recurse;
    if (equalsNoCase(word, "SILENT")) return Option::Silent;
    if (equalsNoCase(word, "FILTER")) return Option::Filter;
    return Option::Other;
}

Option classify(const std::string& token)
{
    if (token.empty()) return Option::None;
    if (token[0] == '-') return optionWord(std::string_view(token).substr(1));
    if (token[0] == '/') {
        // A '/' opens an option only for the three words; everything else
        // starting with '/' is an absolute path.
        Option o = optionWord(std::string_view(token).substr(1));
        return o == Option::Other ? Option::None : o;
    }
    return Option::None;
}

bool isPresetName(const std::string& token)
{
    return token.size() >= 5 && equalsNoCase(std::string_view(token).substr(token.size() - 4), ".qpt");
}

// A preset's name, unless a folder has it: folders come first.
bool namesPreset(const std::string& token)
{
    std::error_code ec;
    return isPresetName(token) && !fs::is_directory(token, ec);
}

// Whether a name for RECURSE or a filter to act on comes at or after `from`:
// a token that is no option (nor a filter's value), is not passed over and
// names no preset, which neither option acts on.
bool argumentFollows(const std::vector<std::string>& args, size_t from)
{
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& token = args[i];
        switch (classify(token)) {
        case Option::Filter: ++i; continue;
        case Option::None:
            if (!token.empty() && token.find(".exe") == std::string::npos && !namesPreset(token)) return true;
            continue;
        default: continue;
        }
    }
    return false;
}

} // namespace

bool commandLineHandle(const std::vector<std::string>& args, CommandLineTarget& target)
{
    AddDirectoryParams params;
    bool silent = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& token = args[i];
        switch (classify(token)) {
        case Option::Recurse:
            // After the folder it was meant for, it would scan nothing and
            // leave that folder scanned one level.
            if (!argumentFollows(args, i + 1)) target.optionWithoutArgument(token, kRecurseWithoutFolderText);
            params.recurse = 1;
            continue;
        case Option::Silent:
            silent = true;
            target.setSilent();
            continue;
        case Option::Filter: {
            if (i + 1 == args.size()) {
                target.optionWithoutArgument(token, kFilterWithoutPatternText);
                return silent;
            }
            const std::string& filter = args[++i];
            // An option word in the filter's place is a filter forgotten.
            const Option next = classify(filter);
            if (filter.empty() || (next != Option::None && next != Option::Other))
                target.optionWithoutArgument(token, kFilterWithoutPatternText);
            else if (!argumentFollows(args, i + 1)) target.optionWithoutArgument(token, kFilterWithoutFolderText);
            if (!filter.empty()) {
                std::u16string text = nameBytesToU16(filter);
                if (text.size() > kCommandLineFilterMax) {
                    size_t cut = kCommandLineFilterMax;
                    // Never keep half of a surrogate pair.
                    if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
                    text.resize(cut);
                }
                params.filter = std::move(text);
                params.filterOn = 1;
            }
            continue;
        }
        case Option::Other:
            target.unknownOption(token);
            continue;
        case Option::None: break;
        }

        if (token.empty() || token.find(".exe") != std::string::npos) continue;
        std::error_code ec;
        fs::file_status st = fs::status(token, ec);
        if (ec || !fs::exists(st)) {
            target.argumentMissing(token);
            continue;
        }
        if (fs::is_directory(st)) {
            target.addDirectory(token, params);
        } else if (isPresetName(token)) {
            // A pending RECURSE is for the folder after the preset: the
            // check above counted on it.
            target.loadPreset(token);
            continue;
        } else {
            target.addFile(token);
        }
        params.recurse = 0;
    }
    return silent;
}

void InputListCommandTarget::addDirectory(const fs::path& folder, const AddDirectoryParams& params)
{
    std::vector<FileNotAdded> leftOut;
    list_.addDirectory(folder, &params, &leftOut);
    for (FileNotAdded& f : leftOut) leaveOut(std::move(f));
}

bool commandLineIsSilent(const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        Option o = classify(args[i]);
        if (o == Option::Silent) return true;
        if (o == Option::Filter) ++i;
    }
    return false;
}

void InputListCommandTarget::addFile(const fs::path& file)
{
    ResultCode rc = list_.addFile(file, false, true);
    if (failed(rc)) leaveOut({file, rc});
}

void InputListCommandTarget::argumentMissing(const std::string& argument)
{
    if (isPresetName(argument)) {
        fail(argument + ": " + kNoSuchPresetText);
        return;
    }
    // A picture the run was asked for and cannot read, as much as a file of
    // unknown format is.
    leaveOut({argument, RC_OPEN_FAILED, "no such file or folder"});
}

void InputListCommandTarget::loadPreset(const fs::path& file)
{
    std::string why;
    if (loadPreset_) loadPreset_(file);
    else if (!presetFile().load(&file, &why)) fail(file.string() + ": " + why);
}

std::vector<std::string> commandLineRefusals(const std::vector<std::string>& args, const FormatRegistry* registry,
                                             const JobSettings* base)
{
    class Check : public CommandLineTarget {
    public:
        Check(const FormatRegistry* r, const JobSettings& base) : registry_(r), trial_(base) {}
        void addDirectory(const fs::path&, const AddDirectoryParams&) override {}
        void addFile(const fs::path&) override {}
        void setSilent() override {}
        void loadPreset(const fs::path& file) override
        {
            std::string why;
            if (!presetLoad(trial_, file, registry_, &why)) lines.push_back(file.string() + ": " + why);
        }
        void unknownOption(const std::string& option) override
        {
            lines.push_back(option + ": " + kUnknownOptionText);
        }
        void optionWithoutArgument(const std::string& option, const char* why) override
        {
            lines.push_back(option + ": " + why);
        }
        // A run without the preset it names would run on the settings
        // store's values: another folder, other formats, perhaps deleting.
        void argumentMissing(const std::string& argument) override
        {
            if (isPresetName(argument)) lines.push_back(argument + ": " + kNoSuchPresetText);
        }
        std::vector<std::string> lines;

    private:
        const FormatRegistry* registry_;
        JobSettings trial_;
    } check(registry, base ? *base : jobSettings());
    commandLineHandle(args, check);
    // A name holding a line break would make one refusal read as two.
    for (std::string& line : check.lines) line = escapeControls(line);
    return check.lines;
}

void InputListCommandTarget::unknownOption(const std::string& option)
{
    fail(option + ": " + kUnknownOptionText);
}

void InputListCommandTarget::optionWithoutArgument(const std::string& option, const char* why)
{
    fail(option + ": " + why);
}

void InputListCommandTarget::leaveOut(FileNotAdded input)
{
    fail(input.path.string() + ": " + input.why());
    notAdded.push_back(std::move(input));
}

void InputListCommandTarget::fail(const std::string& line)
{
    // A name holding a line break would make one failure read as two.
    failures.push_back(escapeControls(line));
}

void InputListCommandTarget::setSilent()
{
    if (setSilent_) setSilent_();
    else jobSettings().silentMode = 1;
}

} // namespace quillon
