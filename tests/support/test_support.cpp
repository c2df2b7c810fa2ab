#include "support/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

namespace quillon::test {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() /
                     ("quillon-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p;
            return;
        }
    }
    std::abort();
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Leave the folder behind for inspection when asked to.
    if (!std::getenv("QUILLON_KEEP_TEMP")) fs::remove_all(path_, ec);
}

int run(const std::string& command)
{
    int status = std::system(command.c_str());
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

std::string runOutput(const std::string& command)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

bool haveTool(const std::string& name)
{
    return run("command -v " + shellQuote(name) + " >/dev/null 2>&1") == 0;
}

std::string shellQuote(const std::string& text)
{
    std::string q = "'";
    for (char c : text) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

std::vector<uint8_t> readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

namespace {

struct Cursor {
    const std::vector<uint8_t>& d;
    size_t pos = 0;
    void skipSpaceAndComments()
    {
        while (pos < d.size()) {
            if (d[pos] == '#') {
                while (pos < d.size() && d[pos] != '\n') ++pos;
            } else if (std::isspace(d[pos])) {
                ++pos;
            } else {
                break;
            }
        }
    }
    bool number(uint32_t& v)
    {
        skipSpaceAndComments();
        if (pos >= d.size() || !std::isdigit(d[pos])) return false;
        uint64_t x = 0;
        while (pos < d.size() && std::isdigit(d[pos])) x = x * 10 + (d[pos++] - '0');
        v = uint32_t(x);
        return true;
    }
    std::string token()
    {
        skipSpaceAndComments();
        std::string t;
        while (pos < d.size() && !std::isspace(d[pos])) t += char(d[pos++]);
        return t;
    }
};

} // namespace

bool readPnm(const fs::path& path, Pnm& out)
{
    std::vector<uint8_t> d = readFile(path);
    if (d.size() < 3 || d[0] != 'P') return false;
    char kind = char(d[1]);
    Cursor c{d, 2};
    out = Pnm{};
    if (kind == '7') {
        uint32_t depth = 0;
        for (;;) {
            std::string t = c.token();
            if (t.empty()) return false;
            if (t == "ENDHDR") break;
            if (t == "WIDTH") c.number(out.width);
            else if (t == "HEIGHT") c.number(out.height);
            else if (t == "DEPTH") c.number(depth);
            else if (t == "MAXVAL") c.number(out.maxval);
            else if (t == "TUPLTYPE") c.token();
        }
        out.channels = depth;
        ++c.pos; // the newline after ENDHDR
    } else {
        if (!c.number(out.width) || !c.number(out.height)) return false;
        if (kind == '1' || kind == '4') out.maxval = 1;
        else if (!c.number(out.maxval)) return false;
        out.channels = (kind == '3' || kind == '6') ? 3 : 1;
        if (kind >= '4') ++c.pos; // one whitespace byte before raster
    }
    size_t count = size_t(out.width) * out.height * out.channels;
    out.samples.resize(count);
    if (kind >= '1' && kind <= '3') {
        for (size_t i = 0; i < count; ++i) {
            uint32_t v;
            if (kind == '1') {
                c.skipSpaceAndComments();
                if (c.pos >= d.size()) return false;
                v = d[c.pos++] == '1' ? 1 : 0;
            } else if (!c.number(v)) {
                return false;
            }
            out.samples[i] = uint16_t(v);
        }
        if (kind == '1') {
            for (auto& s : out.samples) s = s ? 0 : 1; // 1 is black in PBM
            out.maxval = 1;
        }
        return true;
    }
    if (kind == '4') {
        size_t rowBytes = (out.width + 7) / 8;
        if (c.pos + rowBytes * out.height > d.size()) return false;
        for (uint32_t y = 0; y < out.height; ++y)
            for (uint32_t x = 0; x < out.width; ++x) {
                uint8_t byte = d[c.pos + y * rowBytes + x / 8];
                // Stored as grey: 1 (white) unless the bit is set (black).
                out.samples[size_t(y) * out.width + x] = ((byte >> (7 - x % 8)) & 1) ? 0 : 1;
            }
        return true;
    }
    size_t bps = out.maxval > 255 ? 2 : 1;
    if (c.pos + count * bps > d.size()) return false;
    for (size_t i = 0; i < count; ++i) {
        if (bps == 2) out.samples[i] = uint16_t((d[c.pos + 2 * i] << 8) | d[c.pos + 2 * i + 1]);
        else out.samples[i] = d[c.pos + i];
    }
    return true;
}

bool writePnm(const fs::path& path, const Pnm& image)
{
    std::ofstream f(path, std::ios::binary);
    if (!f) return false;
    if (image.channels == 1 || image.channels == 3) {
        f << (image.channels == 1 ? "P5\n" : "P6\n") << image.width << " " << image.height << "\n"
          << image.maxval << "\n";
    } else {
        f << "P7\nWIDTH " << image.width << "\nHEIGHT " << image.height << "\nDEPTH " << image.channels
          << "\nMAXVAL " << image.maxval << "\nTUPLTYPE " << (image.channels == 2 ? "GRAYSCALE_ALPHA" : "RGB_ALPHA")
          << "\nENDHDR\n";
    }
    for (uint16_t s : image.samples) {
        if (image.maxval > 255) {
            char b[2] = {char(s >> 8), char(s & 0xFF)};
            f.write(b, 2);
        } else {
            f.put(char(s));
        }
    }
    return bool(f);
}

fs::path dataPath(const std::string& relative) { return fs::path(QUILLON_TEST_DATA) / relative; }

std::vector<fs::path> photographs(std::initializer_list<const char*> names)
{
    std::vector<fs::path> out;
    std::error_code ec;
    if (names.size() == 0) {
        for (fs::directory_iterator it(kPhotoFolder, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".jpg" && it->is_regular_file(ec)) out.push_back(it->path());
        std::sort(out.begin(), out.end());
        return out;
    }
    for (const char* name : names) {
        const fs::path p = fs::path(kPhotoFolder) / name;
        if (!fs::is_regular_file(p, ec)) return {};
        out.push_back(p);
    }
    return out;
}

} // namespace quillon::test
