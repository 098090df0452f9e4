#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <stdexcept>
#include <string>

namespace oxu {
namespace {

struct ChecksumCase {
    const char* name;
    Bytes data;
    Bytes expected;
};

TEST(Checksum, MatchesWorkedValues) {
    const std::vector<ChecksumCase> cases = {
        {"empty", {}, {0x00, 0x00}},
        {"abc", {'a', 'b', 'c'}, {0x01, 0x26}},
        {"single 0xFF", {0xFF}, {0x00, 0xFF}},
        {"sum exactly 256", {0xFF, 0x01}, {0x01, 0x00}},
        {"full page of 0xFF", Bytes(256, 0xFF), {0xFF, 0x00}},
        {"header bytes for 4 pages", {0xAA, 0x04}, {0x00, 0xAE}},
    };
    for (const ChecksumCase& c : cases)
        EXPECT_EQ(Checksum(c.data), c.expected) << c.name;
}

TEST(Checksum, EqualsIndependentSumOverRandomFrames) {
    std::mt19937 random(12345);
    for (int round = 0; round < 500; ++round) {
        Bytes data(random() % 258);
        for (auto& byte : data)
            byte = static_cast<std::uint8_t>(random());
        const unsigned sum = std::accumulate(data.begin(), data.end(), 0u);
        const Bytes result = Checksum(data);
        ASSERT_EQ(result.size(), 2u);
        EXPECT_EQ(result[0] * 256u + result[1], sum) << "length " << data.size();
    }
}

TEST(Checksum, RefusesSumBeyondTwoBytes) {
    EXPECT_NO_THROW(Checksum(Bytes(257, 0xFF)));
    EXPECT_THROW(Checksum(Bytes(258, 0xFF)), std::overflow_error);
}

TEST(Frames, DownloadCommandIsSlashUAndMark) {
    EXPECT_EQ(buildDownloadCommand(), (Bytes{0x2F, 0x55, 0xAA}));
}

TEST(Frames, HeaderCarriesCountAndChecksum) {
    const std::vector<std::pair<int, Bytes>> cases = {
        {0, {0xAA, 0x00, 0x00, 0xAA}},  {2, {0xAA, 0x02, 0x00, 0xAC}},
        {4, {0xAA, 0x04, 0x00, 0xAE}},  {85, {0xAA, 0x55, 0x00, 0xFF}},
        {86, {0xAA, 0x56, 0x01, 0x00}}, {255, {0xAA, 0xFF, 0x01, 0xA9}},
    };
    for (const auto& [count, expected] : cases)
        EXPECT_EQ(buildHeaderFrame(count), expected) << count << " pages";
}

TEST(Frames, HeaderRefusesCountThatDoesNotFitItsByte) {
    try {
        buildHeaderFrame(256);
        FAIL() << "256 pages accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(),
                     "The firmware image has 256 pages; at most 255 (65,280 bytes) can be sent.");
    }
    EXPECT_THROW(buildHeaderFrame(100000), std::invalid_argument);
    EXPECT_THROW(buildHeaderFrame(-1), std::invalid_argument);
}

TEST(Frames, PageFrameIsDataThenChecksum) {
    Bytes image(300);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7);

    const Bytes first = buildPageFrame(ByteView(image).first(256));
    ASSERT_EQ(first.size(), 258u);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 256, first.begin()));
    EXPECT_EQ(Bytes(first.end() - 2, first.end()), Checksum(ByteView(image).first(256)));

    const Bytes last = buildPageFrame(ByteView(image).subspan(256));
    EXPECT_EQ(last.size(), 46u);

    EXPECT_EQ(buildPageFrame({}), (Bytes{0x00, 0x00}));
}

}  // namespace
}  // namespace oxu
