#pragma once

// The updater's side of the line, played in-process: sends the header, then
// answers each request the way the program does (it reads the first two
// bytes of what arrived and discards the rest; a lone 0x55 into an empty
// buffer is completion; bytes before the first 0xAA of a buffer of two or
// more are dropped).
// Time stands still except where a wait moves it.

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "device/line.h"
#include "protocol/firmware_image.h"
#include "protocol/frames.h"

namespace oxu::sim::test {

class ScriptedProgram : public Line {
public:
    explicit ScriptedProgram(Bytes image)
        : m_image(std::move(image)), m_outgoing(buildHeaderFrame(pageCount(m_image.size()))) {}

    // Edits the frame served for a page; `serving` counts from 1 per page.
    std::function<void(int page, int serving, Bytes& frame)> alterFrame;
    // Bytes delivered per read, to split frames across reads.
    std::size_t chunkSize = 100000;
    // Times the program starts the update over (the header again) when the
    // device keeps it waiting, as a program that gives up and retries.
    int restartsWhenKeptWaiting = 0;
    Bytes restartPrefix;  // sent before the header of each restart
    std::optional<LineSettings> lineSettings;

    // What was seen.
    std::vector<Bytes> writes;
    int pageZeroRequests = 0;
    bool completed = false;
    bool hungUp = false;

    void replaceOutgoing(Bytes bytes) { m_outgoing = std::move(bytes); }
    void closeAfterOutgoing() { m_closeWhenEmpty = true; }

    ReadStatus read(Bytes& into, std::chrono::microseconds timeout) override {
        if (!m_outgoing.empty()) {
            const std::size_t count = std::min(chunkSize, m_outgoing.size());
            into.insert(into.end(), m_outgoing.begin(), m_outgoing.begin() + count);
            m_outgoing.erase(m_outgoing.begin(), m_outgoing.begin() + count);
            m_time += std::chrono::microseconds(10);
            return ReadStatus::Data;
        }
        if (m_closed || m_closeWhenEmpty)
            return ReadStatus::Closed;
        if (restartsWhenKeptWaiting > 0 && timeout > std::chrono::microseconds(0)) {
            --restartsWhenKeptWaiting;
            m_time += timeout / 2;
            m_outgoing = restartPrefix;
            const Bytes header = buildHeaderFrame(pageCount(m_image.size()));
            m_outgoing.insert(m_outgoing.end(), header.begin(), header.end());
            return read(into, timeout);
        }
        if (timeout > std::chrono::microseconds(0))
            m_time += timeout;
        return ReadStatus::Timeout;
    }

    void write(ByteView data) override {
        writes.emplace_back(data.begin(), data.end());
        const bool wasEmpty = m_received.empty();
        m_received.insert(m_received.end(), data.begin(), data.end());
        if (wasEmpty && m_received == Bytes{kCompletionByte}) {
            completed = true;
            m_closed = true;
            m_received.clear();
            return;
        }
        if (m_received.size() >= 2 && m_received[0] != kFrameMark)
            m_received.erase(m_received.begin(),
                             std::find(m_received.begin(), m_received.end(), kFrameMark));
        if (m_received.size() >= 2) {
            const int page = m_received[1];
            m_received.clear();
            if (page == 0) {
                ++pageZeroRequests;
                return;
            }
            Bytes frame = buildPageFrame(pageSlice(m_image, page));
            if (alterFrame)
                alterFrame(page, ++m_servings[page], frame);
            m_outgoing.insert(m_outgoing.end(), frame.begin(), frame.end());
        }
    }

    std::optional<LineSettings> awaitSettings(std::chrono::microseconds) override {
        return lineSettings;
    }
    std::optional<LineSettings> currentSettings() const override { return lineSettings; }
    void hangUp() override { hungUp = true; }
    bool pause(std::chrono::microseconds duration) override {
        m_time += duration;
        return true;
    }
    std::chrono::microseconds now() const override { return m_time; }

private:
    Bytes m_image;
    Bytes m_outgoing;
    Bytes m_received;
    std::map<int, int> m_servings;
    bool m_closed = false;
    bool m_closeWhenEmpty = false;
    std::chrono::microseconds m_time{1'000'000};
};

}  // namespace oxu::sim::test
