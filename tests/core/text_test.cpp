#include "core/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/result.h"
#include "support/test_support.h"

using namespace quillon;

namespace {

std::vector<std::vector<std::string>> readTsv(const std::string& name)
{
    std::ifstream in(test::dataPath("text/" + name));
    std::vector<std::vector<std::string>> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t')) cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

std::vector<uint32_t> hexWords(const std::string& text)
{
    std::vector<uint32_t> out;
    std::stringstream ss(text);
    std::string w;
    while (ss >> w) out.push_back(uint32_t(std::stoul(w, nullptr, 16)));
    return out;
}

std::string hexBytes(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out += char(std::stoul(text.substr(i, 2), nullptr, 16));
    return out;
}

} // namespace

TEST(ResultCodes, MessagesAndUnknownCodes)
{
    EXPECT_EQ(std::u16string(errorText(0x80040208)), u"Corrupted, truncated or malformed file");
    EXPECT_EQ(std::u16string(errorText(RC_UNSUPPORTED_COLOUR_FORMAT)), u"Unsupported color format specified");
    EXPECT_EQ(std::u16string(errorText(RC_CANCELLED)), u"Operation cancelled");
    EXPECT_EQ(std::u16string(errorText(0)), u"Unknown error");
    EXPECT_EQ(std::u16string(errorText(RC_CANCELLED + 1)), u"Unknown error");
    EXPECT_TRUE(failed(RC_GENERAL_FAILURE));
    EXPECT_FALSE(failed(2)); // the batch's "skipped" is not a failure
}

TEST(Cp1252, AllBytesMatchPythonCodec)
{
    auto rows = readTsv("cp1252.tsv");
    ASSERT_EQ(rows.size(), 256u);
    for (const auto& r : rows) {
        uint32_t b = std::stoul(r[0], nullptr, 16), cp = std::stoul(r[1], nullptr, 16);
        if (b == 0) continue;
        char src[2] = {char(b), 0};
        char16_t dst[4];
        EXPECT_EQ(latin1ToWide(dst, src, 4), 1);
        EXPECT_EQ(uint32_t(dst[0]), cp) << "byte " << r[0];
        EXPECT_EQ(dst[1], 0);
        EXPECT_EQ(ansiToWide(dst, src, 4), 1);
        EXPECT_EQ(uint32_t(dst[0]), cp);
    }
}

TEST(Cp1252, TruncationAndBounds)
{
    char16_t dst[4] = {1, 1, 1, 1};
    EXPECT_EQ(latin1ToWide(dst, "abcdef", 4), 0);
    EXPECT_EQ(std::u16string(dst), u"abc");
    EXPECT_EQ(latin1ToWide(dst, "abc", 4), 1);
    EXPECT_EQ(std::u16string(dst), u"abc");
    // A counted source is never read past its length.
    EXPECT_EQ(latin1ToWide(dst, "abXYZ", 4, 2), 1);
    EXPECT_EQ(std::u16string(dst), u"ab");
    EXPECT_EQ(ansiToWide(dst, "x", 0), 0);
    EXPECT_EQ(ansiToWide(nullptr, "x", 4), 0);
}

TEST(Approximation, LatinExtendedAMatchesDecompositionTable)
{
    auto rows = readTsv("approx.tsv");
    ASSERT_EQ(rows.size(), 127u);
    for (const auto& r : rows) {
        char16_t src[2] = {char16_t(std::stoul(r[0], nullptr, 16)), 0};
        char dst[4];
        EXPECT_EQ(wideToAnsiApprox(dst, src, 4), 1);
        EXPECT_EQ(uint8_t(dst[0]), std::stoul(r[1], nullptr, 16)) << "U+" << r[0];
    }
}

TEST(Approximation, PunctuationLatin1AndUnknown)
{
    char dst[32];
    EXPECT_EQ(wideToAnsiApprox(dst, u"\u0141\u0152\u20AC\u4E2D\u00E9\u2019\u201C\u2026", sizeof dst), 1);
    EXPECT_EQ(std::string(dst), "LAE?\xE9'\".");
    // A surrogate pair is one character and becomes one "?".
    EXPECT_EQ(wideToAnsiApprox(dst, u"a\U0001F600b", sizeof dst), 1);
    EXPECT_EQ(std::string(dst), "a?b");
    EXPECT_EQ(wideToAnsiApprox(dst, u"abcdef", 4), 0);
    EXPECT_EQ(std::string(dst), "abc");
}

TEST(Utf8, EncodeMatchesPythonIncludingTruncation)
{
    auto rows = readTsv("utf16_to_utf8.tsv");
    ASSERT_GT(rows.size(), 100u);
    for (const auto& r : rows) {
        std::u16string src;
        for (uint32_t u : hexWords(r[0])) src += char16_t(u);
        std::string expect = hexBytes(r[1]);
        std::vector<char> dst(expect.size() + 1);
        EXPECT_EQ(wideToUtf8(dst.data(), src.c_str(), dst.size()), 1);
        EXPECT_EQ(std::string(dst.data()), expect) << r[0];
        EXPECT_EQ(utf16ToUtf8(dst.data(), src.data(), dst.size(), src.size()), 1);
        // A counted source that ends in a high surrogate stops before it: its
        // partner would lie beyond the count.
        bool endsHigh = src.back() >= 0xD800 && src.back() <= 0xDBFF;
        EXPECT_EQ(std::string(dst.data()), endsHigh ? expect.substr(0, expect.size() - 3) : expect);
        // One byte short: the last character does not fit and is left out whole.
        std::vector<char> small(expect.size());
        EXPECT_EQ(wideToUtf8(small.data(), src.c_str(), small.size()), 0);
        std::string got(small.data());
        EXPECT_LT(got.size(), expect.size());
        EXPECT_EQ(expect.compare(0, got.size(), got), 0);
    }
    char three[3], four[4];
    EXPECT_EQ(wideToUtf8(three, u"abc", 3), 0);
    EXPECT_EQ(std::string(three), "ab");
    EXPECT_EQ(wideToUtf8(four, u"abc", 4), 1);
    EXPECT_EQ(std::string(four), "abc");
    // A high surrogate that ends a counted source is not written.
    char out[16];
    const char16_t cut[] = {u'a', 0xD83D, u'b'};
    EXPECT_EQ(utf16ToUtf8(out, cut, sizeof out, 2), 1);
    EXPECT_EQ(std::string(out), "a");
    EXPECT_EQ(utf16ToUtf8(out, cut, 0, 2), 0);
}

TEST(Utf8, EveryRangeEdgeBothWays)
{
    // The last and first code point of each encoded length, and the edges
    // of the surrogate block, with their UTF-8 bytes from the standard.
    struct Edge {
        std::u16string units;
        std::string bytes;
    } edges[] = {
        {u"\u007F", "\x7F"},
        {u"\u0080", "\xC2\x80"},
        {u"\u07FF", "\xDF\xBF"},
        {u"\u0800", "\xE0\xA0\x80"},
        {u"\uD7FF", "\xED\x9F\xBF"},
        {u"\uE000", "\xEE\x80\x80"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
        {std::u16string{char16_t(0xD800), char16_t(0xDC00)}, "\xF0\x90\x80\x80"},  // U+10000
        {std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}, "\xF4\x8F\xBF\xBF"},  // U+10FFFF
    };
    for (const Edge& e : edges) {
        SCOPED_TRACE(e.bytes.size());
        // Between two ASCII letters, so a wrong length shows in the neighbours.
        std::u16string src = u"a" + e.units + u"z";
        std::string bytes = "a" + e.bytes + "z";
        std::vector<char> dst(bytes.size() + 1);
        EXPECT_EQ(wideToUtf8(dst.data(), src.c_str(), dst.size()), 1);
        EXPECT_EQ(std::string(dst.data()), bytes);
        std::vector<char16_t> back(src.size() + 1);
        EXPECT_EQ(utf8ToWideN(back.data(), bytes.data(), back.size(), ptrdiff_t(bytes.size())), 1);
        EXPECT_EQ(std::u16string(back.data()), src);
        // One unit of room too few for the decoded text: the last letter goes.
        std::vector<char16_t> tight(src.size());
        EXPECT_EQ(utf8ToWideN(tight.data(), bytes.data(), tight.size(), ptrdiff_t(bytes.size())), 0);
        EXPECT_EQ(std::u16string(tight.data()), src.substr(0, src.size() - 1));
    }
    // Beyond the last code point and overlong forms are not characters.
    char16_t out[8];
    EXPECT_EQ(utf8ToWideN(out, "\xF4\x90\x80\x80", 8, 4), 1);
    EXPECT_NE(std::u16string(out), std::u16string({char16_t(0xDBFF), char16_t(0xDFFF)}));
    EXPECT_EQ(out[0], 0xFFFD);
    EXPECT_EQ(utf8ToWideN(out, "\xC1\xBF", 8, 2), 1);
    EXPECT_EQ(out[0], 0xFFFD);
    EXPECT_EQ(utf8ToWideN(out, "\xE0\x9F\xBF", 8, 3), 1);
    EXPECT_EQ(out[0], 0xFFFD);
}

TEST(Utf8, DecodeValidAndIllFormedMatchesPythonReplace)
{
    auto rows = readTsv("utf8_to_utf16.tsv");
    ASSERT_GT(rows.size(), 100u);
    for (const auto& r : rows) {
        std::string src = hexBytes(r[0]);
        std::u16string expect;
        for (uint32_t u : hexWords(r[1])) expect += char16_t(u);
        std::vector<char16_t> dst(src.size() + 2);
        EXPECT_EQ(utf8ToWideN(dst.data(), src.data(), dst.size(), ptrdiff_t(src.size())), 1);
        EXPECT_EQ(std::u16string(dst.data()), expect) << r[0];
    }
}

TEST(Utf8, MultibyteCheckAgreesWithPythonsStrictDecode)
{
    // A row is well-formed exactly when Python's replacing decode, encoded
    // again, gives back its bytes.
    size_t multibyte = 0;
    for (const auto& r : readTsv("utf8_to_utf16.tsv")) {
        std::string src = hexBytes(r[0]);
        std::u16string decoded;
        for (uint32_t u : hexWords(r[1])) decoded += char16_t(u);
        bool wellFormed = u16ToUtf8(decoded) == src;
        bool beyondAscii = std::any_of(src.begin(), src.end(), [](char c) { return uint8_t(c) >= 0x80; });
        EXPECT_EQ(isMultibyteUtf8(src.data(), src.size()), wellFormed && beyondAscii) << r[0];
        multibyte += wellFormed && beyondAscii;
    }
    EXPECT_GT(multibyte, 10u);
    // Plain ASCII and Windows-1252 letters are not; a sequence cut by the
    // length is not either.
    EXPECT_FALSE(isMultibyteUtf8("plain", 5));
    EXPECT_FALSE(isMultibyteUtf8("\xDC" "ber", 4));
    EXPECT_TRUE(isMultibyteUtf8("\xC3\x9C" "ber", 5));
    EXPECT_FALSE(isMultibyteUtf8("\xC3\x9C" "ber", 1));
    EXPECT_FALSE(isMultibyteUtf8(nullptr, 3));
}

TEST(Utf8, DecodeNeverReadsPastTheGivenText)
{
    // A lead byte right before the terminator must not swallow it.
    const char lead[] = "ab\xE2";
    char16_t dst[16];
    EXPECT_EQ(utf8ToWideN(dst, lead, 16), 1);
    EXPECT_EQ(std::u16string(dst), u"ab\uFFFD");
    // A counted source cut inside a sequence ends the text there.
    const char euro[] = "x\xE2\x82\xAC";
    EXPECT_EQ(utf8ToWideN(dst, euro, 16, 3), 1);
    EXPECT_EQ(std::u16string(dst), u"x");
    EXPECT_EQ(utf8ToWideN(dst, euro, 16, 4), 1);
    EXPECT_EQ(std::u16string(dst), u"x\u20AC");
    // Exact-size heap copy: ASan reports any read beyond it.
    std::unique_ptr<char[]> exact(new char[3]{'a', char(0xF0), char(0x9F)});
    EXPECT_EQ(utf8ToWideN(dst, exact.get(), 16, 3), 1);
    EXPECT_EQ(std::u16string(dst), u"a");
}

TEST(Utf8, DestinationLimits)
{
    char16_t dst[kPathUnits];
    std::string longText(300, 'q');
    EXPECT_EQ(utf8ToWide(dst, longText.c_str()), 0);
    EXPECT_EQ(u16Length(dst), 259u);
    EXPECT_EQ(utf8ToWide(nullptr, "a"), 0);
    // An astral character needs two units; with one unit left it is dropped.
    char16_t two[2];
    EXPECT_EQ(utf8ToWideN(two, "\xF0\x9F\x98\x80", 2), 0);
    EXPECT_EQ(two[0], 0);
    char16_t three[3];
    EXPECT_EQ(utf8ToWideN(three, "\xF0\x9F\x98\x80", 3), 1);
    EXPECT_EQ(three[0], 0xD83D);
    EXPECT_EQ(three[1], 0xDE00);
}

TEST(Numbers, ParseUIntAndCountDigits)
{
    const char16_t* p = u"  -12x";
    EXPECT_EQ(parseUInt(p), -12);
    EXPECT_EQ(*p, u'x');
    const char16_t* q = u"x12";
    EXPECT_EQ(parseUInt(q), 0);
    EXPECT_EQ(*q, u'x');
    const char* w = "4294967297";
    EXPECT_EQ(parseUInt(w), 1); // wraps modulo 2^32
    EXPECT_EQ(countDigits(u"123abc"), 3u);
    EXPECT_EQ(countDigits("x1"), 0u);
}

TEST(Strings, WholeStringHelpersRoundTrip)
{
    std::u16string s = u"Caf\u00e9 \U0001F600 \u4E2D";
    EXPECT_EQ(utf8ToU16(u16ToUtf8(s)), s);
    EXPECT_EQ(u16ToApprox(u"Caf\u00e9 \u0141\u00f3d\u017a"), "Caf\xE9 L\xF3" "dz");
    EXPECT_TRUE(equalsNoCase(std::u16string_view(u"JPG"), std::u16string_view(u"jpg")));
    EXPECT_FALSE(equalsNoCase(std::u16string_view(u"jpg"), std::u16string_view(u"jpeg")));
    EXPECT_LT(compareNoCase(u"TIF", u"tiff"), 0);
}

// A name holding a newline would print as two lines, the second one forged
// by whoever named the file: controls are escaped, everything else (UTF-8,
// bytes that are no UTF-8, a backslash) kept, and escaping twice is escaping
// once.
TEST(Strings, ControlCharactersAreEscapedForOneLine)
{
    EXPECT_EQ(escapeControls("/in/a\nResult: Ok.png"), "/in/a\\nResult: Ok.png");
    EXPECT_EQ(escapeControls(std::string_view("\t\r\x1B[31m\x7F\0x", 10)), "\\t\\x0D\\x1B[31m\\x7F\\x00x");
    EXPECT_EQ(escapeControls("caf\xE9 \xC3\xBC \x85 a\\nb ~"), "caf\xE9 \xC3\xBC \x85 a\\nb ~");
    std::string every;
    for (int b = 0; b < 256; ++b) every += char(b);
    const std::string once = escapeControls(every);
    EXPECT_EQ(escapeControls(once), once);
    EXPECT_EQ(once.size(), 256u - 33u + 2u * 2u + 31u * 4u);
    for (char c : once) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
}

namespace {

std::u16string unitsOf(const std::string& hexList)
{
    std::u16string out;
    for (uint32_t u : hexWords(hexList)) out += char16_t(u);
    return out;
}

bool hasLoneSurrogate(std::u16string_view s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) ++i;
        else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) return true;
    }
    return false;
}

} // namespace

TEST(NameBytes, MatchPythonsSurrogateEscapeBothWaysAndShowAsValidUtf8)
{
    auto rows = readTsv("name_bytes.tsv");
    ASSERT_EQ(rows.size(), 600u);
    size_t escaped = 0;
    for (const auto& r : rows) {
        const std::string bytes = hexBytes(r[0]);
        const std::u16string units = unitsOf(r[1]);
        SCOPED_TRACE(r[0]);
        EXPECT_EQ(nameBytesToU16(bytes), units);
        EXPECT_EQ(u16ToNameBytes(units), bytes);
        EXPECT_EQ(pathToU16(std::filesystem::path(bytes)), units);
        EXPECT_EQ(u16ToPath(units).native(), bytes);
        // Shown or written into a file's text: U+FFFD for each escaped byte,
        // never the 3-byte form of a surrogate.
        EXPECT_EQ(u16ToUtf8(units), hexBytes(r[2]));
        std::vector<char> dst(units.size() * 3 + 1);
        EXPECT_EQ(wideToUtf8(dst.data(), (units + u'\0').c_str(), dst.size()), 1);
        EXPECT_EQ(std::string(dst.data()), hexBytes(r[2]));
        escaped += hasLoneSurrogate(units);
    }
    EXPECT_GT(escaped, 300u);
}

TEST(NameBytes, EveryByteAndEveryPairOfBytesRoundTrips)
{
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, char(b));
        const std::u16string u = nameBytesToU16(one);
        ASSERT_EQ(u.size(), 1u) << b;
        // ASCII stands for itself; no single byte from 0x80 is a character.
        EXPECT_EQ(u[0], b < 0x80 ? char16_t(b) : char16_t(0xDC00 + b)) << b;
        EXPECT_EQ(u16ToNameBytes(u), one) << b;
    }
    size_t wellFormed = 0;
    for (int a = 1; a < 256; ++a)
        for (int b = 1; b < 256; ++b) {
            const std::string two{char(a), char(b)};
            const std::u16string u = pathToU16(std::filesystem::path(two));
            ASSERT_EQ(u16ToPath(u).native(), two) << a << " " << b;
            // The two-byte characters are the pairs C2..DF 80..BF.
            const bool character = a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF;
            EXPECT_EQ(u.size(), character ? 1u : 2u);
            wellFormed += character;
        }
    EXPECT_EQ(wellFormed, 30u * 64u);
}

TEST(NameBytes, IllFormedSequencesEscapeByteByByte)
{
    struct Case {
        std::string bytes;
        std::u16string units;
    } cases[] = {
        // UTF-8 forms of surrogates are no characters: otherwise a name
        // holding them would come back as other bytes.
        {"\xED\xA0\x80", {0xDCED, 0xDCA0, 0xDC80}},
        {"\xED\xB3\xA9", {0xDCED, 0xDCB3, 0xDCA9}},
        // Overlong forms and code points past U+10FFFF.
        {"\xC0\xAF", {0xDCC0, 0xDCAF}},
        {"\xE0\x80\xAF", {0xDCE0, 0xDC80, 0xDCAF}},
        {"\xF0\x80\x80\xAF", {0xDCF0, 0xDC80, 0xDC80, 0xDCAF}},
        {"\xF4\x90\x80\x80", {0xDCF4, 0xDC90, 0xDC80, 0xDC80}},
        // Truncated sequences, at the end and before ASCII or a character.
        {"ab\xE2\x82", {u'a', u'b', 0xDCE2, 0xDC82}},
        {"\xF0\x9F\x98z", {0xDCF0, 0xDC9F, 0xDC98, u'z'}},
        {"\xC3\xC3\xA9", {0xDCC3, 0x00E9}},
        // Latin-1 and Windows-1252 names.
        {"caf\xE9.png", {u'c', u'a', u'f', 0xDCE9, u'.', u'p', u'n', u'g'}},
        {"\x93quote\x94.jpg", {0xDC93, u'q', u'u', u'o', u't', u'e', 0xDC94, u'.', u'j', u'p', u'g'}},
        // Well-formed text is plain text, U+FFFD and astral characters included.
        {"\xEF\xBF\xBD\xF0\x9F\x98\x80", {0xFFFD, 0xD83D, 0xDE00}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nameBytesToU16(c.bytes), c.units) << c.bytes;
        EXPECT_EQ(u16ToNameBytes(c.units), c.bytes) << c.bytes;
    }
    // A folder and a name: separators stay where they were.
    const std::filesystem::path p("/tmp/\xE9t\xE9/caf\xE9.png");
    EXPECT_EQ(pathToU16(p.filename()), nameBytesToU16("caf\xE9.png"));
    EXPECT_EQ(u16ToPath(pathToU16(p.parent_path())) / u16ToPath(pathToU16(p.filename())), p);
}

TEST(NameBytes, SurrogatesWithoutAByteBecomeTheReplacementCharacter)
{
    // Units that no name's bytes turn into (a lone high surrogate, a low one
    // below U+DC80) have no byte to go back to: they are written as U+FFFD.
    const std::u16string broken{u'a', 0xD800, u'b', 0xDC41, 0xDBFF};
    EXPECT_EQ(u16ToNameBytes(broken), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD");
    // Text drops a high surrogate that ends it: its partner may follow in
    // the next piece.
    EXPECT_EQ(u16ToUtf8(broken), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(u16ToUtf8(broken + u'c'), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c");
    // The 8-bit approximation has no U+FFFD: a question mark.
    EXPECT_EQ(u16ToApprox(nameBytesToU16("caf\xE9")), "caf?");
}

TEST(NameBytes, CutPointNeverSplitsACharacter)
{
    auto rows = readTsv("name_bytes.tsv");
    for (const auto& r : rows) {
        const std::string bytes = hexBytes(r[0]);
        const std::u16string whole = nameBytesToU16(bytes);
        for (size_t limit = 0; limit <= bytes.size() + 1; ++limit) {
            const size_t cut = nameCutPoint(bytes, limit);
            ASSERT_LE(cut, std::min(limit, bytes.size()));
            // Cutting there splits the decoded text at a unit boundary: both
            // halves decode as they did within the whole.
            const std::u16string front = nameBytesToU16(bytes.substr(0, cut));
            EXPECT_EQ(front + nameBytesToU16(bytes.substr(cut)), whole) << r[0] << " " << limit;
            // And no longer front would do: the next character does not fit.
            if (cut < std::min(limit, bytes.size())) {
                const std::u16string next = nameBytesToU16(bytes.substr(0, cut + 1));
                EXPECT_NE(next, whole.substr(0, next.size())) << r[0] << " " << limit;
            }
        }
    }
    // A Latin-1 name is cut at any byte; a UTF-8 one between characters.
    EXPECT_EQ(nameCutPoint("\xE9\xE9\xE9\xE9", 3), 3u);
    EXPECT_EQ(nameCutPoint("\xC3\xA9\xC3\xA9", 3), 2u);
    EXPECT_EQ(nameCutPoint("\x80\x80\x80\x80", 2), 2u);
    EXPECT_EQ(nameCutPoint("ab", 5), 2u);
}
