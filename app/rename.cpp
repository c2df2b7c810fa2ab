#include "app/rename.h"

#include <algorithm>

#include "app/input_list.h"


namespace quillon {

char16_t foldUpper(char16_t c)
{
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
        if (c == 0xFF) return 0x178;
        return c;
    }
    if (c < 0x180) {
        // Latin Extended-A pairs its letters; the parity of the capital
        // changes after the dotless i and again after the capital Y diaeresis.
        if (c == 0x131) return u'I';
        if (c == 0x17F) return u'S';
        if ((c <= 0x137) || (c >= 0x14A && c <= 0x177)) return (c & 1) ? char16_t(c - 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c : char16_t(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t(0x3A3) : char16_t(c - 32);
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return char16_t(c - 37);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return char16_t(c - 63);
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 32);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 80);
    return c;
}

int compareFolded(std::u16string_view a, std::u16string_view b)
{
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = foldUpper(a[i]), y = foldUpper(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

namespace {

bool sameChar(char16_t a, char16_t b, bool caseSensitive)
{
    return caseSensitive ? a == b : foldUpper(a) == foldUpper(b);
}

bool isWild(char16_t c) { return c == u'*' || c == u'?'; }

} // namespace

bool wildcardMatch(std::u16string_view pattern, std::u16string_view name)
{
    if (pattern.empty()) return false;
    // A star run that ends the pattern must take at least one character;
    // with no '?' in it, it needs one: the tail then behaves like "?*".
    size_t tail = pattern.size();
    while (tail > 0 && isWild(pattern[tail - 1])) --tail;
    size_t tailQuestions = 0;
    bool tailStar = false;
    for (size_t k = tail; k < pattern.size(); ++k) {
        if (pattern[k] == u'?') ++tailQuestions;
        else tailStar = true;
    }
    std::u16string normal(pattern.substr(0, tail));
    if (tailStar) normal += tailQuestions == 0 ? u"?*" : std::u16string(pattern.substr(tail));
    else normal.append(tailQuestions, u'?');

    // Iterative glob with one remembered star: the last star absorbs one more
    // character whenever what follows it fails. That finds a match exactly
    // when any assignment of the stars does, in time linear per star.
    size_t p = 0, n = 0;
    size_t starP = std::u16string::npos, starN = 0;
    while (n < name.size()) {
        if (p < normal.size() && normal[p] == u'*') {
            starP = ++p;
            starN = n;
        } else if (p < normal.size() && (normal[p] == u'?' || sameChar(normal[p], name[n], false))) {
            ++p;
            ++n;
        } else if (starP != std::u16string::npos) {
            p = starP;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < normal.size() && normal[p] == u'*') ++p;
    return p == normal.size();
}

bool filterMatch(std::u16string_view filter, std::u16string_view name)
{
    size_t pos = 0;
    while (pos <= filter.size()) {
        size_t end = filter.find(u';', pos);
        if (end == std::u16string_view::npos) end = filter.size();
        if (wildcardMatch(filter.substr(pos, end - pos), name)) return true;
        if (end == filter.size()) break;
        pos = end + 1;
        while (pos < filter.size() && filter[pos] == u' ') ++pos;
    }
    return false;
}

bool renameMatch(std::u16string_view pattern, std::u16string_view name, bool caseSensitive,
                 std::vector<RenameCapture>& captures)
{
    captures.clear();
    size_t p = 0, n = 0;
    while (p < pattern.size()) {
        char16_t c = pattern[p];
        if (c == u'?') {
            if (n >= name.size()) return false;
            captures.push_back({n, 1, name[n]});
            ++p;
            ++n;
        } else if (c == u'*') {
            RenameCapture star{n, 0, u'*'};
            while (p < pattern.size() && pattern[p] == u'*') ++p;
            if (p == pattern.size()) {
                star.length = int32_t(name.size() - n);
                captures.push_back(star);
                return true;
            }
            size_t runEnd = p;
            while (runEnd < pattern.size() && !isWild(pattern[runEnd])) ++runEnd;
            std::u16string_view run = pattern.substr(p, runEnd - p);
            size_t at = n;
            for (;;) {
                if (name.size() - at < run.size()) return false;
                size_t k = 0;
                while (k < run.size() && sameChar(run[k], name[at + k], caseSensitive)) ++k;
                if (k == run.size()) break;
                ++at;
            }
            star.length = int32_t(at - n);
            captures.push_back(star);
            n = at + run.size();
            p = runEnd;
        } else {
            if (n >= name.size() || !sameChar(c, name[n], caseSensitive)) return false;
            ++p;
            ++n;
        }
    }
    return n == name.size();
}

std::u16string renameBuild(std::u16string_view outputPattern, std::u16string_view name,
                           std::vector<RenameCapture>& captures)
{
    std::u16string out;
    size_t index = 0;
    for (char16_t c : outputPattern) {
        if (c == u'?') {
            size_t k = index;
            while (k < captures.size() && captures[k].length <= 0) ++k;
            if (k == captures.size()) continue;
            RenameCapture& cap = captures[k];
            out += name[cap.start];
            ++cap.start;
            if (--cap.length == 0) index = k + 1;
        } else if (c == u'*') {
            size_t k = index;
            while (k < captures.size() && captures[k].kind != u'*') ++k;
            if (k == captures.size()) continue;
            RenameCapture& cap = captures[k];
            if (cap.length > 0) out.append(name.substr(cap.start, size_t(cap.length)));
            cap.start += size_t(cap.length > 0 ? cap.length : 0);
            cap.length = 0;
            index = k + 1;
        } else {
            out += c;
        }
    }
    return out;
}

std::u16string renameBaseName(const FileEntry& entry)
{
    std::u16string base = entry.overrideName.empty() ? entry.fileName : entry.overrideName;
    size_t dot = base.rfind(u'.');
    if (dot != std::u16string::npos) base.resize(dot);
    return base;
}

bool renameEntry(const RenamePatternParams& params, FileEntry& entry)
{
    if (!entry.used()) return false;
    std::u16string base = renameBaseName(entry);
    std::vector<RenameCapture> captures;
    if (!renameMatch(params.inputPattern, base, params.caseSensitive != 0, captures)) return false;
    std::u16string built = renameBuild(params.outputPattern, base, captures);
    if (built.empty()) return false;
    entry.overrideName = std::move(built);
    return true;
}

size_t renameEntries(const RenamePatternParams& params, const std::vector<FileEntry*>& rows)
{
    size_t changed = 0;
    for (FileEntry* entry : rows)
        if (entry && renameEntry(params, *entry)) ++changed;
    return changed;
}

size_t renameListRows(const RenamePatternParams& params, InputList& list, std::vector<size_t> selectedRows)
{
    std::vector<FileEntry*> rows;
    if (params.onlySelected) {
        std::sort(selectedRows.begin(), selectedRows.end());
        selectedRows.erase(std::unique(selectedRows.begin(), selectedRows.end()), selectedRows.end());
        for (size_t r : selectedRows)
            if (r < list.rowCount()) rows.push_back(&list.row(r));
    } else {
        rows = list.rows();
    }
    size_t changed = renameEntries(params, rows);
    if (changed > 0) list.hooks().rowsChanged();
    return changed;
}

} // namespace quillon
