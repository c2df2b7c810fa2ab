#include "app/rename.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/input_list_fakes.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::u16string u(const std::string& s) { return utf8ToU16(s); }

// The matcher as a plain depth-first search, straight from its description:
// a run of wildcards holding a star consumes its '?'s, then matches the rest
// when the run ends the pattern, else tries the rest at every later place;
// a used-up name needs a used-up pattern.
bool referenceMatch(std::u16string_view p, std::u16string_view n)
{
    for (;;) {
        if (n.empty()) return p.empty();
        if (p.empty()) return false;
        if (p[0] == u'*' || (p[0] == u'?' && p.find_first_not_of(u"?") != std::u16string_view::npos &&
                             p[p.find_first_not_of(u"?")] == u'*')) {
            size_t k = 0, questions = 0;
            while (k < p.size() && (p[k] == u'*' || p[k] == u'?')) questions += p[k++] == u'?';
            if (n.size() < questions) return false;
            n.remove_prefix(questions);
            p.remove_prefix(k);
            if (p.empty()) return true;
            for (; !n.empty(); n.remove_prefix(1))
                if (referenceMatch(p, n)) return true;
            return false;
        }
        if (p[0] != u'?' && foldUpper(p[0]) != foldUpper(n[0])) return false;
        p.remove_prefix(1);
        n.remove_prefix(1);
    }
}

} // namespace

TEST(Wildcard, TableOfPatterns)
{
    struct Row { const char* pattern; const char* name; bool match; };
    const Row rows[] = {
        {"fun*", "funny", true},       {"fun*", "fun", false},        {"fun*.jpg", "fun1.JPG", true},
        {"fun*.jpg", "fun.jpg", true}, {"FUN*.JPG", "fun1.jpg", true}, {"????.gif", "abcd.gif", true},
        {"????.gif", "abc.gif", false}, {"????.gif", "abcde.gif", false}, {"*", "a", true},
        {"*", "anything.at.all", true}, {"", "a", false},             {"*.jpg", "a.jpeg", false},
        {"a?c", "abc", true},          {"a?c", "ac", false},          {"a?c", "abbc", false},
        {"*?", "a", true},             {"?*", "a", true},             {"??*", "a", false},
        {"*??", "ab", true},           {"*??", "a", false},           {"*a*b", "xaxxb", true},
        {"*a*b", "xaxxbx", false},     {"a*b*c", "abc", true},        {"a*", "A", false},
        {"*.*", "README", false},      {"*.*", "a.b", true},          {"caf\xC3\xA9.*", "CAF\xC3\x89.png", true},
        {"\xD0\xB6*", "\xD0\x96\xD0\xB0", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(wildcardMatch(u(r.pattern), u(r.name)), r.match) << r.pattern << " vs " << r.name;
}

TEST(Wildcard, AgreesWithDepthFirstSearch)
{
    std::mt19937 rng(1234);
    const char16_t pat[] = u"ab*?";
    const char16_t nam[] = u"abAB";
    for (int i = 0; i < 20000; ++i) {
        std::u16string p, n;
        for (int k = int(rng() % 7); k > 0; --k) p += pat[rng() % 4];
        for (int k = 1 + int(rng() % 7); k > 0; --k) n += nam[rng() % 4];
        ASSERT_EQ(wildcardMatch(p, n), referenceMatch(p, n) && !p.empty())
            << u16ToUtf8(p) << " vs " << u16ToUtf8(n);
    }
}

TEST(Wildcard, ManyStarsStayFast)
{
    // Exponential backtracking would never finish this.
    std::u16string pattern;
    for (int i = 0; i < 60; ++i) pattern += u"*a";
    pattern += u"*b";
    std::u16string name(250, u'a');
    EXPECT_FALSE(wildcardMatch(pattern, name));
    EXPECT_TRUE(wildcardMatch(pattern, name + u"b"));
    EXPECT_FALSE(wildcardMatch(pattern, name + u"bc"));
}

TEST(Wildcard, FilterListsSplitOnSemicolons)
{
    std::u16string filter = u"fun*.jpg; ????.gif";
    EXPECT_TRUE(filterMatch(filter, u"fun1.JPG"));
    EXPECT_TRUE(filterMatch(filter, u"abcd.gif"));
    EXPECT_FALSE(filterMatch(filter, u"abc.gif"));
    EXPECT_FALSE(filterMatch(filter, u"fun.png"));
    EXPECT_TRUE(filterMatch(u"*.png;;  *.bmp", u"x.bmp"));
    EXPECT_FALSE(filterMatch(u"", u"x.bmp"));
    // Only blanks after a ';' are skipped; a blank in front is part of the pattern.
    EXPECT_FALSE(filterMatch(u" *.bmp", u"x.bmp"));
}

TEST(Wildcard, FoldAgreesWithUnicodeUpperCase)
{
    QUILLON_REQUIRE_TOOL("python3");
    // Every mapping the fold makes must be Unicode's simple upper case, and
    // within the scripts it covers it must make all of them.
    std::string out = test::runOutput(
        "python3 -c \"print('\\n'.join(f'{c} {ord(chr(c).upper()) if len(chr(c).upper()) == 1 else c}'"
        " for c in range(0x500)))\"");
    std::istringstream in(out);
    int checked = 0;
    unsigned c, up;
    while (in >> c >> up) {
        ++checked;
        char16_t ours = foldUpper(char16_t(c));
        if (ours != c) {
            EXPECT_EQ(ours, up) << std::hex << c;
        }
        bool covered = (c >= 0x61 && c <= 0x7A) || (c >= 0xE0 && c <= 0xFF) || (c >= 0x100 && c <= 0x17F) ||
                       (c >= 0x3AC && c <= 0x3CE) || (c >= 0x430 && c <= 0x45F);
        if (covered) {
            EXPECT_EQ(ours, up) << std::hex << c;
        }
    }
    EXPECT_EQ(checked, 0x500);
}

namespace {

struct Cap { std::string text; char16_t kind; };

std::vector<Cap> captured(const std::u16string& name, const std::vector<RenameCapture>& caps)
{
    std::vector<Cap> out;
    for (const RenameCapture& c : caps) out.push_back({u16ToUtf8(name.substr(c.start, size_t(c.length))), c.kind});
    return out;
}

std::string rename(const char* in, const char* out, const char* name, bool caseSensitive = false)
{
    std::vector<RenameCapture> caps;
    std::u16string n = u(name);
    if (!renameMatch(u(in), n, caseSensitive, caps)) return "<no match>";
    return u16ToUtf8(renameBuild(u(out), n, caps));
}

} // namespace

TEST(Rename, CapturesOfTheMatcher)
{
    std::vector<RenameCapture> caps;
    std::u16string name = u"a_b_c";
    ASSERT_TRUE(renameMatch(u"*_*", name, false, caps));
    auto got = captured(name, caps);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "a"); // the first '_' ends the first star
    EXPECT_EQ(got[1].text, "b_c");
    EXPECT_EQ(got[0].kind, u'*');

    name = u"abcdef";
    ASSERT_TRUE(renameMatch(u"???*", name, false, caps));
    got = captured(name, caps);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, u'a');
    EXPECT_EQ(got[2].kind, u'c');
    EXPECT_EQ(got[3].text, "def");

    // A star directly before '?' has an empty run and captures nothing.
    name = u"xyz";
    ASSERT_TRUE(renameMatch(u"*?yz", name, false, caps));
    got = captured(name, caps);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "");
    EXPECT_EQ(got[1].text, "x");

    // No backtracking: the star stops at the first "b", so the rest fails.
    EXPECT_FALSE(renameMatch(u"*b?c", u"abxbyc", false, caps));
    EXPECT_TRUE(renameMatch(u"*bc", u"abxbc", false, caps));
    EXPECT_FALSE(renameMatch(u"a?", u"a", false, caps));
    EXPECT_FALSE(renameMatch(u"abc", u"abcd", false, caps));
    EXPECT_TRUE(renameMatch(u"IMG_*", u"IMG_", false, caps));
}

TEST(Rename, BuilderTable)
{
    struct Row { const char* in; const char* out; const char* name; const char* expect; };
    const Row rows[] = {
        {"IMG_*", "Holiday *", "IMG_0042", "Holiday 0042"},
        {"IMG_*", "Holiday *", "DSC_0001", "<no match>"},
        {"*_*", "*-*", "a_b_c", "a-b_c"},
        {"???*", "*", "abcdef", "def"},
        {"???*", "?-*", "abcdef", "a-def"},
        {"???*", "???", "abcdef", "abc"},
        {"???*", "????", "abcdef", "abcd"},   // '?' goes on into the star's capture
        {"???*", "????*", "abcdef", "abcdef"}, // and '*' takes what the star has left
        {"*-*", "???*", "ab-cd", "abcd"},     // a star emptied by '?'s is passed over
        {"*", "**", "ab", "ab"},              // a second '*' finds no further star
        {"a?", "??x", "ab", "bx"},
        {"*-*", "*_*_*", "left-right", "left_right_"},
        {"img_*", "*", "IMG_1", "1"},
    };
    for (const Row& r : rows) EXPECT_EQ(rename(r.in, r.out, r.name), r.expect) << r.in << " -> " << r.out;
    EXPECT_EQ(rename("img_*", "*", "IMG_1", true), "<no match>");
    EXPECT_EQ(rename("IMG_*", "*", "IMG_1", true), "1");
}

TEST(Rename, EntriesKeepOrReplaceTheirOutputNames)
{
    FileEntry a, b, c;
    a.path = "/p/IMG_0042.jpg";
    a.fileName = u"IMG_0042.jpg";
    b.path = "/p/DSC_0001.jpg";
    b.fileName = u"DSC_0001.jpg";
    c.path = "/p/img_7.tar.gz";
    c.fileName = u"img_7.tar.gz";
    FileEntry empty; // an empty slot is never renamed

    RenamePatternParams params;
    params.inputPattern = u"IMG_*";
    params.outputPattern = u"Holiday *";
    EXPECT_EQ(renameEntries(params, {&a, &b, &c, &empty}), 2u);
    EXPECT_EQ(a.overrideName, u"Holiday 0042");
    EXPECT_TRUE(b.overrideName.empty());
    EXPECT_EQ(c.overrideName, u"Holiday 7.tar"); // only the last extension goes
    EXPECT_TRUE(empty.overrideName.empty());

    // A second rename works on the names the first produced.
    params.inputPattern = u"Holiday *";
    params.outputPattern = u"* (trip)";
    EXPECT_EQ(renameEntries(params, {&a}), 1u);
    EXPECT_EQ(a.overrideName, u"0042 (trip)");

    // An empty result keeps the old name.
    params.inputPattern = u"*";
    params.outputPattern = u"";
    EXPECT_EQ(renameEntries(params, {&a}), 0u);
    EXPECT_EQ(a.overrideName, u"0042 (trip)");

    params.inputPattern = u"dsc_*";
    params.outputPattern = u"x*";
    params.caseSensitive = 1;
    EXPECT_EQ(renameEntries(params, {&b}), 0u);
    params.caseSensitive = 0;
    EXPECT_EQ(renameEntries(params, {&b}), 1u);
    EXPECT_EQ(b.overrideName, u"x0001");
}

TEST(Rename, LongNamesAreNotCut)
{
    FileEntry e;
    std::u16string stem(400, u'n');
    e.path = "/p/x";
    e.fileName = u"IMG_" + stem + u".jpg";
    RenamePatternParams params;
    params.inputPattern = u"IMG_*";
    params.outputPattern = u"*_*_*";
    ASSERT_TRUE(renameEntry(params, e));
    EXPECT_EQ(e.overrideName, stem + u"__");
}

// A name that is not UTF-8 keeps its bytes through a rename: captured by
// "?" and "*" byte for byte, matched by its own bytes (case folding leaves
// them alone), and the output name is made of the same bytes.
TEST(Rename, NamesThatAreNotUtf8KeepTheirBytes)
{
    FileEntry e;
    e.path = "/p/Caf\xE9 \x93x\x94 01.jpg";
    e.fileName = pathToU16(e.path.filename());
    RenamePatternParams params;
    params.inputPattern = pathToU16("c?f\xE9 * 01");
    params.outputPattern = u"2024 ? *";
    ASSERT_TRUE(renameEntry(params, e));
    EXPECT_EQ(u16ToNameBytes(e.overrideName), "2024 a \x93x\x94");
    // Another byte in its place is another name.
    e.overrideName.clear();
    params.inputPattern = pathToU16("c?f\xC9 * 01");
    EXPECT_FALSE(renameEntry(params, e));
}

TEST(Rename, OnlySelectedRowsOrAll)
{
    TempDir dir;
    FakeHooks hooks;
    InputList list(&hooks);
    for (const char* n : {"IMG_1.jpg", "IMG_2.jpg", "IMG_3.jpg"}) {
        writeImage(dir / n);
        list.addFile(dir / n, false, false);
    }
    // Rows: IMG_3 IMG_2 IMG_1.
    RenamePatternParams params;
    params.inputPattern = u"IMG_?";
    params.outputPattern = u"pic?";
    params.onlySelected = 1;
    int changed = hooks.changed;
    EXPECT_EQ(renameListRows(params, list, {2, 0, 2, 9}), 2u);
    EXPECT_EQ(hooks.changed, changed + 1);
    EXPECT_EQ(u16ToUtf8(list.row(0).overrideName), "pic3");
    EXPECT_TRUE(list.row(1).overrideName.empty());
    EXPECT_EQ(u16ToUtf8(list.row(2).overrideName), "pic1");

    params.onlySelected = 0;
    params.inputPattern = u"*";
    params.outputPattern = u"x_*";
    EXPECT_EQ(renameListRows(params, list, {}), 3u);
    EXPECT_EQ(u16ToUtf8(list.row(1).overrideName), "x_IMG_2");
    EXPECT_EQ(u16ToUtf8(list.row(2).overrideName), "x_pic1");

    // Nothing matches: no repaint.
    changed = hooks.changed;
    params.inputPattern = u"zzz";
    EXPECT_EQ(renameListRows(params, list, {}), 0u);
    EXPECT_EQ(hooks.changed, changed);
}
