#include "device/session.h"

#include <gtest/gtest.h>

#include <numeric>

#include "device/tests/scripted_program.h"

namespace oxu::sim::test {
namespace {

using std::chrono::microseconds;

Bytes makeImage(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    return image;
}

Options quickOptions() {
    Options options;
    options.faults.seed = 42;
    options.timeout = std::chrono::seconds(1);
    options.wait = std::chrono::seconds(1);
    return options;
}

std::vector<int> range(int first, int last) {
    std::vector<int> pages(static_cast<std::size_t>(last - first + 1));
    std::iota(pages.begin(), pages.end(), first);
    return pages;
}

TEST(UpdateSession, CompletesUpdateAndKeepsTheImage) {
    const Bytes image = makeImage(1000);
    ScriptedProgram program(image);
    const UpdateReport report = runUpdate(program, quickOptions());

    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_TRUE(program.completed);
    EXPECT_EQ(program.writes.back(), Bytes{kCompletionByte});
    EXPECT_EQ(report.requested, range(1, 4));
    EXPECT_EQ(report.announcedPages, 4);
    EXPECT_EQ(report.pagesOk, 4);
    EXPECT_EQ(report.imageBytes, 1000u);
    EXPECT_EQ(report.receivedBytes, 4u + 1000u + 4 * 2);
    EXPECT_EQ(report.roundTrips.size(), 4u);
    ASSERT_TRUE(report.image);
    EXPECT_EQ(*report.image, image);
    EXPECT_EQ(report.portClosed, true);
}

TEST(UpdateSession, EmptyImageCompletesWithoutRequests) {
    ScriptedProgram program({});
    const UpdateReport report = runUpdate(program, quickOptions());
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_TRUE(report.requested.empty());
    EXPECT_TRUE(program.completed);
}

struct OrderCase {
    const char* name;
    PageOrder order;
    std::optional<std::size_t> imageSize;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.name;
}

class PageOrders : public ::testing::TestWithParam<OrderCase> {};

TEST_P(PageOrders, EveryOrderDeliversTheWholeImage) {
    const Bytes image = makeImage(5 * 256 - 17);
    ScriptedProgram program(image);
    program.chunkSize = 100;  // frames arrive in pieces
    Options options = quickOptions();
    options.faults.order = GetParam().order;
    options.imageSize = GetParam().imageSize;
    const UpdateReport report = runUpdate(program, options);

    ASSERT_TRUE(report.ok) << report.reason;
    EXPECT_EQ(*report.image, image);
    std::vector<int> expected = range(1, 5);
    switch (GetParam().order) {
        case PageOrder::Sequential:
            break;
        case PageOrder::Reverse:
            std::reverse(expected.begin(), expected.end());
            break;
        case PageOrder::Repeat:
            expected = {1, 1, 2, 2, 3, 3, 4, 4, 5, 5};
            break;
        case PageOrder::Random: {
            std::vector<int> sorted = report.requested;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(sorted, expected);
            std::mt19937_64 sameSeed(42);
            expected = makePageOrder(PageOrder::Random, 5, 0, sameSeed);
            break;
        }
    }
    EXPECT_EQ(report.requested, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, PageOrders,
    ::testing::Values(OrderCase{"Sequential", PageOrder::Sequential, std::nullopt},
                      OrderCase{"SequentialSized", PageOrder::Sequential, 5 * 256 - 17},
                      OrderCase{"Reverse", PageOrder::Reverse, std::nullopt},
                      OrderCase{"ReverseSized", PageOrder::Reverse, 5 * 256 - 17},
                      OrderCase{"Repeat", PageOrder::Repeat, std::nullopt},
                      OrderCase{"Random", PageOrder::Random, 5 * 256 - 17}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadFrameCase {
    const char* name;
    bool sized;  // run with --image-size
    std::function<void(int page, int serving, Bytes& frame)> alter;
    const char* reasonStart;
    int checksumErrors;
};

void PrintTo(const BadFrameCase& c, std::ostream* os) {
    *os << c.name;
}

class BadFrames : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrames, FailsNamingThePage) {
    const Bytes image = makeImage(1000);
    ScriptedProgram program(image);
    program.alterFrame = GetParam().alter;
    Options options = quickOptions();
    if (GetParam().sized)
        options.imageSize = image.size();
    const UpdateReport report = runUpdate(program, options);

    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.reason.rfind(GetParam().reasonStart, 0), 0u) << report.reason;
    EXPECT_EQ(report.checksumErrors, GetParam().checksumErrors);
    EXPECT_FALSE(program.completed);
    EXPECT_FALSE(report.image);
    EXPECT_NE(formatVerdict(report).find("verdict: fail"), std::string::npos);
}

auto onPage(int target, std::function<void(Bytes&)> edit) {
    return [target, edit](int page, int, Bytes& frame) {
        if (page == target)
            edit(frame);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrames,
    ::testing::Values(
        BadFrameCase{"WrongChecksum", false, onPage(3, [](Bytes& f) { f.back() ^= 1; }),
                     "page 3: checksum", 1},
        BadFrameCase{"CorruptedData", true, onPage(2, [](Bytes& f) { f[10] ^= 0x40; }),
                     "page 2: checksum", 1},
        BadFrameCase{"FrameTooLong", true, onPage(2, [](Bytes& f) { f.push_back(0); }),
                     "page 2: 1 bytes more than its 258-byte frame", 0},
        BadFrameCase{"FrameTooShort", false, onPage(2, [](Bytes& f) { f.pop_back(); }),
                     "page 2: the frame stopped after 257 of 258 bytes", 0},
        BadFrameCase{"LastPageTooShortForItsSize", true, onPage(4, [](Bytes& f) { f.pop_back(); }),
                     "page 4: the frame stopped after 233 of 234 bytes", 0},
        BadFrameCase{"LastPageTooLong", false,
                     onPage(4, [](Bytes& f) { f.insert(f.begin(), 40, 0); }),
                     "page 4: a frame of 274 bytes", 0},
        BadFrameCase{"LastPageNeverEnds", false,
                     onPage(4, [](Bytes& f) { f.insert(f.begin(), 100000, 0); }),
                     "page 4: a frame of 100000 bytes", 0},
        BadFrameCase{"NoAnswer", false, onPage(1, [](Bytes& f) { f.clear(); }),
                     "page 1: no answer within 1 s", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateSession, RepeatedPageThatChangesFails) {
    ScriptedProgram program(makeImage(1000));
    program.alterFrame = [](int page, int serving, Bytes& frame) {
        if (page == 1 && serving == 2)
            frame = buildPageFrame(Bytes(256, 1));
    };
    Options options = quickOptions();
    options.faults.order = PageOrder::Repeat;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.reason, "page 1: differs from the copy received before");
}

TEST(UpdateSession, RetriesBadChecksumUntilItChecksOut) {
    ScriptedProgram program(makeImage(1000));
    program.alterFrame = [](int page, int serving, Bytes& frame) {
        if (page == 2 && serving <= 2)
            frame.back() ^= 1;
    };
    Options options = quickOptions();
    options.faults.retryBadChecksum = true;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_EQ(report.requested, (std::vector<int>{1, 2, 2, 2, 3, 4}));
    EXPECT_EQ(report.checksumErrors, 2);
    EXPECT_EQ(report.retries, 2);
    EXPECT_TRUE(program.completed);
}

TEST(UpdateSession, GivesUpAfterThreeRetries) {
    ScriptedProgram program(makeImage(1000));
    program.alterFrame = onPage(2, [](Bytes& f) { f.back() ^= 1; });
    Options options = quickOptions();
    options.faults.retryBadChecksum = true;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.requested, (std::vector<int>{1, 2, 2, 2, 2, 3, 4}));
    EXPECT_EQ(report.checksumErrors, 4);
    EXPECT_FALSE(program.completed);
}

struct HeaderCase {
    const char* name;
    Bytes sent;
    std::optional<std::size_t> imageSize;
    const char* reasonPart;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class BadHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(BadHeaders, FailsWithoutRequestingAnything) {
    ScriptedProgram program(makeImage(1000));
    program.replaceOutgoing(GetParam().sent);
    Options options = quickOptions();
    options.imageSize = GetParam().imageSize;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_NE(report.reason.find(GetParam().reasonPart), std::string::npos) << report.reason;
    EXPECT_TRUE(report.requested.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BadHeaders,
    ::testing::Values(
        HeaderCase{"WrongChecksum", {0xAA, 0x04, 0x00, 0xAF}, std::nullopt, "checksum 00 af"},
        HeaderCase{"DownloadCommand", {0x2F, 0x55, 0xAA}, std::nullopt, "--expect-download"},
        HeaderCase{"Truncated", {0xAA, 0x04}, std::nullopt, "stopped after 2 of 4"},
        HeaderCase{"Nothing", {}, std::nullopt, "no header from the program within 1 s"},
        HeaderCase{"CountDisagreesWithImageSize",
                   {0xAA, 0x03, 0x00, 0xAD},
                   1000,
                   "announces 3 pages; an image of 1000 bytes has 4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateFaults, PageZeroIsIgnoredByTheProgramThenTheUpdateCompletes) {
    ScriptedProgram program(makeImage(600));
    Options options = quickOptions();
    options.faults.pageZero = true;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_EQ(program.pageZeroRequests, 1);
    EXPECT_EQ(report.requested, (std::vector<int>{0, 1, 2, 3}));
}

TEST(UpdateFaults, SplitRequestsStillComplete) {
    ScriptedProgram program(makeImage(600));
    Options options = quickOptions();
    options.faults.split = true;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    for (std::size_t i = 0; i + 1 < program.writes.size(); ++i)
        EXPECT_EQ(program.writes[i].size(), 1u);
}

TEST(UpdateFaults, BurstHidesCompletionFromTheProgram) {
    ScriptedProgram program(makeImage(600));
    Options options = quickOptions();
    options.faults.burst = true;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(program.writes.back(), (Bytes{0xAA, 3, 0x55}));
    EXPECT_FALSE(program.completed);
    EXPECT_EQ(report.pagesOk, 3);
    EXPECT_EQ(report.portClosed, false);
    EXPECT_NE(report.reason.find("never saw completion"), std::string::npos) << report.reason;
}

TEST(UpdateFaults, GarbageBeforeTheFirstRequestIsDroppedByTheProgram) {
    ScriptedProgram program(makeImage(600));
    Options options = quickOptions();
    options.faults.garbage = 64;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_TRUE(program.completed);
    ASSERT_GE(program.writes.size(), 2u);
    EXPECT_EQ(program.writes[0].size(), 64u);
    for (std::uint8_t byte : program.writes[0]) {
        EXPECT_NE(byte, kFrameMark);
        EXPECT_NE(byte, kCompletionByte);
    }
}

TEST(UpdateFaults, SilenceAndStopsEndWithoutCompletion) {
    struct Case {
        const char* name;
        std::function<void(Options&)> set;
        std::vector<int> requested;
        const char* reasonStart;
    };
    const Case cases[] = {
        {"silent", [](Options& o) { o.faults.silent = true; }, {}, "--silent"},
        {"stop", [](Options& o) { o.faults.stopAfter = 2; }, {1, 2}, "--stop-after 2: fell silent"},
        {"hangup", [](Options& o) { o.faults.hangupAfter = 1; }, {1}, "--hangup-after 1"},
    };
    for (const Case& c : cases) {
        ScriptedProgram program(makeImage(1000));
        Options options = quickOptions();
        c.set(options);
        const UpdateReport report = runUpdate(program, options);
        EXPECT_FALSE(report.ok) << c.name;
        EXPECT_EQ(report.requested, c.requested) << c.name;
        EXPECT_EQ(report.reason.rfind(c.reasonStart, 0), 0u) << c.name << ": " << report.reason;
        EXPECT_FALSE(program.completed) << c.name;
        EXPECT_EQ(program.hungUp, std::string(c.name) == "hangup");
    }
}

TEST(UpdateFaults, HangUpMidPageDropsTheLineWithTheFrameOnItsWay) {
    ScriptedProgram program(makeImage(1000));
    Options options = quickOptions();
    options.faults.hangupMidPage = 1;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.requested, (std::vector<int>{1, 2}));
    EXPECT_EQ(report.pagesOk, 1);
    EXPECT_TRUE(program.hungUp);
    EXPECT_EQ(report.reason.rfind("--hangup-mid-page 1: dropped the line halfway", 0), 0u)
        << report.reason;
}

TEST(UpdateFaults, SilentFirstServesTheUpdateThatFollows) {
    struct Case {
        const char* name;
        int silentFirst;
        int restarts;  // times the program starts over
        bool ok;
        int updates;
    };
    const Case cases[] = {
        {"started over once", 1, 1, true, 2},
        {"started over twice", 2, 2, true, 3},
        {"never started over", 1, 0, false, 1},
    };
    for (const Case& c : cases) {
        ScriptedProgram program(makeImage(1000));
        program.restartsWhenKeptWaiting = c.restarts;
        Options options = quickOptions();
        options.faults.silentFirst = c.silentFirst;
        const UpdateReport report = runUpdate(program, options);
        EXPECT_EQ(report.ok, c.ok) << c.name << ": " << report.reason;
        EXPECT_EQ(report.updates, c.updates) << c.name;
        EXPECT_EQ(program.completed, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(report.requested, range(1, 4)) << c.name;
            EXPECT_EQ(report.image, makeImage(1000)) << c.name;
        } else {
            EXPECT_TRUE(report.requested.empty()) << c.name;
            EXPECT_NE(report.reason.find("did not start again"), std::string::npos) << c.name;
        }
    }
}

TEST(UpdateFaults, StopThenResumeCompletes) {
    ScriptedProgram program(makeImage(1000));
    Options options = quickOptions();
    options.faults.stopAfter = 2;
    options.faults.resumeAfter = std::chrono::seconds(3);
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_TRUE(program.completed);
    EXPECT_GE(report.elapsed, std::chrono::seconds(3));  // fake time: the pause was taken
}

TEST(UpdateFaults, ExtraPagesMustBeEmptyFrames) {
    Options options = quickOptions();
    options.faults.extraPages = 2;
    ScriptedProgram good(makeImage(300));
    const UpdateReport ok = runUpdate(good, options);
    EXPECT_TRUE(ok.ok) << ok.reason;
    EXPECT_EQ(ok.requested, range(1, 4));

    ScriptedProgram bad(makeImage(300));
    bad.alterFrame = onPage(3, [](Bytes& f) { f = buildPageFrame(Bytes{1, 2}); });
    const UpdateReport report = runUpdate(bad, options);
    EXPECT_EQ(report.reason, "page 3: beyond the image, so 00 00 expected; got 01 02");
}

TEST(UpdateFaults, BaudPacesEveryByteAndReportsLineTime) {
    ScriptedProgram program(makeImage(256));
    Options options = quickOptions();
    options.faults.baud = 10000;  // 1 ms a byte
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    for (const Bytes& write : program.writes)
        EXPECT_EQ(write.size(), 1u);
    // 4 + 258 bytes received at 1 ms each.
    EXPECT_NE(formatVerdict(report).find("line_ms=262.000"), std::string::npos)
        << formatVerdict(report);
}

TEST(UpdateSession, ExpectedImageMismatchIsReportedWithItsOffset) {
    const Bytes image = makeImage(700);
    Bytes other = image;
    other[300] ^= 1;
    ScriptedProgram program(image);
    Options options = quickOptions();
    options.expectedImage = other;
    options.imageSize = other.size();
    const UpdateReport report = runUpdate(program, options);
    EXPECT_EQ(report.reason, "the received image differs from --expect-image at byte offset 300");
    EXPECT_FALSE(program.completed);
}

TEST(UpdateSession, ProgramClosingMidFrameIsReported) {
    ScriptedProgram program(makeImage(1000));
    program.alterFrame = onPage(2, [](Bytes& f) { f.resize(100); });
    program.closeAfterOutgoing();
    const UpdateReport report = runUpdate(program, quickOptions());
    EXPECT_EQ(report.reason,
              "page 2: the frame stopped after 100 of 258 bytes (the program closed the port)");
}

TEST(LineAtTheDeviceBaud, AnUpdateTakesAtLeastItsLineTime) {
    // 32 pages at 38400 baud: 4 + 32 x 258 bytes from the program, 260.4 us each.
    ScriptedProgram program(makeImage(32 * 256));
    Options options = quickOptions();
    options.faults.baud = 38400;
    options.imageSize = 32 * 256;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_TRUE(report.ok) << report.reason;
    EXPECT_TRUE(program.completed);
    EXPECT_GE(report.elapsed, std::chrono::milliseconds(2150));  // fake time
    EXPECT_LT(report.elapsed, std::chrono::milliseconds(2200));  // paced once, not twice
}

TEST(LineAtTheDeviceBaud, BytesOnTheLineArriveBeforeTheProgramsClose) {
    ScriptedProgram program(makeImage(1000));
    // Part of page 2, then the close, while the line still carries that part.
    program.alterFrame = [&program](int page, int, Bytes& frame) {
        if (page == 2) {
            frame.resize(100);
            program.closeAfterOutgoing();
        }
    };
    Options options = quickOptions();
    options.faults.baud = 38400;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_EQ(report.reason,
              "page 2: the frame stopped after 100 of 258 bytes (the program closed the port)");
}

TEST(LineAtTheDeviceBaud, AProgramAtAnotherSpeedIsHeardAsGarbageAndNeverCompletes) {
    const std::pair<long, long> cases[] = {{9600, 38400}, {38400, 9600}, {19200, 38400}};
    for (const auto& [programBaud, deviceBaud] : cases) {
        SCOPED_TRACE(std::to_string(programBaud) + " against " + std::to_string(deviceBaud));
        ScriptedProgram program(makeImage(1000));
        program.lineSettings = LineSettings{programBaud, 8, 'n', 1};
        Options options = quickOptions();
        options.faults.baud = deviceBaud;
        const UpdateReport report = runUpdate(program, options);
        EXPECT_FALSE(report.ok);
        EXPECT_FALSE(program.completed);
        EXPECT_TRUE(report.requested.empty());
        EXPECT_TRUE(program.writes.empty());
        // The device stays on the line, silent, until the program gives up.
        EXPECT_FALSE(program.hungUp);
        EXPECT_NE(report.reason.find("(the program's line is at " + std::to_string(programBaud) +
                                     " baud, the device's at " + std::to_string(deviceBaud) +
                                     ": each hears the other as garbage); the program then "
                                     "stayed silent for 1 s"),
                  std::string::npos)
            << report.reason;
    }
}

TEST(LineAtTheDeviceBaud, ADownloadCommandAtAnotherSpeedIsGarbage) {
    ScriptedProgram program({});
    program.replaceOutgoing(buildDownloadCommand());
    program.closeAfterOutgoing();
    program.lineSettings = LineSettings{19200, 8, 'n', 1};
    Options options = quickOptions();
    options.faults.baud = 38400;
    const DownloadReport report = runDownload(program, options);
    EXPECT_FALSE(report.ok);
    EXPECT_NE(report.received, buildDownloadCommand());
    EXPECT_TRUE(report.reason.ends_with(
        "(the program's line is at 19200 baud, the device's at 38400: each hears the other as "
        "garbage)"))
        << report.reason;
}

struct DownloadFirstCase {
    const char* name;
    Bytes before;         // what the program sends before the header
    int silentFirst;      // updates the device keeps silent; the program starts over
    Bytes beforeRestart;  // what it sends before the header when it starts over
    bool ok;
    const char* reason;
};

class DownloadFirst : public ::testing::TestWithParam<DownloadFirstCase> {};

TEST_P(DownloadFirst, TakesTheCommandThenTheUpdate) {
    const DownloadFirstCase& c = GetParam();
    const Bytes image = makeImage(600);
    ScriptedProgram program(image);
    Bytes outgoing = c.before;
    const Bytes header = buildHeaderFrame(pageCount(image.size()));
    outgoing.insert(outgoing.end(), header.begin(), header.end());
    program.replaceOutgoing(outgoing);
    program.restartsWhenKeptWaiting = c.silentFirst;
    program.restartPrefix = c.beforeRestart;
    Options options = quickOptions();
    options.downloadFirst = true;
    options.faults.silentFirst = c.silentFirst;
    const UpdateReport report = runUpdate(program, options);
    EXPECT_EQ(report.ok, c.ok) << report.reason;
    EXPECT_EQ(report.reason, c.reason);
    EXPECT_EQ(program.completed, c.ok);
    if (c.ok) {
        EXPECT_NE(formatVerdict(report).find(" download=2f55aa "), std::string::npos);
        EXPECT_EQ(report.image, image);
    }
}

const Bytes kCommand{0x2F, 0x55, 0xAA};

INSTANTIATE_TEST_SUITE_P(
    Commands, DownloadFirst,
    ::testing::Values(
        DownloadFirstCase{"CommandThenHeader", kCommand, 0, {}, true, ""},
        DownloadFirstCase{"CommandAgainAfterASilentUpdate", kCommand, 1, kCommand, true, ""},
        DownloadFirstCase{"NoCommand",
                          {},
                          0,
                          {},
                          false,
                          "expected the download command 2f 55 aa before the update, got aa 03 "
                          "00 ad"},
        DownloadFirstCase{"NoCommandWhenStartingOver",
                          kCommand,
                          1,
                          {},
                          false,
                          "expected the download command 2f 55 aa before the update, got aa 03 "
                          "00 ad"},
        DownloadFirstCase{"WrongCommand",
                          {0x2F, 0x54, 0xAA},
                          0,
                          {},
                          false,
                          "expected the download command 2f 55 aa before the update, got 2f 54 "
                          "aa aa 03 00 ad"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DownloadCase {
    const char* name;
    Bytes sent;
    std::size_t chunk;
    bool ok;
    const char* line;
};

void PrintTo(const DownloadCase& c, std::ostream* os) {
    *os << c.name;
}

class DownloadMode : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadMode, ChecksTheCommandAndReportsSettings) {
    ScriptedProgram program({});
    program.replaceOutgoing(GetParam().sent);
    program.chunkSize = GetParam().chunk;
    program.closeAfterOutgoing();
    program.lineSettings = LineSettings{19200, 8, 'n', 1};
    const DownloadReport report = runDownload(program, quickOptions());
    EXPECT_EQ(report.ok, GetParam().ok);
    EXPECT_EQ(formatDownload(report), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DownloadMode,
    ::testing::Values(
        DownloadCase{"Right",
                     {0x2F, 0x55, 0xAA},
                     3,
                     true,
                     "download: ok bytes=2f55aa settings=19200,n,8,1 port_closed=yes"},
        DownloadCase{"RightInPieces",
                     {0x2F, 0x55, 0xAA},
                     1,
                     true,
                     "download: ok bytes=2f55aa settings=19200,n,8,1 port_closed=yes"},
        DownloadCase{"WrongByte",
                     {0x2F, 0x54, 0xAA},
                     3,
                     false,
                     "download: fail bytes=2f54aa settings=19200,n,8,1 port_closed=yes "
                     "reason=\"expected the download command 2f 55 aa, got 2f 54 aa\""},
        DownloadCase{"TooMany",
                     {0x2F, 0x55, 0xAA, 0xAA},
                     2,
                     false,
                     "download: fail bytes=2f55aaaa settings=19200,n,8,1 port_closed=yes "
                     "reason=\"expected the download command 2f 55 aa, got 2f 55 aa aa\""},
        DownloadCase{"UpdateHeader",
                     {0xAA, 0x04, 0x00, 0xAE},
                     4,
                     false,
                     "download: fail bytes=aa0400ae settings=19200,n,8,1 port_closed=yes "
                     "reason=\"expected the download command 2f 55 aa, got aa 04 00 ae (an "
                     "update header: run without --expect-download)\""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace oxu::sim::test
