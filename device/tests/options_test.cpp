#include "device/options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/kit/test_files.h"

namespace oxu::sim::test {
namespace {

TEST(Options, DefaultsAreASequentialUpdateWithTenSecondTimeout) {
    const Options options = parseOptions({});
    EXPECT_FALSE(options.expectDownload);
    EXPECT_EQ(options.faults.order, PageOrder::Sequential);
    EXPECT_EQ(options.timeout, std::chrono::seconds(10));
    EXPECT_EQ(options.wait.count(), 0);
    EXPECT_FALSE(options.imageSize);
}

TEST(Options, ReadsValuesInBothForms) {
    const Options options =
        parseOptions({"--order=reverse", "--seed", "7", "--timeout", "0.5", "--stop-after=3",
                      "--resume-after", "2", "--garbage", "5", "--baud=19200", "--split",
                      "--image-size", "1000", "--link", "/tmp/x"});
    EXPECT_EQ(options.faults.order, PageOrder::Reverse);
    EXPECT_EQ(options.faults.seed, 7u);
    EXPECT_EQ(options.timeout, std::chrono::milliseconds(500));
    EXPECT_EQ(options.faults.stopAfter, 3);
    EXPECT_EQ(options.faults.resumeAfter, std::chrono::seconds(2));
    EXPECT_EQ(options.faults.garbage, 5);
    EXPECT_EQ(options.faults.baud, 19200);
    EXPECT_TRUE(options.faults.split);
    EXPECT_EQ(options.imageSize, 1000u);
    EXPECT_EQ(options.linkPath, "/tmp/x");
}

TEST(Options, ExpectImageLoadsTheFileAndItsSize) {
    const std::string path =
        ::testing::TempDir() + std::to_string(getpid()) + "_oxu_expect_image.bin";
    std::ofstream(path, std::ios::binary) << std::string(300, 'x');
    const Options options = parseOptions({"--expect-image", path});
    ASSERT_TRUE(options.expectedImage);
    EXPECT_EQ(options.expectedImage->size(), 300u);
    EXPECT_EQ(options.imageSize, 300u);
    EXPECT_THROW(parseOptions({"--expect-image", path, "--image-size", "299"}), UsageError);
    std::remove(path.c_str());
}

TEST(Options, ExpectImageRefusesWhatIsNotARegularFileOfAnImagesSize) {
    // A folder of its own: a suite running beside this one makes the same files.
    const testkit::TempDir scratch;
    const std::string dir = scratch.path();
    const std::string fifo = dir + "/expect_fifo";
    const std::string large = dir + "/expect_large.bin";
    const std::string link = dir + "/expect_link";
    const std::string fits = dir + "/expect_fits.bin";
    mkfifo(fifo.c_str(), 0600);
    std::ofstream(large, std::ios::binary) << std::string(65281, 'x');
    std::ofstream(fits, std::ios::binary) << std::string(65280, 'x');
    symlink("/dev/zero", link.c_str());
    struct Case {
        std::string path;
        const char* messagePart;  // after --expect-image: the firmware file "<path>"
    };
    // Each would otherwise hang (the FIFO) or read until memory runs out.
    const Case cases[] = {
        {"/dev/zero", " is not a regular file"},
        {fifo, " is not a regular file"},
        {link, " is not a regular file"},
        {dir, " is not a regular file"},
        {large, " holds 65281 bytes; at most 65280 bytes (255 pages of 256) can be sent"},
    };
    for (const Case& c : cases) {
        try {
            parseOptions({"--expect-image", c.path});
            ADD_FAILURE() << "accepted: " << c.path;
        } catch (const UsageError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "--expect-image: the firmware file \"" + c.path + "\"" + c.messagePart);
        }
    }
    EXPECT_EQ(parseOptions({"--expect-image", fits}).expectedImage->size(), 65280u);
}

TEST(Options, BadUsageIsRejectedWithAMessageNamingTheFlag) {
    struct Case {
        std::vector<std::string> args;
        const char* messagePart;
    };
    const Case cases[] = {
        {{"--frobnicate"}, "unknown option \"--frobnicate\""},
        {{"extra"}, "unknown option \"extra\""},
        {{"--order", "sideways"}, "--order: \"sideways\""},
        {{"--order"}, "--order needs a value"},
        {{"--seed", "-1"}, "--seed: \"-1\""},
        {{"--timeout", "abc"}, "--timeout: \"abc\""},
        {{"--timeout", "nan"}, "--timeout: \"nan\""},
        {{"--timeout", "0"}, "--timeout: must be above 0"},
        {{"--timeout", " 1"}, "--timeout: \" 1\""},
        {{"--image-size", "65281"}, "--image-size: \"65281\""},
        {{"--image-size", "12x"}, "--image-size: \"12x\""},
        {{"--garbage", "0"}, "--garbage: \"0\""},
        {{"--baud", "99999999999999999999"}, "--baud:"},
        {{"--resume-after", "1"}, "--resume-after only makes sense with --stop-after"},
        {{"--split=yes"}, "--split takes no value"},
        {{"--version=2"}, "--version takes no value"},
        {{"--seed", "1", "-x"}, "unknown option \"-x\""},
        {{"--expect-image", "/nonexistent/oxu.bin"}, "does not exist"},
        {{"--expect-image", "/nonexistent/oxu.bin"}, "/nonexistent/oxu.bin"},
        {{"--expect-download", "--burst"}, "cannot be combined"},
        {{"--expect-download", "--download-first"}, "give one of them"},
    };
    for (const Case& c : cases) {
        try {
            parseOptions(c.args);
            ADD_FAILURE() << "accepted: " << c.args.front();
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.messagePart), std::string::npos)
                << error.what();
        }
    }
}

TEST(Options, ReadsTheFaultsOfSeveralUpdatesAndOfAPageCutShort) {
    const Options options = parseOptions({"--silent-first", "2", "--hangup-mid-page=3"});
    EXPECT_EQ(options.faults.silentFirst, 2);
    EXPECT_EQ(options.faults.hangupMidPage, 3);
    const std::vector<std::vector<std::string>> bad = {
        {"--silent-first", "0"},
        {"--hangup-mid-page", "-1"},
        {"--expect-download", "--silent-first", "1"},
        {"--expect-download", "--hangup-mid-page", "0"},
    };
    for (const auto& args : bad)
        EXPECT_THROW(parseOptions(args), UsageError) << args.back();
    EXPECT_NE(usageText().find("--silent-first"), std::string::npos);
    EXPECT_NE(usageText().find("--hangup-mid-page"), std::string::npos);
}

TEST(Options, ReadsHowLongTheBoardStaysPluggedIn) {
    EXPECT_EQ(parseOptions({}).linger.count(), 0);
    EXPECT_EQ(parseOptions({"--linger", "2.5"}).linger, std::chrono::milliseconds(2500));
    for (const char* bad : {"-1", "soon", ""})
        EXPECT_THROW(parseOptions({"--linger", bad}), UsageError) << bad;
    EXPECT_NE(usageText().find("--linger"), std::string::npos);
}

TEST(Options, ParsesAgainInTheSameProcess) {
    // getopt_long keeps its place between calls unless told to start afresh.
    for (int round = 0; round < 3; ++round) {
        const Options options = parseOptions({"--stats", "--garbage", "3", "--version"});
        EXPECT_TRUE(options.stats && options.version);
        EXPECT_EQ(options.faults.garbage, 3);
        EXPECT_THROW(parseOptions({"--silent", "left-over"}), UsageError);
    }
}

TEST(Options, HelpNamesEveryFlag) {
    const std::string help = usageText();
    for (const char* flag : {"--link",           "--wait",         "--timeout",
                             "--stats",          "--order",        "--seed",
                             "--image-size",     "--expect-image", "--save",
                             "--extra-pages",    "--silent",       "--stop-after",
                             "--resume-after",   "--page-zero",    "--split",
                             "--burst",          "--garbage",      "--retry-bad-checksum",
                             "--hangup-after",   "--baud",         "--expect-download",
                             "--download-first", "--version"}) {
        EXPECT_NE(help.find(flag), std::string::npos) << flag;
    }
}

}  // namespace
}  // namespace oxu::sim::test
