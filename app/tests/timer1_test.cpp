// Timer1 runs only while an update is watched, so an idle window is never
// woken; while it runs, the watchdog behaves as with a timer that never stops.

#include <gtest/gtest.h>

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "recording_form.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

constexpr int kWaitMs = 10000;  // generous: the machine is shared

// Notes whether Timer1 was running each time a box opened.
class TimerProbeForm : public RecordingForm {
public:
    using RecordingForm::RecordingForm;
    std::vector<bool> timerAtBox;

protected:
    Answer showMessageBox(const std::string& text, Buttons buttons, Icon icon,
                          const std::optional<std::string>& title) override {
        timerAtBox.push_back(Timer1->isActive());
        return RecordingForm::showMessageBox(text, buttons, icon, title);
    }
};

class Timer1Test : public ::testing::Test {
protected:
    void startUpdate() {
        const QString path = m_dir.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(600, '\x5A'));
        file.close();
        form.chosenFile = path.toStdString();
        form.Command2->click();
    }
    bool waitForTimerStopped() {
        return QTest::qWaitFor([this] { return !form.Timer1->isActive(); }, kWaitMs);
    }

    QTemporaryDir m_dir;
    FakePort port;
    FakeClock clock;
    TimerProbeForm form{&port, &clock};
};

TEST_F(Timer1Test, IdleWindowIsNeverWoken) {
    QSignalSpy ticks(form.Timer1, &QTimer::timeout);
    QTest::qWait(200);
    EXPECT_EQ(ticks.count(), 0);
    // Nor by a download command, which opens and closes the port at once.
    form.answers = {Answer::Yes};
    form.Command3->click();
    QTest::qWait(100);
    EXPECT_EQ(ticks.count(), 0);
    EXPECT_FALSE(form.Timer1->isActive());
}

TEST_F(Timer1Test, RunsFromUpdateStartUntilTheDeviceCompletes) {
    startUpdate();
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), Form1::kTimerIntervalMs);
    EXPECT_EQ(form.Timer1->timerType(), Qt::PreciseTimer);
    port.deliver({0xAA, 0x01});
    EXPECT_TRUE(form.Timer1->isActive());
    port.deliver({0x55});
    ASSERT_TRUE(waitForTimerStopped());
    QSignalSpy ticks(form.Timer1, &QTimer::timeout);
    QTest::qWait(100);
    EXPECT_EQ(ticks.count(), 0) << "no tick after the update";
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Transfert Complete"});
}

TEST_F(Timer1Test, RunsWhileABoxIsOpenDuringAWatchedUpdate) {
    startUpdate();
    port.deliver({0xAA, 0x00});
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Please start from page 1"});
    EXPECT_EQ(form.timerAtBox, std::vector<bool>{true});
}

TEST_F(Timer1Test, StopsAfterTheWatchdogReportsAndRestartsWhenTheDeviceSpeaks) {
    startUpdate();
    clock.advance(1500ms);
    ASSERT_TRUE(QTest::qWaitFor([this] { return !form.boxes.empty(); }, kWaitMs));
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Connection Failed"});
    ASSERT_TRUE(waitForTimerStopped());

    port.deliver({0xAA, 0x01});
    EXPECT_TRUE(form.Timer1->isActive());
    clock.advance(1500ms);
    ASSERT_TRUE(QTest::qWaitFor([this] { return form.boxes.size() == 2; }, kWaitMs));
    EXPECT_EQ(form.boxes[1].text, "Transfer Interrupted");
}

}  // namespace
}  // namespace oxu::testkit
