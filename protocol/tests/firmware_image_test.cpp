#include "protocol/firmware_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "protocol/frames.h"
#include "tests/kit/test_files.h"

namespace oxu {
namespace {

using testkit::patterned;
using testkit::TempDir;

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

class FirmwareCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("oxu-cli-check-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string makeFile(const std::string& name, std::size_t size) {
        const auto path = m_dir / name;
        std::ofstream(path, std::ios::binary) << std::string(size, '\x5A');
        return path.string();
    }

    std::filesystem::path m_dir;
};

TEST_F(FirmwareCheckTest, AcceptsEverySizeTheHeaderCanAnnounce) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65'280}}) {
        const FirmwareCheck check = checkFirmwareFile(makeFile("ok.bin", size));
        EXPECT_TRUE(check.ok()) << size << ": " << check.problem;
        EXPECT_EQ(check.size, size);
    }
}

TEST_F(FirmwareCheckTest, NamesTheFileAndTheReasonForEachBadFile) {
    struct Case {
        std::string path;
        const char* reason;
    };
    const Case cases[] = {
        {makeFile("big.bin", 65'281), "holds 65281 bytes; at most 65280"},
        {(m_dir / "missing.bin").string(), "does not exist"},
        {m_dir.string(), "is not a regular file"},
    };
    for (const Case& c : cases) {
        const FirmwareCheck check = checkFirmwareFile(c.path);
        EXPECT_NE(check.problem.find(c.reason), std::string::npos) << check.problem;
        EXPECT_NE(check.problem.find(c.path), std::string::npos) << check.problem;
    }
}

}  // namespace
}  // namespace oxu
