#include "protocol/firmware_image.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/frames.h"
#include "test_files.h"

namespace oxu {
namespace {

using testing::patterned;
using testing::TempDir;

TEST(PageCount, RoundsUpToWholePages) {
    const std::vector<std::pair<std::uintmax_t, long long>> cases = {
        {0, 0},    {1, 1},        {255, 1},      {256, 1},      {257, 2},
        {1000, 4}, {65'024, 254}, {65'280, 255}, {65'281, 256}, {1'000'000, 3907},
    };
    for (const auto& [length, pages] : cases)
        EXPECT_EQ(pageCount(length), pages) << length << " bytes";
}

TEST(PageSlice, CutsPagesAndStopsAtTheEnd) {
    const Bytes image = patterned(65'280);
    struct Case {
        std::size_t imageSize;
        int page;
        std::size_t offset;
        std::size_t length;
    };
    const std::vector<Case> cases = {
        {10, 1, 0, 10},    {10, 2, 0, 0},  {256, 1, 0, 256},           {257, 2, 256, 1},
        {300, 2, 256, 44}, {300, 3, 0, 0}, {65'280, 255, 65'024, 256}, {0, 1, 0, 0},
        {1000, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const Bytes source(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(c.imageSize));
        const Bytes slice = pageSlice(source, c.page);
        ASSERT_EQ(slice.size(), c.length) << c.imageSize << " bytes, page " << c.page;
        EXPECT_TRUE(std::equal(slice.begin(), slice.end(),
                               source.begin() + static_cast<std::ptrdiff_t>(c.offset)));
    }
}

TEST(Lire, ReadsEveryByteUnchanged) {
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{256}, std::size_t{65'280},
                             std::size_t{100'000}}) {
        const Bytes content = patterned(size);
        EXPECT_EQ(Lire(dir.file("image.bin", content)), content) << size << " bytes";
    }
    Bytes everyValue(256);
    for (int i = 0; i < 256; ++i)
        everyValue[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(Lire(dir.file("values.bin", everyValue)), everyValue);
}

TEST(Lire, ReportsWhatCannotBeRead) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.path() + "/missing.bin", "No such file or directory"},
        {dir.path(), "Is a directory"},
    };
    for (const auto& [path, reason] : cases) {
        try {
            Lire(path);
            ADD_FAILURE() << path << " was read";
        } catch (const FirmwareReadError& error) {
            const std::string text = error.what();
            EXPECT_NE(text.find(path), std::string::npos) << text;
            EXPECT_NE(text.find(reason), std::string::npos) << text;
        }
    }
}

}  // namespace
}  // namespace oxu
