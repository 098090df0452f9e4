// The port options of a command line, as every front end reads them: each
// value checked with the same words, ports in the order given, and devices
// paired with them.

#include "runs/port_requests.h"

#include <gtest/gtest.h>

#include <functional>

namespace oxu::runs {
namespace {

using Numbers = std::vector<int>;
using Devices = std::vector<std::string>;

TEST(PortRequests, PairsNumbersAndDevicesOrSaysWhatIsWrong) {
    struct Case {
        Numbers numbers;
        Devices devices;
        std::vector<PortRequest> requests;
        const char* error;
    };
    const Case cases[] = {
        {{}, {}, {}, nullptr},
        {{3, 1}, {}, {{3, std::nullopt}, {1, std::nullopt}}, nullptr},
        {{}, {"/dev/a", "/dev/b"}, {{1, "/dev/a"}, {2, "/dev/b"}}, nullptr},
        {{7}, {"/dev/a"}, {{7, "/dev/a"}}, nullptr},
        {{1, 2}, {"/dev/a"}, {}, "give one --device for each port: 2 ports and 1 devices"},
        {{2, 2}, {}, {}, "port 2 is given twice"},
        {Numbers(17, 1), {}, {}, "at most 16 ports at once, not 17"},
        {{}, Devices(17, "/dev/a"), {}, "at most 16 ports at once, not 17"},
        // Too many devices is said as such, even beside fewer ports.
        {{1, 2}, Devices(17, "/dev/a"), {}, "at most 16 ports at once, not 17"},
    };
    for (const Case& c : cases) {
        try {
            EXPECT_EQ(pairPortRequests(c.numbers, c.devices), c.requests);
            EXPECT_EQ(c.error, nullptr);
        } catch (const OptionError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}

TEST(PortRequests, ReadsEachValueOrSaysWhatItMustBe) {
    using Parse = std::function<std::vector<int>(const std::string&)>;
    const auto one = [](int (*parse)(const std::string&)) -> Parse {
        return [parse](const std::string& text) { return std::vector<int>{parse(text)}; };
    };
    const Parse port = one(parsePortNumber), baud = one(parseBaudRate),
                retry = one(parseRetryCount), list = parsePortList;
    struct Case {
        const Parse& parse;
        std::string text;
        Numbers value;  // empty: refused with `error`
        std::string error = {};
    };
    const std::string portWords = "--port must be a number from 1 to 16, not ";
    const std::string listWords = "--ports must list ports 1 to 16 such as 1-4,7, not ";
    const Case cases[] = {
        {port, "09", {9}},
        {port, "16", {16}},
        {list, "5", {5}},
        {list, "1-3,7", {1, 2, 3, 7}},
        {list, "3-5,1", {3, 4, 5, 1}},
        {list, "16-16", {16}},
        {baud, "9600", {9600}},
        {baud, "38400", {38400}},
        {retry, "0", {0}},
        {retry, "100", {100}},
        {port, "0", {}, portWords + "\"0\""},
        {port, "17", {}, portWords + "\"17\""},
        {port, "+1", {}, portWords + "\"+1\""},
        {port, "1 ", {}, portWords + "\"1 \""},
        {port, "", {}, portWords + "\"\""},
        {list, "4-1", {}, listWords + "\"4-1\""},
        {list, "15-17", {}, listWords + "\"15-17\""},
        {list, "1-2-3", {}, listWords + "\"1-2-3\""},
        {list, "1,,2", {}, listWords + "\"1,,2\""},
        {list, "1,", {}, listWords + "\"1,\""},
        {list, "3-", {}, listWords + "\"3-\""},
        {list, "-", {}, listWords + "\"-\""},
        {list, "1;2", {}, listWords + "\"1;2\""},
        {list, " 1", {}, listWords + "\" 1\""},
        {list, "", {}, listWords + "\"\""},
        {baud, "4800", {}, "--baud must be 9600, 19200 or 38400, not \"4800\""},
        {baud, "fast", {}, "--baud must be 9600, 19200 or 38400, not \"fast\""},
        {retry, "101", {}, "--retry must be a number from 0 to 100, not \"101\""},
        {retry, "-1", {}, "--retry must be a number from 0 to 100, not \"-1\""},
    };
    for (const Case& c : cases) {
        try {
            EXPECT_EQ(c.parse(c.text), c.value) << c.text;
            EXPECT_TRUE(c.error.empty()) << c.text;
        } catch (const OptionError& error) {
            EXPECT_EQ(error.what(), c.error);
        }
    }
    EXPECT_EQ(parseDigits("123456789"), 123456789);
    EXPECT_EQ(parseDigits("1234567890"), std::nullopt);
}

TEST(PortRequests, ReadsPortsInTheOrderGivenAndPathsAsTyped) {
    struct Case {
        std::vector<std::string> args;
        Numbers numbers;
        Devices devices;
        std::optional<std::string> log;
        const char* error;
    };
    const Case cases[] = {
        {{}, {}, {}, {}, nullptr},
        {{"--port", "9", "--ports=2-3", "--port", "1"}, {9, 2, 3, 1}, {}, {}, nullptr},
        {{"--device", "/dev/a", "--port", "7", "--device=/dev/b"},
         {7},
         {"/dev/a", "/dev/b"},
         {},
         nullptr},
        // A path's bytes come back as typed, whatever their encoding.
        {{"--device", "/dev/caf\xe9", "--log", "/var/log/\xe9.jsonl"},
         {},
         {"/dev/caf\xe9"},
         "/var/log/\xe9.jsonl",
         nullptr},
        {{"--log=first", "--log", "last"}, {}, {}, "last", nullptr},
        {{"--port", "1", "--port", "x"},
         {},
         {},
         {},
         "--port must be a number from 1 to 16, not \"x\""},
        {{"--ports", "2-1"},
         {},
         {},
         {},
         "--ports must list ports 1 to 16 such as 1-4,7, not \"2-1\""},
        {{"--device="}, {}, {}, {}, "--device needs a device path, e.g. /dev/ttyUSB0"},
        {{"--log="}, {}, {}, {}, "--log needs a file path"},
    };
    for (const Case& c : cases) {
        QCommandLineParser parser;
        parser.addOptions({{"port", {}, "N"},
                           {"ports", {}, "LIST"},
                           {"device", {}, "PATH"},
                           {"log", {}, "FILE"}});
        QStringList line{"program"};
        for (const std::string& arg : c.args)
            line << QString::fromLatin1(arg);
        ASSERT_TRUE(parser.parse(line));
        try {
            const PortOptions read = readPortOptions(parser);
            EXPECT_EQ(read.numbers, c.numbers);
            EXPECT_EQ(read.devices, c.devices);
            EXPECT_EQ(readLogPath(parser), c.log);
            EXPECT_EQ(c.error, nullptr);
        } catch (const OptionError& error) {
            EXPECT_STREQ(error.what(), c.error);
        }
    }
}

}  // namespace
}  // namespace oxu::runs
