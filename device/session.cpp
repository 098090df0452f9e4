#include "device/session.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "device/uart_line.h"
#include "protocol/firmware_image.h"
#include "protocol/frames.h"

namespace oxu::sim {

namespace {

using std::chrono::microseconds;

std::string formatSeconds(microseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", static_cast<double>(duration.count()) / 1e6);
    return text;
}

std::string pageName(int page) {
    return page == 0 ? std::string("the header") : "page " + std::to_string(page);
}

class UpdateSession {
public:
    UpdateSession(Line& line, const Options& options)
        : m_line(line), m_options(options), m_plan(options.faults) {
        m_report.seed = m_plan.seed();
        m_report.baud = options.faults.baud;
    }

    UpdateReport run() {
        try {
            runSteps();
        } catch (const LineError& error) {
            fail(error.what());
        }
        if (m_end.count() == 0)
            m_end = m_line.now();
        if (m_start.count() != 0)
            m_report.elapsed = m_end - m_start;
        m_report.ok = m_errors.empty();
        if (!m_report.ok)
            m_report.reason = m_errors.front();
        return m_report;
    }

private:
    void fail(const std::string& reason) { m_errors.push_back(reason); }

    void noteReceived(std::size_t before) {
        if (m_pending.size() == before)
            return;
        m_report.receivedBytes += m_pending.size() - before;
        m_lastByteTime = m_line.now();
    }

    // Reads until m_pending holds `want` bytes. The timeout restarts with
    // every chunk: it bounds a silence, not the whole frame.
    ReadStatus fill(std::size_t want, microseconds timeout) {
        while (m_pending.size() < want) {
            const std::size_t before = m_pending.size();
            const ReadStatus status = m_line.read(m_pending, timeout);
            noteReceived(before);
            if (status != ReadStatus::Data)
                return status;
        }
        return ReadStatus::Data;
    }

    // Reads until `quiet` passes without a byte (Data), or until more than
    // `limit` bytes are waiting, so that a program that never stops sending
    // cannot hold the device here.
    ReadStatus readUntilQuiet(microseconds quiet, std::size_t limit) {
        while (m_pending.size() <= limit) {
            const std::size_t before = m_pending.size();
            const ReadStatus status = m_line.read(m_pending, quiet);
            noteReceived(before);
            if (status == ReadStatus::Timeout)
                return ReadStatus::Data;
            if (status != ReadStatus::Data)
                return status;
        }
        return ReadStatus::Data;
    }

    bool interrupted(ReadStatus status, const std::string& during) {
        if (status != ReadStatus::Interrupted)
            return false;
        fail("interrupted by a signal while " + during);
        return true;
    }

    void runSteps() {
        if (m_options.downloadFirst && !readDownloadCommand())
            return;
        Step step;
        for (;;) {
            if (!readHeader())
                return;
            step = m_plan.afterHeader(m_report.updates);
            if (step.kind != Step::Kind::AwaitNextUpdate)
                break;
            if (!awaitNextUpdate(step.reason))
                return;
            // A program that starts over puts the device in download mode again.
            if (m_options.downloadFirst && !readDownloadCommand())
                return;
            ++m_report.updates;
        }
        m_line.releaseHold();
        if (!take(step))
            return;
        if (const Bytes noise = m_plan.noiseBeforeRequests(); !noise.empty()) {
            writePaced(noise);
            m_line.pause(kSplitPause);
        }
        if (m_plan.requestsPageZero() && !requestPageZero())
            return;

        const std::vector<int> order = m_plan.pageOrder(m_report.announcedPages);
        int framesOk = 0;
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (!take(m_plan.beforeRequest(framesOk)))
                return;
            const PageOutcome outcome =
                fetchPage(order[i], m_plan.requestShape(i + 1 == order.size()), framesOk);
            if (outcome == PageOutcome::Stop)
                return;
            if (outcome == PageOutcome::Ok)
                ++framesOk;
        }
        finish();
    }

    // Carries out what the plan says before a request. False when the
    // session ends here.
    bool take(const Step& step) {
        switch (step.kind) {
            case Step::Kind::Go:
                return true;
            case Step::Kind::Pause:
                if (m_line.pause(step.pause))
                    return true;
                fail("interrupted by a signal during " + step.reason);
                return false;
            case Step::Kind::FallSilent:
            case Step::Kind::AwaitNextUpdate:
                stayQuiet(step.reason);
                return false;
            case Step::Kind::HangUp:
                m_end = m_line.now();
                m_line.hangUp();
                fail(step.reason);
                return false;
        }
        return false;
    }

    // A device out of its download mode hears the command first. The line
    // stays held, so the program's close and open before the header go
    // unseen, as they do on a real device that restarts into download mode.
    bool readDownloadCommand() {
        const microseconds wait = m_options.wait.count() > 0 ? m_options.wait : Line::kForever;
        const Bytes expected = buildDownloadCommand();
        ReadStatus status = fill(1, wait);
        if (status == ReadStatus::Data)
            status = fill(expected.size(), m_options.timeout);
        if (interrupted(status, "waiting for the download command"))
            return false;
        const std::size_t got = std::min(m_pending.size(), expected.size());
        m_report.downloadCommand = Bytes(m_pending.begin(), m_pending.begin() + got);
        if (status == ReadStatus::Data && *m_report.downloadCommand == expected) {
            m_pending.erase(m_pending.begin(), m_pending.begin() + got);
            return true;
        }
        if (status == ReadStatus::Data)
            readUntilQuiet(kLastPageQuiet, kShownBytes);
        fail("expected the download command 2f 55 aa before the update, got " +
             (m_pending.empty() ? std::string("nothing") : formatBytes(m_pending, " ")));
        return false;
    }

    bool readHeader() {
        const microseconds wait = m_options.wait.count() > 0 ? m_options.wait : Line::kForever;
        ReadStatus status = fill(1, wait);
        if (interrupted(status, "waiting for the header"))
            return false;
        if (status != ReadStatus::Data) {
            fail(status == ReadStatus::Closed
                     ? "the program closed the port before sending the header"
                     : "no header from the program within " + formatSeconds(m_options.wait));
            return false;
        }
        m_start = m_line.now();
        // The program holds the port open through the update, so this is what it chose.
        m_report.settings = m_line.awaitSettings(microseconds(0));
        if (m_pending.front() != kFrameMark) {
            // Take what else arrives, so the report shows what the program sent.
            readUntilQuiet(kLastPageQuiet, kShownBytes);
            std::string what = "expected the header (aa, page count, checksum), got " +
                               formatBytes(m_pending, " ");
            if (m_pending == buildDownloadCommand())
                what += " (the download command: run with --expect-download)";
            refuseHeader(what);
            return false;
        }
        status = fill(kHeaderFrameSize, m_options.timeout);
        if (status != ReadStatus::Data) {
            if (!interrupted(status, "reading the header"))
                fail(withMismatch("the header stopped after " + std::to_string(m_pending.size()) +
                                  " of 4 bytes (" + describeEnd(status) + ")"));
            return false;
        }
        const Bytes header(m_pending.begin(), m_pending.begin() + kHeaderFrameSize);
        m_pending.erase(m_pending.begin(), m_pending.begin() + kHeaderFrameSize);
        m_lastFrame = 0;
        m_lastFrameSize = kHeaderFrameSize;
        const Bytes sum = Checksum(ByteView(header).first(2));
        if (sum[0] != header[2] || sum[1] != header[3]) {
            ++m_report.checksumErrors;
            refuseHeader("the header " + formatBytes(header, " ") + " has the checksum " +
                         formatBytes(ByteView(header).subspan(2), " ") + "; " +
                         formatBytes(sum, " ") + " expected");
            return false;
        }
        m_report.announcedPages = header[1];
        if (m_options.imageSize) {
            const long long expected = pageCount(*m_options.imageSize);
            if (expected != m_report.announcedPages) {
                refuseHeader("the header announces " + std::to_string(m_report.announcedPages) +
                             " pages; an image of " + std::to_string(*m_options.imageSize) +
                             " bytes has " + std::to_string(expected));
                return false;
            }
        }
        return true;
    }

    // `what`, with why the device heard garbage when the program's line is
    // at another speed.
    std::string withMismatch(const std::string& what) const {
        const std::optional<std::string> mismatch =
            describeSpeedMismatch(m_report.settings, m_options.faults.baud);
        return mismatch ? what + " (" + *mismatch + ")" : what;
    }

    // A header that does not check out ends the session. When the program's
    // line is at another speed, the device stays on the line, silent, as a
    // device that heard no header does: the program is left waiting for a
    // request, as on a real line, rather than seeing the port go away.
    void refuseHeader(const std::string& what) {
        if (!describeSpeedMismatch(m_report.settings, m_options.faults.baud)) {
            fail(what);
            return;
        }
        m_line.releaseHold();  // it spoke, so its close can now be seen
        stayQuiet(withMismatch(what));
    }

    std::string describeEnd(ReadStatus status) const {
        return status == ReadStatus::Closed
                   ? "the program closed the port"
                   : "nothing more for " + formatSeconds(m_options.timeout);
    }

    // Keeps silent until the program closes the port or has been silent as
    // long as --timeout allows; then records `what` as the outcome.
    void stayQuiet(const std::string& what) {
        m_end = m_line.now();
        for (;;) {
            const std::size_t before = m_pending.size();
            const ReadStatus status = m_line.read(m_pending, m_options.timeout);
            m_report.receivedBytes += m_pending.size() - before;
            m_pending.clear();
            if (status == ReadStatus::Data)
                continue;
            if (interrupted(status, "staying silent"))
                return;
            fail(what + (status == ReadStatus::Closed ? "; the program then closed the port"
                                                      : "; the program then stayed silent for " +
                                                            formatSeconds(m_options.timeout)));
            return;
        }
    }

    // Stays silent, holding the line open so that the program's close goes
    // unseen, until the program starts the update over: its next byte begins
    // the next header. False when it does not within --timeout.
    bool awaitNextUpdate(const std::string& what) {
        m_pending.clear();
        const ReadStatus status = fill(1, m_options.timeout);
        if (interrupted(status, "waiting for the next update"))
            return false;
        if (status == ReadStatus::Data)
            return true;
        m_end = m_line.now();
        fail(what + "; the program did not start again within " + formatSeconds(m_options.timeout));
        return false;
    }

    bool requestPageZero() {
        dropStrayBytes();
        sendRequest(0, m_plan.requestShape(false));
        const ReadStatus status = readUntilQuiet(kPageZeroQuiet, PageSize + 2);
        if (interrupted(status, "watching the request for page 0"))
            return false;
        if (!m_pending.empty()) {
            ++m_report.lengthErrors;
            fail("the program answered the request for page 0 with " +
                 std::to_string(m_pending.size()) + " bytes; it must send nothing");
            m_pending.clear();
        }
        if (status == ReadStatus::Closed) {
            fail("the program closed the port after the request for page 0");
            return false;
        }
        return true;
    }

    enum class PageOutcome { Ok, Bad, Stop };

    PageOutcome fetchPage(int page, RequestShape shape, int pagesOk) {
        for (int attempt = 0;; ++attempt) {
            dropStrayBytes();
            sendRequest(page, shape);
            const std::optional<std::size_t> expected = expectedFrameSize(page);
            if (const Step drop = m_plan.duringFrame(pagesOk);
                attempt == 0 && drop.kind == Step::Kind::HangUp) {
                // The program is cut off with part of the frame on its way.
                fill(std::max<std::size_t>(1, expected.value_or(2) / 2), m_options.timeout);
                take(drop);
                return PageOutcome::Stop;
            }
            const ReadStatus status =
                expected ? fill(*expected, m_options.timeout) : readLastPage();
            if (interrupted(status, "waiting for " + pageName(page)))
                return PageOutcome::Stop;
            if (status != ReadStatus::Data) {
                const std::string total = expected ? std::to_string(*expected) : "2..258";
                if (m_pending.empty()) {
                    fail(pageName(page) +
                         (status == ReadStatus::Timeout
                              ? ": no answer within " + formatSeconds(m_options.timeout)
                              : ": no answer; the program closed the port"));
                } else {
                    fail(pageName(page) + ": the frame stopped after " +
                         std::to_string(m_pending.size()) + " of " + total + " bytes (" +
                         describeEnd(status) + ")");
                }
                if (!m_pending.empty())
                    ++m_report.lengthErrors;
                return PageOutcome::Stop;
            }
            m_report.roundTrips.push_back(m_lastByteTime - m_requestTime);
            const std::size_t size = expected ? *expected : m_pending.size();
            const Bytes frame(m_pending.begin(), m_pending.begin() + static_cast<long>(size));
            m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(size));
            m_lastFrame = page;
            m_lastFrameSize = size;

            const std::optional<std::string> problem = checkFrame(page, frame);
            if (!problem)
                return PageOutcome::Ok;
            if (m_badChecksum && m_plan.retriesBadChecksum(attempt)) {
                ++m_report.retries;
                continue;
            }
            fail(*problem);
            return PageOutcome::Bad;
        }
    }

    // The exact frame size for page, or nothing for the last page when the
    // image size is unknown.
    std::optional<std::size_t> expectedFrameSize(int page) const {
        const std::size_t offset = static_cast<std::size_t>(page - 1) * PageSize;
        if (m_options.imageSize) {
            const std::size_t size = *m_options.imageSize;
            return (offset < size ? std::min(PageSize, size - offset) : 0) + 2;
        }
        if (page < m_report.announcedPages)
            return PageSize + 2;
        if (page > m_report.announcedPages)
            return 2;
        return std::nullopt;
    }

    // The last page's length is not known: take bytes until the line has been
    // quiet for kLastPageQuiet after the first one.
    ReadStatus readLastPage() {
        ReadStatus status = fill(1, m_options.timeout);
        if (status != ReadStatus::Data)
            return status;
        status = readUntilQuiet(kLastPageQuiet, PageSize + 2);
        // A frame that ended with the program closing the port is still a frame.
        return status == ReadStatus::Closed ? ReadStatus::Data : status;
    }

    std::optional<std::string> checkFrame(int page, const Bytes& frame) {
        m_badChecksum = false;
        if (frame.size() < 2 || frame.size() > PageSize + 2) {
            ++m_report.lengthErrors;
            return pageName(page) + ": a frame of " + std::to_string(frame.size()) +
                   " bytes; 2 to 258 expected";
        }
        const ByteView data = ByteView(frame).first(frame.size() - 2);
        const ByteView received = ByteView(frame).last(2);
        const Bytes computed = Checksum(data);
        if (computed[0] != received[0] || computed[1] != received[1]) {
            ++m_report.checksumErrors;
            m_badChecksum = true;
            if (page > m_report.announcedPages) {
                return pageName(page) + ": beyond the image, so 00 00 expected; got " +
                       formatBytes(frame, " ");
            }
            return pageName(page) + ": checksum " + formatBytes(received, " ") + " received, " +
                   formatBytes(computed, " ") + " computed over " + std::to_string(data.size()) +
                   " bytes";
        }
        if (page > m_report.announcedPages)
            return std::nullopt;
        const auto known = m_pages.find(page);
        if (known != m_pages.end()) {
            if (!std::ranges::equal(known->second, data))
                return pageName(page) + ": differs from the copy received before";
            return std::nullopt;
        }
        m_pages.emplace(page, Bytes(data.begin(), data.end()));
        ++m_report.pagesOk;
        m_report.imageBytes += data.size();
        return std::nullopt;
    }

    // The program is silent between frames; anything waiting now belongs to
    // the frame before and makes it too long.
    void dropStrayBytes() {
        const std::size_t before = m_pending.size();
        m_line.read(m_pending, microseconds(0));
        m_report.receivedBytes += m_pending.size() - before;
        if (m_pending.empty())
            return;
        ++m_report.lengthErrors;
        fail(pageName(m_lastFrame) + ": " + std::to_string(m_pending.size()) +
             " bytes more than its " + std::to_string(m_lastFrameSize) + "-byte frame");
        m_pending.clear();
    }

    void sendRequest(int page, RequestShape shape) {
        m_report.requested.push_back(page);
        const Bytes request{kFrameMark, static_cast<std::uint8_t>(page)};
        if (shape == RequestShape::WithCompletion) {
            // One write, so that the completion byte lands in the same read as the request.
            m_requestTime = m_line.now();
            m_line.write(Bytes{kFrameMark, static_cast<std::uint8_t>(page), kCompletionByte});
            m_burstPage = page;
            return;
        }
        if (shape == RequestShape::Split) {
            writePaced(ByteView(request).first(1));
            m_line.pause(kSplitPause);
            m_requestTime = m_line.now();
            writePaced(ByteView(request).last(1));
            return;
        }
        m_requestTime = m_line.now();
        writePaced(request);
    }

    // When the plan paces the device, its bytes go out one at a time.
    void writePaced(ByteView bytes) {
        const std::optional<microseconds> byteTime = m_plan.byteTime();
        if (!byteTime) {
            m_line.write(bytes);
            return;
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            m_line.write(bytes.subspan(i, 1));
            m_line.pause(*byteTime);
        }
    }

    void finish() {
        const int pages = m_report.announcedPages;
        if (!m_errors.empty() || static_cast<int>(m_pages.size()) != pages) {
            if (m_errors.empty())
                fail("only " + std::to_string(m_pages.size()) + " of " + std::to_string(pages) +
                     " pages were received");
            m_end = m_line.now();
            return;
        }
        Bytes image;
        for (const auto& [page, data] : m_pages)
            image.insert(image.end(), data.begin(), data.end());
        if (m_options.expectedImage && image != *m_options.expectedImage) {
            const auto [mine, theirs] = std::ranges::mismatch(image, *m_options.expectedImage);
            fail("the received image differs from --expect-image at byte offset " +
                 std::to_string(mine - image.begin()));
            m_end = m_line.now();
            return;
        }
        m_report.image = std::move(image);

        if (m_burstPage) {
            m_end = m_line.now();
            m_report.completionSent = true;
            // As long as --timeout allows: the program should keep waiting and
            // report the silence its own way before the line goes away.
            waitForClose(std::max<microseconds>(kCloseGrace, m_options.timeout));
            std::string outcome;
            if (!*m_report.portClosed) {
                outcome =
                    "the program kept the port open: it discards bytes that arrive with a "
                    "request, so it never saw completion";
            } else if (*m_report.closeDelay <= kPromptClose) {
                outcome = "the program closed the port at once, as on completion";
            } else {
                outcome = "the program closed the port only after " +
                          formatSeconds(*m_report.closeDelay) + ", so it never saw completion";
            }
            fail("--burst: the completion byte went out with the request for page " +
                 std::to_string(*m_burstPage) + " in one write; " + outcome);
            return;
        }
        dropStrayBytes();
        // The completion byte alone: the program only recognises it in an empty buffer.
        m_line.write(Bytes{kCompletionByte});
        m_end = m_line.now();
        m_report.completionSent = true;
        waitForClose(kCloseGrace);
    }

    // Gives the program `grace` in all to close the port; what it sends
    // meanwhile is counted against it.
    void waitForClose(microseconds grace) {
        std::size_t extra = 0;
        const microseconds deadline = m_line.now() + grace;
        ReadStatus status = ReadStatus::Timeout;
        for (microseconds left = grace; left > microseconds(0); left = deadline - m_line.now()) {
            const std::size_t before = m_pending.size();
            status = m_line.read(m_pending, left);
            noteReceived(before);
            extra += m_pending.size();
            m_pending.clear();
            if (status != ReadStatus::Data)
                break;
        }
        m_report.portClosed = status == ReadStatus::Closed;
        if (*m_report.portClosed)
            m_report.closeDelay = m_line.now() - (deadline - grace);
        if (extra > 0) {
            ++m_report.lengthErrors;
            fail(std::to_string(extra) + " bytes arrived after the completion byte");
        }
    }

    Line& m_line;
    const Options& m_options;
    FaultPlan m_plan;
    UpdateReport m_report;
    Bytes m_pending;               // received, not yet taken as a frame
    std::map<int, Bytes> m_pages;  // verified data of each page of the image
    std::vector<std::string> m_errors;
    microseconds m_start{0};
    microseconds m_end{0};
    int m_lastFrame = 0;  // 0: the header
    std::size_t m_lastFrameSize = 0;
    // Taken just before the request's last write: once the write wakes the
    // program, it may well answer before this process runs again.
    microseconds m_requestTime{0};
    microseconds m_lastByteTime{0};
    bool m_badChecksum = false;
    std::optional<int> m_burstPage;
};

}  // namespace

UpdateReport runUpdate(Line& line, const Options& options) {
    if (!options.faults.baud)
        return UpdateSession(line, options).run();
    UartLine uart(line, *options.faults.baud);
    return UpdateSession(uart, options).run();
}

DownloadReport runDownload(Line& wire, const Options& options) {
    std::optional<UartLine> uart;
    if (options.faults.baud)
        uart.emplace(wire, *options.faults.baud);
    Line& line = uart ? static_cast<Line&>(*uart) : wire;
    DownloadReport report;
    Bytes& got = report.received;
    const bool forever = options.wait.count() == 0;
    const microseconds start = line.now();
    report.settings = line.awaitSettings(forever ? Line::kForever : options.wait);
    const microseconds left = options.wait - (line.now() - start);
    ReadStatus status = line.read(got, forever ? Line::kForever : std::max(left, microseconds(0)));
    if (status != ReadStatus::Data) {
        report.reason = status == ReadStatus::Interrupted
                            ? "interrupted by a signal while waiting for the download command"
                            : "no download command within " + formatSeconds(options.wait);
        return report;
    }
    line.releaseHold();
    const Bytes expected = buildDownloadCommand();
    while (got.size() < expected.size() && status == ReadStatus::Data)
        status = line.read(got, options.timeout);
    if (status == ReadStatus::Interrupted) {
        report.reason = "interrupted by a signal while reading the download command";
        return report;
    }
    if (status == ReadStatus::Closed) {
        report.portClosed = true;
    } else {
        // Stray bytes after the command count against it. The wait is bounded
        // as a whole, and so is what is kept, whatever the program sends.
        const microseconds deadline = line.now() + kCloseGrace;
        for (microseconds left = kCloseGrace; left > microseconds(0);
             left = deadline - line.now()) {
            status = line.read(got, left);
            if (got.size() > kShownBytes)
                got.resize(kShownBytes);
            if (status != ReadStatus::Data)
                break;
        }
        report.portClosed = status == ReadStatus::Closed;
    }
    report.ok = got == expected;
    if (!report.ok) {
        report.reason = "expected the download command 2f 55 aa, got " +
                        (got.empty() ? std::string("nothing") : formatBytes(got, " "));
        if (got.size() >= kHeaderFrameSize && got.front() == kFrameMark)
            report.reason += " (an update header: run without --expect-download)";
        if (const std::optional<std::string> mismatch =
                describeSpeedMismatch(report.settings, options.faults.baud))
            report.reason += " (" + *mismatch + ")";
    }
    return report;
}

void writeImageFile(const std::string& path, const Bytes& bytes) {
    const std::string temporary = path + ".part";
    auto failWith = [&](const std::string& step, int error) {
        std::remove(temporary.c_str());
        throw std::runtime_error("Cannot save the received image to \"" + path + "\" (" + step +
                                 "): " + std::strerror(error));
    };
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file)
        failWith("create", errno);
    // An empty image has no buffer to hand to fwrite (a null pointer there is
    // undefined even for zero bytes).
    const std::size_t written =
        bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
    const int writeError = errno;
    if (written != bytes.size()) {
        std::fclose(file);
        failWith("write", writeError ? writeError : EIO);
    }
    if (std::fclose(file) != 0)
        failWith("write", errno);
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        failWith("rename", errno);
}

}  // namespace oxu::sim
