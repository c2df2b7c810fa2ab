#include "app/temp_files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <system_error>

#include "core/text.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTag = ".quillon-";
constexpr std::string_view kEnd = ".part";
constexpr size_t kRandomDigits = 16;

// Paths a signal handler may read: filled before their state says so, and
// never freed. A handler may only unlink by a fixed buffer.
constexpr int kSlots = 16;
enum : int { SLOT_FREE = 0, SLOT_FILLING = 1, SLOT_LIVE = 2 };
std::atomic<int> g_state[kSlots];
char g_paths[kSlots][PATH_MAX];
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int sig)
{
    const int saved = errno;
    for (int i = 0; i < kSlots; ++i)
        if (g_state[i].load(std::memory_order_acquire) == SLOT_LIVE) ::unlink(g_paths[i]);
    errno = saved;
    // The process ends as the signal would have ended it, status included.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

bool allDigits(std::string_view s, bool hex)
{
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f'))) return false;
    return true;
}

} // namespace

fs::path temporaryBeside(const fs::path& target)
{
    // Data files are named while their output encodes on another thread.
    static std::mutex lock;
    static std::mt19937_64 rng{std::random_device{}()};
    unsigned long long random;
    {
        std::lock_guard<std::mutex> hold(lock);
        random = rng();
    }
    char tag[64];
    std::snprintf(tag, sizeof tag, "%.*s%ld-%016llx%.*s", int(kTag.size()), kTag.data(), long(::getpid()), random,
                  int(kEnd.size()), kEnd.data());
    // The temporary name must fit wherever the target's name fits: a target
    // name near the file system's limit keeps only its front here. The cut
    // falls between characters, and a name that is not UTF-8 keeps each of
    // its bytes up to the cut as it is.
    constexpr size_t kNameMax = 255;
    std::string name = target.filename().native();
    name.resize(nameCutPoint(name, kNameMax - 1 - std::strlen(tag)));
    return target.parent_path() / ("." + name + tag);
}

pid_t temporaryOwner(std::string_view name)
{
    // "." name ".quillon-" pid "-" 16 hex digits ".part"
    if (name.size() < 1 + kTag.size() + 1 + 1 + kRandomDigits + kEnd.size() || name.front() != '.') return 0;
    if (name.substr(name.size() - kEnd.size()) != kEnd) return 0;
    name.remove_suffix(kEnd.size());
    const std::string_view random = name.substr(name.size() - kRandomDigits);
    name.remove_suffix(kRandomDigits);
    if (!allDigits(random, true) || name.back() != '-') return 0;
    name.remove_suffix(1);
    const size_t tag = name.rfind(kTag);
    if (tag == std::string_view::npos || tag == 0) return 0;
    const std::string_view pid = name.substr(tag + kTag.size());
    if (!allDigits(pid, false) || pid.size() > 9) return 0;
    return pid_t(std::stol(std::string(pid)));
}

int removeStaleTemporaries(const fs::path& folder)
{
    int removed = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().native();
        const pid_t owner = temporaryOwner(name);
        if (owner <= 0 || owner == ::getpid()) continue;
        // A process that runs, as anybody, keeps its file.
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

bool takeModeOf(const fs::path& target, const fs::path& temporary)
{
    struct stat old {};
    if (::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return false;
    ::chmod(temporary.c_str(), old.st_mode & 07777);
    return true;
}

void syncFile(const fs::path& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

LiveTemporary::LiveTemporary(const fs::path& path)
{
    const std::string& text = path.native();
    if (text.size() >= PATH_MAX) return;
    for (int i = 0; i < kSlots; ++i) {
        int expected = SLOT_FREE;
        if (!g_state[i].compare_exchange_strong(expected, SLOT_FILLING, std::memory_order_acq_rel)) continue;
        std::memcpy(g_paths[i], text.c_str(), text.size() + 1);
        g_state[i].store(SLOT_LIVE, std::memory_order_release);
        slot_ = i;
        return;
    }
}

LiveTemporary::~LiveTemporary()
{
    if (slot_ >= 0) g_state[slot_].store(SLOT_FREE, std::memory_order_release);
}

fs::path CompanionFiles::temporaryFor(const fs::path& target)
{
    fs::path temporary = temporaryBeside(target);
    live_.emplace_back(temporary);
    entries_.push_back({temporary, target});
    return temporary;
}

bool CompanionFiles::place(fs::path* readOnly)
{
    for (const Entry& e : entries_) {
        struct stat st {};
        if (::stat(e.target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && readOnlyMode(st.st_mode)) {
            if (readOnly) *readOnly = e.target;
            discard();
            return false;
        }
    }
    std::vector<fs::path> placed;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        const bool replaces = takeModeOf(e.target, e.temporary);
        if (replaces) syncFile(e.temporary);
        if (::rename(e.temporary.c_str(), e.target.c_str()) != 0) {
            for (const fs::path& p : placed) ::unlink(p.c_str());
            entries_.erase(entries_.begin(), entries_.begin() + ptrdiff_t(i));
            discard();
            return false;
        }
        if (!replaces) placed.push_back(e.target);
    }
    entries_.clear();
    live_.clear();
    return true;
}

void CompanionFiles::discard()
{
    for (const Entry& e : entries_) ::unlink(e.temporary.c_str());
    entries_.clear();
    live_.clear();
}

void installTemporaryCleanup()
{
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction act {};
        act.sa_handler = onSignal;
        sigemptyset(&act.sa_mask);
        ::sigaction(sig, &act, nullptr);
    }
}

} // namespace quillon
