#pragma once
// What the per-file sheet and preview tests share: a registry with every
// format, an input list, pictures made by ImageMagick, message boxes answered
// with their safe choice and recorded, and an empty cache around each test.
#include <QString>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/format_table.h"
#include "app/input_list.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "support/test_support.h"
#include "ui/hooks.h"

namespace quillon::test {

struct SheetFixture : ::testing::Test {
    TempDir dir;
    InputListHooks hooks;
    std::unique_ptr<InputList> list;
    std::vector<std::pair<QString, QString>> boxes; // text, caption

    static void SetUpTestSuite()
    {
        if (formatRegistry().count() == 0) registerAllFormats();
    }
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        ui::uiHooks() = {};
        ui::uiHooks().msgBox = [this](QWidget*, const QString& text, const QString& caption,
                                      const std::vector<ui::MsgButton>&, int32_t closeValue) {
            boxes.push_back({text, caption});
            return closeValue;
        };
        list = std::make_unique<InputList>(&hooks);
        imageCacheClear(&imageCache());
    }
    void TearDown() override
    {
        ui::uiHooks() = {};
        imageCacheClear(&imageCache());
    }

    // Arguments ending in "FORMAT:" name the output's format.
    std::filesystem::path make(const std::string& name, const std::string& args)
    {
        std::filesystem::path p = dir / name;
        const char* gap = !args.empty() && args.back() == ':' ? "" : " ";
        EXPECT_EQ(run("convert " + args + gap + shellQuote(p.string())), 0) << args;
        return p;
    }
    FileEntry& add(const std::filesystem::path& p)
    {
        EXPECT_EQ(list->addFile(p, false, false), RC_OK);
        return list->row(0);
    }
};

} // namespace quillon::test
