#pragma once

// Scripted stand-ins for the port, the window and the clock, so the transfer
// logic can be driven byte by byte and tick by tick.

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/clock.h"
#include "protocol/line_choices.h"
#include "protocol/serial_port.h"
#include "protocol/update_events.h"
#include "protocol/window_services.h"

namespace oxu::testkit {

class FakePort : public SerialPort {
public:
    bool isOpen() const override { return m_open; }
    void close() override {
        log.push_back("close");
        m_open = false;
        if (!closeFailure.empty())
            throw SerialError(failureKind, closeFailure);
    }
    void setPortNumber(int number) override {
        log.push_back("port " + std::to_string(number));
        if (!rejectPortNumber.empty())
            throw SerialError(PortErrorKind::Unsupported, rejectPortNumber);
        portNumber = number;
    }
    void setBaudRate(int baud) override {
        const LineChoice* line = findLineChoiceByBaud(baud);
        if (line == nullptr)
            throw SerialError(PortErrorKind::Unsupported,
                              "unsupported baud rate " + std::to_string(baud));
        log.push_back(std::string("settings ") + line->settings);
        lineSettings = line->settings;
    }
    void open() override {
        log.push_back("open");
        if (!openFailure.empty())
            throw SerialError(failureKind, openFailure);
        m_open = true;
    }
    void write(ByteView bytes) override {
        if (!writeFailure.empty())
            throw SerialError(failureKind, writeFailure);
        if (!m_open)
            throw SerialError(PortErrorKind::Unsupported, "write on a closed port");
        if (keepWrites)
            writes.emplace_back(bytes.begin(), bytes.end());
        written.insert(written.end(), bytes.begin(), bytes.end());
    }
    Bytes readAll() override {
        Bytes out(m_input.begin(), m_input.end());
        m_input.clear();
        return out;
    }
    std::string describe() const override { return "COM " + std::to_string(portNumber); }

    // The device sends bytes: they wait in the port and a notification is raised.
    void deliver(const Bytes& bytes) {
        m_input.insert(m_input.end(), bytes.begin(), bytes.end());
        notifyDataReceived();
    }
    // Bytes wait in the port without a notification yet.
    void queue(const Bytes& bytes) { m_input.insert(m_input.end(), bytes.begin(), bytes.end()); }
    void loseLine(const std::string& description,
                  PortErrorKind kind = PortErrorKind::Disconnected) {
        m_open = false;
        notifyPortLost(SerialError(kind, description));
    }
    void forceOpen() { m_open = true; }
    std::size_t waiting() const { return m_input.size(); }
    void clearRecord() {
        writes.clear();
        written.clear();
        log.clear();
    }

    std::vector<Bytes> writes;  // one entry per write() call, while keepWrites
    bool keepWrites = true;
    Bytes written;  // everything written, in order
    std::vector<std::string> log;
    int portNumber = 0;
    std::string lineSettings = kDefaultLineChoice.settings;
    std::string openFailure;
    std::string writeFailure;
    std::string closeFailure;                       // close() releases the port, then throws this
    PortErrorKind failureKind = PortErrorKind::Io;  // the kind of the three failures above
    std::string rejectPortNumber;

private:
    bool m_open = false;
    std::deque<std::uint8_t> m_input;
};

struct ShownBox {
    std::string text;
    Buttons buttons;
    Icon icon;
    std::optional<std::string> title;
};

class FakeWindow : public WindowServices {
public:
    std::string portText() const override { return port; }
    BaudOption selectedBaud() const override { return baud; }
    void setStatus(const std::string& text) override {
        status = text;
        statuses.push_back(text);
    }
    void endProgram() override { ended = true; }

    // Texts of the boxes shown so far, in order.
    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const ShownBox& box : boxes)
            texts.push_back(box.text);
        return texts;
    }

    std::string port = "1";
    BaudOption baud = BaudOption::Option4;
    std::string status;
    std::vector<std::string> statuses;
    std::vector<ShownBox> boxes;
    std::deque<Answer> answers;  // answers to Yes/No boxes, Yes when empty
    std::string chosenFile;      // what the file dialog returns
    std::optional<std::string> dialogFilter;
    bool ended = false;
    // Runs while a box is open, as events delivered during a modal loop would.
    std::function<void(const ShownBox&)> whileBoxOpen;
    std::function<void()> whileDialogOpen;

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override {
        boxes.push_back({text, buttons, icon, title});
        if (whileBoxOpen)
            whileBoxOpen(boxes.back());
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        if (answers.empty())
            return Answer::Yes;
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::string showFileDialog(const std::string& filter) override {
        dialogFilter = filter;
        if (whileDialogOpen)
            whileDialogOpen();
        return chosenFile;
    }
};

// Keeps every event of an update, and the boxes shown when each arrived, so
// tests can check that an event comes before its box.
class RecordingObserver : public UpdateObserver {
public:
    explicit RecordingObserver(const FakeWindow* window = nullptr) : m_window(window) {}
    void onUpdateEvent(const UpdateEvent& event) override {
        events.push_back(event);
        boxesBefore.push_back(m_window ? m_window->boxes.size() : 0);
    }

    std::vector<UpdateEvent> events;
    std::vector<std::size_t> boxesBefore;  // boxes already shown at each event

private:
    const FakeWindow* m_window;
};

class FakeClock : public Clock {
public:
    std::chrono::microseconds now() const override { return m_now; }
    void set(std::chrono::microseconds t) { m_now = t; }
    void advance(std::chrono::microseconds d) { m_now += d; }

private:
    std::chrono::microseconds m_now{1'000'000};
};

}  // namespace oxu::testkit
