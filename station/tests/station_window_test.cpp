// The window on fake ports and a clock moved by hand: Start and Stop, station
// mode, closing during a run, the image refused mid-run, the audit log, and
// what the controls tell assistive technology and the keyboard.

#include "station/station_window.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <sstream>

#include "station/tile_widget.h"
#include "tests/kit/scripted_ports.h"
#include "tests/kit/test_files.h"

namespace oxu::station {
namespace {

using namespace std::chrono_literals;
using testkit::DeviceScript;

constexpr std::size_t kImageSize = 1000;  // 4 pages

// The window with its questions answered by the test.
class TestWindow final : public StationWindow {
public:
    using StationWindow::StationWindow;

    std::vector<QString> questions;
    bool answer = true;
    int picks = 0;
    QString picked;

protected:
    bool askYesNo(const QString& question) override {
        questions.push_back(question);
        return answer;
    }
    QString pickImageFile() override {
        ++picks;
        return picked;
    }
};

class StationWindowTest : public testing::Test {
protected:
    StationWindowTest() : m_image(m_files.file("fw.bin", testkit::patterned(kImageSize))) {}

    // A window on ports 1..count, each with its own fake device.
    std::unique_ptr<TestWindow> makeWindow(int count, bool withLog = true) {
        StationOptions options;
        options.image = m_image;
        if (withLog)
            options.logPath = logPath();
        std::vector<runs::PlannedPort> ports;
        for (int number = 1; number <= count; ++number) {
            const runs::PortRequest request{number, "/dev/ttyFAKE" + std::to_string(number)};
            ports.push_back({request, m_ports.identify(request), true});
        }
        auto window =
            std::make_unique<TestWindow>(options, ports, StationParts{m_ports, m_ports, m_clock});
        QObject::connect(window.get(), &StationWindow::runFinished,
                         [this](int exitCode) { m_exitCodes.push_back(exitCode); });
        return window;
    }

    static QPushButton* button(QWidget& window, const QString& name) {
        for (QPushButton* found : window.findChildren<QPushButton*>()) {
            if (found->accessibleName() == name)
                return found;
        }
        ADD_FAILURE() << "no button " << name.toStdString();
        return nullptr;
    }

    static QLabel* label(QWidget& window, const QString& name) {
        for (QLabel* found : window.findChildren<QLabel*>()) {
            if (found->accessibleName() == name)
                return found;
        }
        throw std::runtime_error("no label " + name.toStdString());
    }

    static std::vector<std::string> states(const StationWindow& window) {
        std::vector<std::string> found;
        for (const runs::PortView& tile : window.board().ports())
            found.push_back(tile.state);
        return found;
    }

    bool runToEnd(const StationWindow& window) {
        return m_clock.runUntil([&] { return !window.running(); }, 60s);
    }

    std::string logPath() const { return m_files.path() + "/audit.jsonl"; }

    // The audit log's records of that kind.
    std::vector<QJsonObject> records(const char* kind) const {
        std::vector<QJsonObject> found;
        std::istringstream lines(testkit::readText(logPath()));
        for (std::string line; std::getline(lines, line);) {
            const QJsonObject record =
                QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (record["record"].toString() == kind)
                found.push_back(record);
        }
        return found;
    }

    testkit::TempDir m_files;
    std::string m_image;
    testkit::FakeRunClock m_clock;
    testkit::ScriptedPorts m_ports{m_clock, kImageSize};
    std::vector<int> m_exitCodes;
};

TEST_F(StationWindowTest, StartRunsEveryPortOnceWithItsRecords) {
    m_ports.scripts[2].silent = true;
    auto window = makeWindow(3);
    button(*window, "Start")->click();
    EXPECT_TRUE(window->running());
    EXPECT_FALSE(button(*window, "Start")->isEnabled());
    EXPECT_TRUE(button(*window, "Stop")->isEnabled());
    ASSERT_TRUE(runToEnd(*window));

    EXPECT_EQ(states(*window),
              (std::vector<std::string>{"complete", "failed: connection failed", "complete"}));
    EXPECT_EQ(m_exitCodes, std::vector<int>{runs::kExitSomeFailed});
    EXPECT_EQ(label(*window, "Audit log")->text().toStdString(), "Audit log: " + logPath());
    EXPECT_TRUE(button(*window, "Start")->isEnabled());
    EXPECT_FALSE(button(*window, "Stop")->isEnabled());
    const auto ended = records("attempt");
    ASSERT_EQ(ended.size(), 3u);
    EXPECT_EQ(records("attempt-start").size(), 3u);
    for (const QJsonObject& record : ended)
        EXPECT_EQ(record["program"].toString(), "oxu-station");

    // A second run adds to the session's counts.
    button(*window, "Start")->click();
    ASSERT_TRUE(runToEnd(*window));
    EXPECT_EQ(runs::describeTally(window->board().tally()), "complete 4, failed 2, yield 66.7%");
    EXPECT_EQ(window->board().ports()[0].complete, 2);
    EXPECT_EQ(window->board().ports()[1].failed, 2);
}

TEST_F(StationWindowTest, StopEndsEveryAttemptClosesEveryPortAndWritesEveryRecord) {
    for (int number : {1, 2, 3})
        m_ports.scripts[number].answerAfter = 50ms;
    auto window = makeWindow(3);
    button(*window, "Start")->click();
    m_clock.advance(120ms);
    button(*window, "Stop")->click();
    ASSERT_TRUE(runToEnd(*window));

    EXPECT_EQ(states(*window), std::vector<std::string>(3, "interrupted"));
    EXPECT_EQ(m_exitCodes, std::vector<int>{runs::kExitInterrupted});
    ASSERT_EQ(m_ports.logs.size(), 3u);
    for (const auto& port : m_ports.logs)
        EXPECT_TRUE(port->closedWhenSent || port->closedAtOnce) << "COM " << port->number;
    const auto ended = records("attempt");
    ASSERT_EQ(ended.size(), 3u);
    for (const QJsonObject& record : ended)
        EXPECT_EQ(record["problem"].toString(), "stopped by the operator");
    EXPECT_EQ(runs::describeTally(window->board().tally()), "complete 0, failed 0, yield -");
}

TEST_F(StationWindowTest, PagesAreDrawnAtMostEveryTenthOfASecondStatesAtOnceAndNoTimerIdles) {
    m_ports.scripts[1].answerAfter = 30ms;  // 4 pages within about 150 ms
    m_ports.scripts[2].silent = true;
    auto window = makeWindow(2);
    std::vector<std::pair<std::chrono::microseconds, std::string>> drawn;  // COM 1's lines
    QObject::connect(window.get(), &StationWindow::tileChanged,
                     [&](int number, const QString& state) {
                         if (number == 1)
                             drawn.emplace_back(m_clock.now(), state.toStdString());
                     });
    EXPECT_EQ(m_clock.activeAlarms(), 0u) << "nothing runs before Start";
    button(*window, "Start")->click();

    // COM 2's device is silent: its time taken moves on all the same.
    m_clock.advance(3s);
    const auto tiles = window->findChildren<TileWidget*>();
    ASSERT_EQ(tiles.size(), 2);
    EXPECT_EQ(tiles[1]->view().state, "stalled: no answer");
    EXPECT_GE(tiles[1]->view().elapsed, 2'900ms);
    ASSERT_TRUE(runToEnd(*window));
    EXPECT_EQ(m_clock.activeAlarms(), 0u) << "nothing runs after the run";

    ASSERT_GE(drawn.size(), 4u);
    EXPECT_EQ(drawn[1].second, "connecting");
    EXPECT_EQ(drawn.back().second, "complete");
    // The first page line is a new state, drawn at once; the pages after it
    // come with the refresh, a refresh interval apart at the least.
    std::size_t pageLines = 0;
    for (std::size_t i = 2; i + 1 < drawn.size(); ++i) {
        EXPECT_EQ(drawn[i].second.rfind("page ", 0), 0u) << drawn[i].second;
        if (i > 2) {
            EXPECT_GE(drawn[i].first - drawn[i - 1].first, runs::PortBoard::kRefreshInterval)
                << drawn[i].second;
        }
        ++pageLines;
    }
    EXPECT_LT(pageLines, 5u) << "5 page events, fewer drawn";
}

TEST_F(StationWindowTest, ClosingDuringARunAsksOnceThenStopsAndClosesWhenTheRunHasFinished) {
    for (int number : {1, 2}) {
        m_ports.scripts[number].answerAfter = 50ms;
        m_ports.scripts[number].closeTakes = 100ms;
    }
    auto window = makeWindow(2);
    window->show();
    button(*window, "Start")->click();

    window->answer = false;
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->running());
    window->answer = true;
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->close());  // already stopping: not asked again
    EXPECT_EQ(window->questions, (std::vector<QString>(2, "Stop the run on 2 ports?")));
    EXPECT_TRUE(window->isVisible());

    ASSERT_TRUE(runToEnd(*window));
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(m_exitCodes, std::vector<int>{runs::kExitInterrupted});
    const auto ended = records("attempt");
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0]["problem"].toString(), "stopped by the operator");
}

TEST_F(StationWindowTest, TheImageCannotChangeDuringARun) {
    m_ports.scripts[1].answerAfter = 50ms;
    auto window = makeWindow(1);
    const std::string other = m_files.file("other.bin", testkit::patterned(300));
    window->picked = QString::fromStdString(other);
    QString message;
    QObject::connect(window.get(), &StationWindow::messageShown,
                     [&](const QString& text) { message = text; });
    button(*window, "Start")->click();
    button(*window, "Choose image…")->click();
    EXPECT_EQ(window->picks, 0);
    EXPECT_EQ(message, "The image cannot change during a run: press Stop first.");
    ASSERT_TRUE(runToEnd(*window));

    // Between runs it changes, and the next run sends the new file.
    button(*window, "Choose image…")->click();
    EXPECT_EQ(window->picks, 1);
    button(*window, "Start")->click();
    ASSERT_TRUE(runToEnd(*window));
    const auto ended = records("attempt");
    ASSERT_EQ(ended.size(), 2u);
    EXPECT_EQ(ended[0]["firmware"].toObject()["bytes"].toInt(), 1000);
    EXPECT_EQ(ended[1]["firmware"].toObject()["bytes"].toInt(), 300);
}

TEST_F(StationWindowTest, StationModeFlashesEachBoardAsItComesUntilStop) {
    auto window = makeWindow(2, false);
    button(*window, "Station mode")->click();
    m_clock.advance(100ms);
    EXPECT_EQ(states(*window), std::vector<std::string>(2, "waiting for a board"));

    m_ports.present[2] = true;
    ASSERT_TRUE(m_clock.runUntil(
        [&] { return window->board().ports()[1].state == "complete, remove the board"; }, 10s));
    m_ports.present[2] = false;
    m_clock.advance(1s);
    EXPECT_EQ(states(*window), std::vector<std::string>(2, "waiting for a board"));
    EXPECT_EQ(window->board().ports()[1].complete, 1);

    button(*window, "Stop")->click();
    ASSERT_TRUE(runToEnd(*window));
    EXPECT_EQ(states(*window), std::vector<std::string>(2, "stopped"));
    EXPECT_EQ(m_exitCodes, std::vector<int>{runs::kExitComplete});
}

TEST_F(StationWindowTest, EveryControlIsNamedAndTheButtonsHaveMnemonics) {
    auto window = makeWindow(2, false);
    const std::pair<const char*, const char*> buttons[] = {{"Start", "Alt+S"},
                                                           {"Station mode", "Alt+M"},
                                                           {"Stop", "Alt+T"},
                                                           {"Choose image…", "Alt+I"}};
    for (const auto& [name, keys] : buttons)
        EXPECT_EQ(button(*window, name)->shortcut(), QKeySequence(keys)) << name;

    std::vector<QString> names;
    QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window.get());
    for (int i = 0; i < root->childCount(); ++i) {
        const QString name = root->child(i)->text(QAccessible::Name);
        EXPECT_FALSE(name.isEmpty()) << "child " << i;
        names.push_back(name);
    }
    for (const char* expected : {"COM 1", "COM 2", "Audit log", "Image", "Tally", "Messages"})
        EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    // Without --log the window says so where a supervisor sees it.
    EXPECT_TRUE(label(*window, "Audit log")->text().startsWith("NO AUDIT LOG"));
}

}  // namespace
}  // namespace oxu::station
