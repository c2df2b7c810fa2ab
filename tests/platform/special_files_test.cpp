// A named pipe where a file is expected (an input image, its side-car, the
// settings store, a preset): opening one for reading waits for a writer, so
// every reader must refuse it at once instead of hanging the program.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>

#include "platform/mapped_file.h"
#include "platform/profile.h"
#include "platform/settings_store.h"
#include "processing/colour_adjust.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Runs `open` on another thread. Should it block on the pipe, a writer is
// attached after a generous wait to release it, and the test fails.
void expectNoWait(const fs::path& fifo, const std::function<void()>& open)
{
    auto done = std::async(std::launch::async, open);
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked opening " << fifo;
        int w = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (w >= 0) ::close(w);
    }
    done.wait();
}

} // namespace

TEST(SpecialFiles, NamedPipesAreRefusedWithoutWaitingForAWriter)
{
    TempDir dir;
    for (const char* name : {"pipe.bmp", "pipe.bmp.qxa", "settings.bin", "preset.qpt"})
        ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0) << name;

    expectNoWait(dir / "pipe.bmp", [&] { EXPECT_EQ(mappedFileOpen(dir / "pipe.bmp"), nullptr); });
    expectNoWait(dir / "pipe.bmp.qxa", [&] {
        AdjustmentSettings adj;
        EXPECT_EQ(adjustSidecarRead(adj, dir / "pipe.bmp"), 0u);
    });
    expectNoWait(dir / "settings.bin", [&] {
        auto store = SettingsStore::openFile(dir / "settings.bin");
        uint32_t value = 0;
        if (store) {
            EXPECT_FALSE(store->readDword("iOutFormats", value));
        }
    });
    expectNoWait(dir / "preset.qpt", [&] {
        ProfileFile preset(dir / "preset.qpt");
        EXPECT_FALSE(preset.readable());
    });
}
