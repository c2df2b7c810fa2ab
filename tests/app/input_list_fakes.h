#pragma once
// A stand-in reader for input-list tests: files that start with "QIMG" are
// images whose header line gives width, height, bits, colour model, pixel
// format, alpha kind and an orientation text; every other file is of an
// unknown format. The hooks record what the list asked of the page.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/input_list.h"
#include "core/text.h"
#include "support/test_support.h"

namespace quillon::test {

inline void writeImage(const std::filesystem::path& path, uint32_t w = 64, uint32_t h = 48, int bits = 24,
                       int model = 0, int format = 0, int alpha = 0, const std::string& orientation = "")
{
    std::filesystem::create_directories(path.parent_path());
    std::ostringstream s;
    s << "QIMG " << w << ' ' << h << ' ' << bits << ' ' << model << ' ' << format << ' ' << alpha << ' '
      << orientation << '\n';
    writeFile(path, s.str());
}

class FakeHooks : public InputListHooks {
public:
    ResultCode probe(const std::filesystem::path& path, ProbedImage& out) override
    {
        ++probes;
        std::ifstream in(path, std::ios::binary);
        if (!in) return RC_OPEN_FAILED;
        std::string magic;
        in >> magic;
        if (magic != "QIMG") return RC_UNKNOWN_FORMAT;
        int bits, model, format, alpha;
        in >> out.width >> out.height >> bits >> model >> format >> alpha;
        if (!in) return RC_CORRUPT_FILE;
        std::string rest;
        std::getline(in, rest);
        while (!rest.empty() && (rest.front() == ' ' || rest.back() == ' '))
            rest = rest.front() == ' ' ? rest.substr(1) : rest.substr(0, rest.size() - 1);
        out.bitsPerPixel = bits;
        out.colourModel = uint8_t(model);
        out.pixelFormat = PixelFormat(format);
        out.alphaKind = AlphaKind(alpha);
        out.orientation = utf8ToU16(rest);
        out.path = path;
        out.fileSize = std::filesystem::file_size(path);
        return RC_OK;
    }
    bool readSidecar(AdjustmentSettings& adj, const std::filesystem::path& imagePath) override
    {
        auto it = sidecars.find(imagePath);
        if (it == sidecars.end()) return false;
        it->second(adj);
        return true;
    }
    void showError(std::u16string_view text, std::u16string_view caption) override
    {
        errors.emplace_back(u16ToUtf8(text), u16ToUtf8(caption));
    }
    void rememberFolder(const std::filesystem::path& folder) override { remembered.push_back(folder); }
    void busy(bool on) override
    {
        busyDepth += on ? 1 : -1;
        if (on) ++busyCalls;
    }
    void rowInserted(FileEntry&) override { ++inserted; }
    void rowsChanged() override { ++changed; }

    std::map<std::filesystem::path, void (*)(AdjustmentSettings&)> sidecars;
    std::vector<std::pair<std::string, std::string>> errors;
    std::vector<std::filesystem::path> remembered;
    int busyDepth = 0, busyCalls = 0, inserted = 0, changed = 0, probes = 0;
};

// File names of the used slots, in the order they were added.
inline std::vector<std::string> slotNames(const InputList& list)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < list.fileCount(); ++i)
        if (const FileEntry* e = list.slot(i)) out.push_back(u16ToUtf8(e->fileName));
    return out;
}

// Paths of the used slots relative to base, in the order they were added.
inline std::vector<std::string> slotPaths(const InputList& list, const std::filesystem::path& base)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < list.fileCount(); ++i)
        if (const FileEntry* e = list.slot(i)) out.push_back(e->path.lexically_relative(base).string());
    return out;
}

} // namespace quillon::test
