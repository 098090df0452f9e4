// The summary table: its rows, what goes below them, and 80 columns whatever
// the device paths.

#include "runs/summary_table.h"

#include <gtest/gtest.h>

#include <sstream>

namespace oxu::runs {
namespace {

using namespace std::chrono_literals;

PortOutcome outcome(int number, std::string device, RunResult result, int served, int pages,
                    std::uint64_t bytes, int attempt, std::string problem = {}) {
    PortOutcome o;
    o.port.number = number;
    o.port.device = std::move(device);
    o.last.result = result;
    o.last.pagesServed = served;
    o.last.pagesAnnounced = pages;
    o.last.bytesSent = bytes;
    o.last.attempt = attempt;
    o.last.duration = 1'234'567us;
    o.last.problem = std::move(problem);
    return o;
}

TEST(FormatSummaryTable, OneAlignedRowPerPort) {
    PortOutcome usb = outcome(12, "/dev/ttyUSB0", RunResult::ConnectionFailed, 0, 160, 4, 2,
                              "nothing heard for 10 s");
    usb.last.duration = 10'000'000us;
    usb.port.adapter = {.vendorId = 0x0403, .productId = 0x6001, .serialNumber = "A12BC3D4"};
    PortOutcome missing =
        outcome(2, "", RunResult::NotStarted, 0, 0, 0, 1, "Cannot open COM 2: no device");
    missing.last.errorKind = PortErrorKind::NoDevice;
    const std::string table = formatSummaryTable(
        {RunMode::Gang,
         {outcome(1, "/dev/pts/3", RunResult::Complete, 160, 160, 41'284, 1), usb, missing}});
    EXPECT_EQ(table,
              "port    result               pages   bytes  seconds  retries  device\n"
              "COM 1   complete           160/160  41,284     1.23        0  /dev/pts/3\n"
              "COM 12  connection failed    0/160       4    10.00        1  /dev/ttyUSB0\n"
              "        adapter 0403:6001 A12BC3D4\n"
              "        nothing heard for 10 s\n"
              "COM 2   could not start        0/0       0     1.23        0  (no device)\n"
              "        no device there\n");
}

TEST(FormatSummaryTable, FitsEightyColumnsAndSaysEachThingOnce) {
    const std::string byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345BC-if00-port0";
    const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2.4.1:1.0-port0";
    PortOutcome busy = outcome(9, byPath, RunResult::NotStarted, 0, 0, 0, 1,
                               "Cannot open COM 9 (" + byPath +
                                   "): the port is in use by another program (Permission denied)");
    busy.last.errorKind = PortErrorKind::Busy;
    PortOutcome lost = outcome(16, byId, RunResult::PortLost, 100, 255, 65'280, 3,
                               "The connection to COM 16 (" + byId +
                                   ") was lost: writing to it "
                                   "failed (Input/output error).");
    lost.last.errorKind = PortErrorKind::Io;
    lost.board = 12;
    lost.port.adapter = {.vendorId = 0x0403, .productId = 0x6001, .serialNumber = "A12345BC"};
    const std::string veryLong =
        "/dev/serial/by-id/usb-Future_Technology_Devices_International_Ltd_FT232R_USB_UART_"
        "A12345BC-if00-port0";
    const PortOutcome fine = outcome(1, "/dev/ttyUSB0", RunResult::Complete, 4, 4, 1'012, 1);
    PortOutcome removed =
        outcome(3, byId, RunResult::ConnectionFailed, 0, 4, 4, 1, "nothing heard for 10 s");
    removed.removedBeforeRetry = true;
    removed.board = 2;

    struct Case {
        const char* name;
        RunSummary summary;
        std::vector<std::string> lines;  // each found, in this order, at a line's start
    };
    const Case cases[] = {
        {"AVeryLongPathIsShortenedInTheMiddle",
         {RunMode::Gang, {fine, outcome(2, veryLong, RunResult::Complete, 4, 4, 1'012, 1)}},
         {"port    result    pages  bytes  seconds  retries\n", "        /dev/ttyUSB0\n",
          "        /dev/serial/by-id/usb-Future_Techn...FT232R_USB_UART_A12345BC-if00-port0\n"}},
        {"WithoutRoomThePathGoesOnItsOwnLine",
         {RunMode::Gang, {busy, lost}},
         {"port    result             pages   bytes  seconds  retries\n",
          "COM 9   could not start      0/0       0     1.23        0\n", "        " + byPath,
          "        in use by another program",
          "COM 16  port lost        100/255  65,280     1.23        2\n", "        " + byId + "\n",
          "        adapter 0403:6001 A12345BC\n", "        write failed"}},
        {"StationRowsCarryTheBoardAndTheTime",
         {RunMode::Station, {lost, removed}},
         {"port    board  time      result               pages   bytes  seconds  retries\n",
          "COM 16     12  ", "        write failed", "COM 3       2  ",
          "        nothing heard for 10 s; board removed before the retry"}},
    };
    for (const Case& c : cases) {
        const std::string table = formatSummaryTable(c.summary);
        std::istringstream in(table);
        for (std::string line; std::getline(in, line);) {
            EXPECT_LE(line.size(), 80u) << c.name << ": " << line;
            // The problem never names the port or its device again.
            if (line.rfind("        ", 0) == 0 && line.find("/dev/") == std::string::npos) {
                EXPECT_EQ(line.find("COM "), std::string::npos) << c.name << ": " << line;
            }
        }
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            at = table.find(line, at);
            ASSERT_NE(at, std::string::npos) << c.name << ": " << line << "\n" << table;
            EXPECT_TRUE(at == 0 || table[at - 1] == '\n') << c.name << ": " << line;
            at += line.size();
        }
    }
}

}  // namespace
}  // namespace oxu::runs
