#include "serial/traced_port.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/kit/fakes.h"

namespace oxu {
namespace {

using namespace std::chrono_literals;

using testkit::FakePort;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(FormatTraceLine, StampsDirectionHexAndCount) {
    const Bytes header{0xAA, 0x04, 0x00, 0xAE};
    EXPECT_EQ(formatTraceLine(1'234'567us, '>', header), "[   1.234567] > AA 04 00 AE  (4 bytes)");
    EXPECT_EQ(formatTraceLine(0us, '<', Bytes{0x55}), "[   0.000000] < 55  (1 byte)");
}

TEST(TracedPort, DumpsAPageWrittenByteByByteAsOneLineAfterTheHandler) {
    FakePort inner;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(inner, clock, &trace);
    port.setDataReceivedHandler([&] {
        const Bytes request = port.readAll();
        clock.advance(5us);
        for (std::uint8_t byte : {0x10, 0x20, 0x00, 0x30})
            port.write(ByteView(&byte, 1));
    });
    port.open();
    inner.deliver({0xAA, 0x01});

    const auto lines = linesOf(trace.str());
    ASSERT_EQ(lines.size(), 2u) << trace.str();
    EXPECT_EQ(lines[0], "[   0.000000] < AA 01  (2 bytes)");
    EXPECT_EQ(lines[1], "[   0.000005] > 10 20 00 30  (4 bytes)");
    EXPECT_EQ(inner.written, (Bytes{0x10, 0x20, 0x00, 0x30}));
    EXPECT_EQ(port.bytesWritten(), 4u);
}

TEST(TracedPort, AnOwnedPortIsTracedBehindItsPrefixAndClosedWhenSent) {
    auto owned = std::make_unique<FakePort>();
    FakePort& inner = *owned;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(std::move(owned), clock, &trace);
    port.setLinePrefix("COM 3: ");
    int opened = 0;
    port.setOpenedHandler([&] { ++opened; });
    port.open();
    port.write(Bytes{0xAA, 0x01, 0x00, 0xAB});
    bool closed = false;
    port.closeWhenSent(
        [&](const std::optional<SerialError>& failure) { closed = !failure.has_value(); });
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(inner.isOpen());
    EXPECT_EQ(trace.str(), "COM 3: [   0.000000] > AA 01 00 AB  (4 bytes)\n");
}

TEST(TracedPort, KeepsWireOrderWhenReadingBeforeTheDumpIsFlushed) {
    FakePort inner;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(inner, clock, &trace);
    port.open();
    port.write(Bytes{0xAA, 0x00, 0x00, 0xAA});
    inner.queue({0x55});
    EXPECT_EQ(port.readAll(), Bytes{0x55});
    port.close();

    const auto lines = linesOf(trace.str());
    ASSERT_EQ(lines.size(), 2u) << trace.str();
    EXPECT_NE(lines[0].find("> AA 00 00 AA"), std::string::npos);
    EXPECT_NE(lines[1].find("< 55"), std::string::npos);
}

TEST(TracedPort, FlushesBeforeClosingAndBeforeReportingALostPort) {
    FakePort inner;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(inner, clock, &trace);
    std::string lost;
    port.setPortLostHandler([&](const SerialError& error) {
        lost = error.what();
        EXPECT_NE(trace.str().find("> 01"), std::string::npos) << "dump must precede the report";
    });
    port.open();
    port.write(Bytes{0x01});
    inner.loseLine("The connection to COM 1 was lost");
    EXPECT_EQ(lost, "The connection to COM 1 was lost");

    // A lost port is closed; open it again to see the close flush too.
    port.open();
    port.write(Bytes{0x02});
    port.close();
    EXPECT_NE(trace.str().find("> 02"), std::string::npos);
    EXPECT_FALSE(inner.isOpen());
}

TEST(TracedPort, HandsACloseForASharedLoopToTheInnerPortAfterTheDump) {
    // An inner port whose close waits on the line without blocking the loop.
    class LoopClosingPort : public FakePort {
    public:
        void closeWhenSent(ClosedHandler done) override {
            log.push_back("close when sent");
            pending = std::move(done);
        }
        ClosedHandler pending;
    };
    LoopClosingPort inner;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(inner, clock, &trace);
    port.open();
    port.write(Bytes{0x03});
    bool told = false;
    port.closeWhenSent([&](const std::optional<SerialError>& failure) { told = !failure; });
    EXPECT_NE(trace.str().find("> 03"), std::string::npos);
    EXPECT_EQ(inner.log.back(), "close when sent");
    ASSERT_TRUE(inner.pending);
    EXPECT_FALSE(told);
    inner.pending(std::nullopt);
    EXPECT_TRUE(told);
}

TEST(TracedPort, CountsOnlyBytesTheInnerPortTook) {
    FakePort inner;
    testkit::FakeClock clock;
    std::ostringstream trace;
    TracedPort port(inner, clock, &trace);
    port.open();
    port.write(Bytes{1, 2, 3});
    inner.writeFailure = "Cannot write to COM 1: gone";
    EXPECT_THROW(port.write(Bytes{4}), SerialError);
    port.flushTrace();
    EXPECT_EQ(port.bytesWritten(), 3u);
    EXPECT_EQ(linesOf(trace.str()).size(), 1u);
    EXPECT_EQ(trace.str().find("04"), std::string::npos);
}

TEST(TracedPort, WithoutATraceStreamOnlyCounts) {
    FakePort inner;
    testkit::FakeClock clock;
    TracedPort port(inner, clock);
    port.setPortNumber(3);
    port.open();
    port.write(Bytes{1, 2});
    inner.queue({9});
    EXPECT_EQ(port.readAll(), Bytes{9});
    EXPECT_EQ(port.bytesWritten(), 2u);
    EXPECT_EQ(port.describe(), "COM 3");
}

}  // namespace
}  // namespace oxu
