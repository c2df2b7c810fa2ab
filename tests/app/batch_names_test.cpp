// Output names through a whole batch: what the temporaries beside the
// outputs must not change about them.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/batch_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::set<std::string> names(const fs::path& folder)
{
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
    return out;
}

bool wellFormedUtf8(const std::string& s)
{
    for (size_t i = 0; i < s.size();) {
        const uint8_t lead = uint8_t(s[i]);
        const size_t n = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((uint8_t(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// The names of the files created directly in a folder while it lives,
// temporaries included, in the order the file system reports them.
class CreatedNames {
public:
    explicit CreatedNames(const fs::path& folder)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_CREATE);
    }
    ~CreatedNames()
    {
        if (fd_ >= 0) close(fd_);
    }
    bool watching() const { return fd_ >= 0; }
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        alignas(inotify_event) char buf[64 * 1024];
        for (ssize_t n; (n = read(fd_, buf, sizeof buf)) > 0;)
            for (char* p = buf; p < buf + n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(p);
                if (ev->len) out.emplace_back(ev->name);
                p += sizeof(inotify_event) + ev->len;
            }
        return out;
    }

private:
    int fd_;
};

} // namespace

// Names near the file system's 255-byte limit, of letters of two, three and
// four bytes, led by a few ASCII letters so that the temporary's shortened
// name ends inside a letter for every one of them wherever the cut falls:
// each output still gets its whole name, and no temporary stays behind.
TEST(BatchNames, LongMultibyteNamesKeepTheirWholeNameThroughTheTemporary)
{
    QUILLON_REQUIRE_TOOL("identify");
    TempDir dir;
    fs::create_directories(dir / "in");
    std::vector<fs::path> inputs;
    std::set<std::string> expected;
    for (const std::string letter : {"\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"}) {
        for (size_t lead = 0; lead < letter.size(); ++lead) {
            std::string base(lead, 'a');
            while (base.size() + letter.size() <= 246) base += letter;
            ASSERT_TRUE(writePnm(dir / "in" / (base + ".ppm"), Pnm::rgb8(3, 2)));
            inputs.push_back(dir / "in" / (base + ".ppm"));
            expected.insert(base + ".bmp");
        }
    }
    BatchJob job(dir / "out", "bmp", u"Normal");
    CreatedNames created(dir / "out");
    ASSERT_TRUE(created.watching());
    const BatchResult r = job.run(inputs);
    for (const std::u16string& e : job.ui.errors) ADD_FAILURE() << u16ToUtf8(e);
    EXPECT_EQ(r.converted, int32_t(inputs.size()));
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(names(dir / "out"), expected);
    for (const std::string& name : expected) {
        EXPECT_TRUE(wellFormedUtf8(name));
        EXPECT_EQ(runOutput("identify -format '%w %h' " + shellQuote((dir / "out" / name).string())), "3 2")
            << name;
    }
    // Each temporary was named from the front of its output's name, cut
    // short by at most one letter and never inside one: a name that is no
    // UTF-8 is refused where names must be (a FAT stick, a share).
    size_t temporaries = 0;
    for (const std::string& name : created.take()) {
        if (expected.count(name)) continue;
        ++temporaries;
        EXPECT_TRUE(wellFormedUtf8(name)) << name;
        EXPECT_LE(name.size(), 255u) << name;
        EXPECT_GE(name.size(), 252u) << name;
        const size_t tag = name.rfind(".quillon-");
        ASSERT_NE(tag, std::string::npos) << name;
        const std::string front = name.substr(1, tag - 1);
        bool isFront = false;
        for (const std::string& full : expected) isFront = isFront || full.rfind(front, 0) == 0;
        EXPECT_TRUE(isFront) << name;
    }
    EXPECT_EQ(temporaries, inputs.size());
}

// Names from systems that do not write UTF-8 (Latin-1, Windows-1252), short
// and near the 255-byte limit: each output is named by the source's own
// bytes, and each temporary by as many of the front bytes as fit, none
// changed; bytes that look like the middle of a UTF-8 letter are no reason
// to cut short.
TEST(BatchNames, NamesThatAreNotUtf8KeepTheirBytes)
{
    QUILLON_REQUIRE_TOOL("identify");
    TempDir dir;
    fs::create_directories(dir / "in");
    std::vector<fs::path> inputs;
    std::set<std::string> expected;
    std::vector<std::string> bases = {"caf\xE9", "\x93quote\x94", "\xED\xA0\x80"};
    for (const char* filler : {"\xA9", "\xE9", "\xC3"}) {
        std::string base = "x";
        while (base.size() < 246) base += filler;
        bases.push_back(base);
    }
    for (const std::string& base : bases) {
        ASSERT_TRUE(writePnm(dir / "in" / (base + ".ppm"), Pnm::rgb8(3, 2)));
        inputs.push_back(dir / "in" / (base + ".ppm"));
        expected.insert(base + ".bmp");
    }
    BatchJob job(dir / "out", "bmp", u"Normal");
    CreatedNames created(dir / "out");
    ASSERT_TRUE(created.watching());
    const BatchResult r = job.run(inputs);
    for (const std::u16string& e : job.ui.errors) ADD_FAILURE() << u16ToUtf8(e);
    EXPECT_EQ(r.converted, int32_t(inputs.size()));
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(names(dir / "out"), expected);
    for (const std::string& name : expected)
        EXPECT_EQ(runOutput("identify -format '%w %h' " + shellQuote((dir / "out" / name).string())), "3 2");
    size_t temporaries = 0;
    for (const std::string& name : created.take()) {
        if (expected.count(name)) continue;
        ++temporaries;
        const size_t tag = name.rfind(".quillon-");
        ASSERT_NE(tag, std::string::npos) << name;
        const std::string front = name.substr(1, tag - 1);
        bool isFront = false;
        for (const std::string& full : expected) {
            if (full.rfind(front, 0) != 0) continue;
            isFront = true;
            // Whole, or cut only as far as the limit asks.
            if (front != full) {
                EXPECT_EQ(name.size(), 255u) << front.size();
            }
        }
        EXPECT_TRUE(isFront) << name;
    }
    EXPECT_EQ(temporaries, inputs.size());
}
