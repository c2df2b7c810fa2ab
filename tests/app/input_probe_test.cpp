// The input list over the real format registry and side-car reader: a
// minimal netpbm reader stands in for the codecs, fed with files that
// ImageMagick made.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

ResultCode probePnm(MappedFile* f)
{
    const uint8_t* d = f->data();
    return f->size() >= 3 && d[0] == 'P' && (d[1] == '5' || d[1] == '6') ? RC_OK : RC_UNKNOWN_FORMAT;
}

// Reads the header of binary PGM and PPM files.
class PnmHeaderReader final : public ImageReader {
public:
    using ImageReader::ImageReader;

protected:
    ResultCode readHeader(const void*) override
    {
        const char* p = reinterpret_cast<const char*>(fileData());
        const char* end = p + fileSize();
        bool grey = p[1] == '5';
        p += 2;
        uint32_t values[3] = {};
        for (uint32_t& v : values) {
            while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
            if (p == end || *p < '0' || *p > '9') return RC_CORRUPT_FILE;
            while (p < end && *p >= '0' && *p <= '9') v = v * 10 + uint32_t(*p++ - '0');
        }
        width = values[0];
        height = values[1];
        bool wide = values[2] > 255;
        pixelFormat = grey ? (wide ? PF_GRAY16 : PF_GRAY8) : (wide ? PF_RGBA16 : PF_RGBA8);
        colourModel = grey ? CM_L : CM_RGB;
        bitsPerPixel = (grey ? 1 : 3) * (wide ? 16 : 8);
        return RC_OK;
    }
    ResultCode readPixels(Image*, bool, Progress*, AbortFlag*) override { return RC_OK; }
};
ImageReader* pnmCreate(MappedFile* f, const FormatDescriptor* d) { return new PnmHeaderReader(f, d); }

class Hooks : public InputListHooks {
public:
    void showError(std::u16string_view text, std::u16string_view caption) override
    {
        errors.emplace_back(u16ToUtf8(text), u16ToUtf8(caption));
    }
    std::vector<std::pair<std::string, std::string>> errors;
};

void put32(std::string& s, uint32_t v)
{
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xFF);
}

void putPair(std::string& s, const char* tag, float value)
{
    s.append(tag, 4);
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    put32(s, bits);
}

} // namespace

TEST(InputProbe, FilesOpenThroughTheRegistryWithSidecars)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    ASSERT_EQ(run("convert -size 7x5 gradient: -depth 8 " + shellQuote((dir / "grey.pgm").string())), 0);
    ASSERT_EQ(run("convert -size 9x3 xc:red -depth 16 " + shellQuote((dir / "deep.ppm").string())), 0);
    // The content decides when the extension names no (or another) format.
    ASSERT_EQ(run("convert -size 4x6 xc:blue -depth 8 ppm:" + shellQuote((dir / "misnamed.jpg").string())), 0);
    writeFile(dir / "notes.txt", std::string("plain text"));
    writeFile(dir / "empty.pgm", std::string());

    // A side-car: luminance above the cap, a red gain and a quarter turn.
    std::string riff = "RIFF";
    std::string body = "LMADLADJ";
    put32(body, 24);
    putPair(body, "CLUM", 3.0f);
    putPair(body, "CRED", 0.5f);
    putPair(body, "IROT", 1.0f);
    put32(riff, uint32_t(body.size()));
    writeFile(dir / "grey.pgm.qxa", riff + body);

    FormatDescriptor pgm{u"pgm", u"Portable graymap", probePnm, pnmCreate};
    FormatDescriptor ppm{u"ppm", u"Portable pixmap", probePnm, pnmCreate};
    FormatRegistry registry;
    registry.add(&pgm);
    registry.add(&ppm);
    Hooks hooks;
    hooks.registry = &registry;
    InputList list(&hooks);

    for (const char* name : {"grey.pgm", "deep.ppm", "misnamed.jpg"})
        EXPECT_EQ(list.addFile(dir / name, true, false), RC_OK) << name;
    EXPECT_EQ(list.addFile(dir / "notes.txt", true, false), RC_UNKNOWN_FORMAT);
    EXPECT_EQ(list.addFile(dir / "empty.pgm", true, false), RC_OPEN_FAILED);
    using Box = std::pair<std::string, std::string>;
    EXPECT_EQ(hooks.errors, (std::vector<Box>{{"Unknown file format", "Error - Quillon"},
                                              {"Couldn't open file", "Error - Quillon"}}));
    ASSERT_EQ(list.fileCount(), 3u);

    const FileEntry& grey = *list.slot(0);
    EXPECT_EQ(grey.path, dir / "grey.pgm");
    EXPECT_EQ(u16ToUtf8(grey.fileName), "grey.pgm");
    EXPECT_EQ(grey.fileSize, fs::file_size(dir / "grey.pgm"));
    EXPECT_EQ(grey.width, 7u);
    EXPECT_EQ(grey.height, 5u);
    EXPECT_EQ(grey.kind, 2);
    EXPECT_EQ(grey.sampleType, u'b');
    ASSERT_NE(grey.adjustments, nullptr);
    EXPECT_EQ(grey.adjustments->luminance, 1.0f);
    EXPECT_EQ(grey.adjustments->red, 0.5f);
    EXPECT_EQ(grey.adjustments->orientation, 1);
    EXPECT_EQ(grey.adjustments->colourCount, 2u);
    EXPECT_EQ(grey.adjustments->otherCount, 1u);
    EXPECT_EQ(u16ToUtf8(fileListColumnText(grey, 1)), "5 \u00B7 7");

    const FileEntry& deep = *list.slot(1);
    EXPECT_EQ(deep.sampleType, u'w');
    EXPECT_EQ(deep.bitsPerPixel, 48);
    EXPECT_EQ(deep.kind, 0);
    EXPECT_EQ(deep.adjustments, nullptr);
    EXPECT_EQ(u16ToUtf8(fileListColumnText(deep, 2)), "w|48");

    EXPECT_EQ(list.slot(2)->width, 4u);
    EXPECT_EQ(list.slot(2)->height, 6u);
}

TEST(InputProbe, DialogFoldersPresetsAndSilentModeReachTheJobSettings)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    fs::create_directories(dir / "pics" / "sub");
    ASSERT_EQ(run("convert -size 3x2 xc:gray -depth 8 " + shellQuote((dir / "pics" / "a.pgm").string())), 0);
    ASSERT_EQ(run("convert -size 3x2 xc:gray -depth 8 " + shellQuote((dir / "pics" / "sub" / "b.pgm").string())),
              0);
    FormatDescriptor pgm{u"pgm", u"Portable graymap", probePnm, pnmCreate};
    FormatRegistry registry;
    registry.add(&pgm);
    Hooks hooks;
    hooks.registry = &registry;
    InputList list(&hooks);

    JobSettings saved = jobSettings();
    AddDirectoryParams params;
    params.folder = (dir / "pics").string() + "///";
    params.recurse = 1;
    addDirectoryAccepted(list, params);
    EXPECT_EQ(params.folder, dir / "pics"); // stored without its separator
    ASSERT_GE(jobSettings().recentFolders.entries().size(), 1u);
    EXPECT_EQ(jobSettings().recentFolders.entries()[0], (dir / "pics").string() + "/");
    EXPECT_EQ(list.fileCount(), 2u);

    writeFile(dir / "job.QPT", std::string("[Quillon]\r\nbDeleteSrcFiles=1\r\niKeepSubDirLevels=-2\r\n"));
    InputListCommandTarget target(list);
    jobSettings().silentMode = 0;
    jobSettings().bDeleteSrcFiles = 0;
    jobSettings().iKeepSubDirLevels = 1;
    EXPECT_TRUE(commandLineHandle({"-silent", (dir / "job.QPT").string()}, target));
    EXPECT_EQ(jobSettings().silentMode, 1);
    EXPECT_EQ(jobSettings().bDeleteSrcFiles, 1);
    EXPECT_EQ(jobSettings().iKeepSubDirLevels, -2);
    jobSettings() = saved;
}

TEST(InputProbe, AFolderScanAddsEachFileOnceWithItsSidecar)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    fs::create_directories(dir / "scan");
    ASSERT_EQ(run("convert -size 7x5 gradient: -depth 8 " + shellQuote((dir / "scan" / "a.pgm").string())), 0);
    // Two more names of the same file, and a file with a side-car.
    fs::create_hard_link(dir / "scan" / "a.pgm", dir / "scan" / "b.pgm");
    fs::create_symlink(dir / "scan" / "a.pgm", dir / "scan" / "c.pgm");
    ASSERT_EQ(run("convert -size 3x2 xc:white -depth 8 " + shellQuote((dir / "scan" / "d.pgm").string())), 0);
    std::string riff = "RIFF";
    std::string body = "LMADLADJ";
    put32(body, 8);
    putPair(body, "IROT", 1.0f);
    put32(riff, uint32_t(body.size()));
    writeFile(dir / "scan" / "d.pgm.qxa", riff + body);

    FormatDescriptor pgm{u"pgm", u"Portable graymap", probePnm, pnmCreate};
    FormatRegistry registry;
    registry.add(&pgm);
    Hooks hooks;
    hooks.registry = &registry;
    InputList list(&hooks);
    list.addDirectory(dir / "scan", nullptr);
    ASSERT_EQ(list.fileCount(), 2u);
    EXPECT_EQ(list.slot(0)->path, dir / "scan" / "a.pgm");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "scan" / "a.pgm").c_str(), &st), 0);
    EXPECT_EQ(list.slot(0)->inode, uint64_t(st.st_ino));
    EXPECT_EQ(list.slot(0)->device, uint64_t(st.st_dev));
    const FileEntry& d = *list.slot(1);
    EXPECT_EQ(d.path, dir / "scan" / "d.pgm");
    ASSERT_TRUE(d.adjustments);
    EXPECT_EQ(d.adjustments->orientation, 1);
    // The file added again by its other names changes nothing.
    EXPECT_EQ(list.addFile(dir / "scan" / "b.pgm", true, false), RC_OK);
    EXPECT_EQ(list.fileCount(), 2u);
}
