// The device's UART: how long bytes take to cross the line, and what a
// receiver set to another speed makes of them.

#include "device/uart_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "protocol/frames.h"
#include "protocol/line_choices.h"

namespace oxu::sim::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TEST(LineByteTime, IsTenBitsAtTheBaud) {
    const std::pair<long, nanoseconds> cases[] = {
        {9600, nanoseconds(1'041'666)},
        {10000, milliseconds(1)},
        {38400, nanoseconds(260'416)},
        {4'000'000, nanoseconds(2'500)},
    };
    for (const auto& [baud, time] : cases)
        EXPECT_EQ(lineByteTime(baud), time) << baud;
}

struct PaceCase {
    const char* name;
    std::vector<std::pair<nanoseconds, std::size_t>> entries;  // when, how many bytes
    std::vector<nanoseconds> arrivals;                         // of each byte, in order
};

TEST(LinePace, BytesArriveOneByteTimeApartFromWhenTheLineIsFree) {
    constexpr nanoseconds kByte{260'416};  // 38400 baud
    const PaceCase cases[] = {
        {"BackToBack", {{nanoseconds(0), 3}}, {kByte, 2 * kByte, 3 * kByte}},
        {"QueuedBehindBytesStillOnTheLine",
         {{nanoseconds(0), 2}, {nanoseconds(100'000), 1}},
         {kByte, 2 * kByte, 3 * kByte}},
        {"AnIdleLineStartsAfresh",
         {{nanoseconds(0), 1}, {milliseconds(10), 2}},
         {kByte, milliseconds(10) + kByte, milliseconds(10) + 2 * kByte}},
        {"EnteringWhileTheLastIsCrossing",
         {{nanoseconds(0), 1}, {kByte - nanoseconds(1), 1}},
         {kByte, 2 * kByte}},
    };
    for (const PaceCase& c : cases) {
        LinePace pace(kByte);
        std::uint8_t value = 0;
        for (const auto& [entered, count] : c.entries)
            pace.accept(Bytes(count, value++), entered);
        std::vector<nanoseconds> arrivals;
        Bytes taken;
        while (const std::optional<nanoseconds> next = pace.nextArrival()) {
            // Nothing arrives a nanosecond early.
            EXPECT_EQ(pace.takeArrived(taken, *next - nanoseconds(1)), 0u) << c.name;
            const std::size_t count = pace.takeArrived(taken, *next);
            arrivals.insert(arrivals.end(), count, *next);
        }
        EXPECT_EQ(arrivals, c.arrivals) << c.name;
        EXPECT_EQ(taken.size(), c.arrivals.size()) << c.name;
    }
}

struct HearCase {
    const char* name;
    Bytes sent;
    long sentBaud;
    long heardBaud;
    Bytes heard;
};

TEST(HearBytes, AReceiverAtAnotherSpeedSamplesTheBitsAtItsOwnRate) {
    const HearCase cases[] = {
        {"SameSpeedHearsEveryByte",
         {0xAA, 0x55, 0x00, 0xFF},
         38400,
         38400,
         {0xAA, 0x55, 0x00, 0xFF}},
        // Each sent bit lasts four heard bits: 0 0 1 0 1 0 1 0 1 1 (start, AA
        // lowest bit first, stop) reads as 80, then bytes whose stop bit falls
        // on a low bit (framing errors, read as 00), then the idle line as FF.
        {"FourTimesFasterHearsRunsOfBits", {0xAA}, 9600, 38400, {0x80, 0x00, 0x00, 0xFF}},
        // Nine low bits: breaks while they last, then C0 across the stop bit.
        {"FourTimesFasterHearsALongLowAsBreaks", {0x00}, 9600, 38400, {0x00, 0x00, 0x00, 0xC0}},
        // Half a heard bit in, AA is high again: no start bit yet. The next
        // low is taken for one, and its byte spans the rest of AA and idle.
        {"FourTimesSlowerMissesMostBits", {0xAA}, 38400, 9600, {0xFF}},
        {"NoSpeedCarriesNothing", {0xAA}, 0, 38400, {}},
        // A line far slower than its receiver is one long break to it.
        {"FarSlowerIsHeardAsBreaksUpToTheLimit",
         {0x00},
         50,
         4'000'000,
         Bytes(kMaxHeardPerByte, 0x00)},
    };
    for (const HearCase& c : cases)
        EXPECT_EQ(hearBytes(c.sent, c.sentBaud, c.heardBaud), c.heard) << c.name;
}

TEST(HearBytes, AReceiverTwiceAsFastOrMoreNeverHearsAStartOfRequestOrCompletion) {
    // Every byte value, alone and back to back with the others.
    Bytes everyValue(256);
    for (int value = 0; value < 256; ++value)
        everyValue[value] = static_cast<std::uint8_t>(value);
    for (const LineChoice& sent : kLineChoices) {
        for (const LineChoice& heard : kLineChoices) {
            if (heard.baud < 2 * sent.baud)
                continue;
            Bytes all = hearBytes(everyValue, sent.baud, heard.baud);
            for (std::uint8_t value : everyValue) {
                const Bytes alone = hearBytes(Bytes{value}, sent.baud, heard.baud);
                all.insert(all.end(), alone.begin(), alone.end());
            }
            SCOPED_TRACE(std::to_string(sent.baud) + " heard at " + std::to_string(heard.baud));
            EXPECT_EQ(std::count(all.begin(), all.end(), kFrameMark), 0);
            EXPECT_EQ(std::count(all.begin(), all.end(), kCompletionByte), 0);
        }
    }
}

// The program's end of the wire: sends `chunk` at every read, or only
// once, and moves its clock by what the device waits.
class SendingProgram : public Line {
public:
    Bytes chunk;
    bool endless = false;
    int waits = 0;

    ReadStatus read(Bytes& into, std::chrono::microseconds timeout) override {
        if (!chunk.empty()) {
            into.insert(into.end(), chunk.begin(), chunk.end());
            if (!endless)
                chunk.clear();
            m_time += std::chrono::microseconds(100);
            return ReadStatus::Data;
        }
        if (timeout > std::chrono::microseconds(0)) {
            ++waits;
            m_time += timeout;
        }
        return ReadStatus::Timeout;
    }
    void write(ByteView) override {}
    std::optional<LineSettings> awaitSettings(std::chrono::microseconds) override { return {}; }
    std::optional<LineSettings> currentSettings() const override { return {}; }
    void hangUp() override {}
    bool pause(std::chrono::microseconds duration) override {
        m_time += duration;
        return true;
    }
    std::chrono::microseconds now() const override { return m_time; }

private:
    std::chrono::microseconds m_time{0};
};

TEST(UartLine, AFrameIsHandedOverWholeWhenItsLastByteHasArrived) {
    SendingProgram program;
    program.chunk = Bytes(PageSize + 2, 0x42);
    UartLine line(program, 38400);
    Bytes got;
    EXPECT_EQ(line.read(got, std::chrono::seconds(1)), ReadStatus::Data);
    EXPECT_EQ(got, Bytes(PageSize + 2, 0x42));
    EXPECT_GE(line.now(), std::chrono::microseconds(258 * 260'417 / 1000));
    EXPECT_EQ(program.waits, 1);  // one wake-up, not one a byte
}

TEST(UartLine, AProgramThatNeverStopsSendingCannotHoldTheDeviceOff) {
    SendingProgram program;
    program.chunk = Bytes(10, 0x42);
    program.endless = true;
    UartLine line(program, 38400);
    Bytes got;
    EXPECT_EQ(line.read(got, Line::kForever), ReadStatus::Data);
    EXPECT_EQ(got.size(), 10u);
}

TEST(SpeedMismatch, OnlyAKnownOtherSpeedIsAMismatch) {
    const LineSettings at9600{9600, 8, 'n', 1};
    const LineSettings at38400TwoStopBits{38400, 8, 'n', 2};
    const struct {
        std::optional<LineSettings> program;
        std::optional<long> device;
        std::optional<std::string> why;
    } cases[] = {
        {at9600, 38400,
         "the program's line is at 9600 baud, the device's at 38400: each hears the other as "
         "garbage"},
        {at9600, 9600, std::nullopt},
        {at38400TwoStopBits, 38400, std::nullopt},  // a second stop bit reads as idle line
        {std::nullopt, 38400, std::nullopt},        // settings unread: taken as matching
        {at9600, std::nullopt, std::nullopt},       // an unpaced device hears any speed
    };
    for (const auto& c : cases)
        EXPECT_EQ(describeSpeedMismatch(c.program, c.device), c.why);
}

}  // namespace
}  // namespace oxu::sim::test
