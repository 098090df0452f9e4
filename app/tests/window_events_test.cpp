// The window's events reaching the transfer logic, with a recording port and
// a hand-moved clock: every box the window can show, raised by the situation
// that raises it, and the update button's quiet cases.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "recording_form.h"
#include "tests/kit/fakes.h"

namespace oxu::testkit {
namespace {

using namespace std::chrono_literals;

class WindowEventsTest : public ::testing::Test {
public:  // the scenario table drives the fixture from lambdas
    // A firmware file of `size` bytes whose byte i is i % 251.
    std::string writeImage(const char* name, qint64 size) {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray data(size, '\0');
        for (qint64 i = 0; i < size; ++i)
            data[i] = static_cast<char>(i % 251);
        file.write(data);
        return path.toStdString();
    }

    // Presses "Update" with a file of `size` bytes.
    void startUpdate(qint64 size = 300) {
        form.chosenFile = writeImage("image.bin", size);
        form.Command2->click();
    }

    // Lets Timer1 tick until a box has been shown.
    bool waitForBox() {
        return QTest::qWaitFor([this] { return !form.boxes.empty(); }, 10000);
    }

    QTemporaryDir m_dir;
    FakePort port;
    FakeClock clock;
    RecordingForm form{&port, &clock};
};

TEST_F(WindowEventsTest, EachSituationRaisesItsBox) {
    const struct {
        const char* situation;
        std::function<void(WindowEventsTest&)> raise;
        const char* text;
        Buttons buttons;
        Icon icon;
        std::optional<std::string> title;
    } cases[] = {
        {"device reports completion",
         [](WindowEventsTest& t) {
             t.startUpdate();
             t.port.deliver({0x55});
         },
         "Transfert Complete", Buttons::Ok, Icon::Information, "OXU Updater"},
        {"device asks for page 0",
         [](WindowEventsTest& t) {
             t.startUpdate();
             t.port.deliver({0xAA, 0x00});
         },
         "Please start from page 1", Buttons::Ok, Icon::Information, "OXU Updater"},
        {"device never answers",
         [](WindowEventsTest& t) {
             t.startUpdate();
             t.clock.advance(1500ms);
             t.waitForBox();
         },
         "Connection Failed", Buttons::Ok, Icon::Warning, "OXU Updater"},
        {"device stops part-way",
         [](WindowEventsTest& t) {
             t.startUpdate();
             t.port.deliver({0xAA, 0x01});
             t.clock.advance(1500ms);
             t.waitForBox();
         },
         "Transfer Interrupted", Buttons::Ok, Icon::Warning, "OXU Updater"},
        {"download button asks first", [](WindowEventsTest& t) { t.form.Command3->click(); },
         "Do you want to send the Download Command?", Buttons::YesNo, Icon::Question,
         "OXU Updater"},
        {"update cannot open the port",
         [](WindowEventsTest& t) {
             t.port.openFailure = "Cannot open COM 1 (/dev/ttyUSB0): busy";
             t.startUpdate();
         },
         "Cannot open COM 1 (/dev/ttyUSB0): busy", Buttons::Ok, Icon::Warning, "OXU Updater"},
        {"port lost during an update",
         [](WindowEventsTest& t) {
             t.startUpdate();
             t.port.loseLine("The connection to COM 1 (/dev/ttyUSB0) was lost.");
         },
         "The connection to COM 1 (/dev/ttyUSB0) was lost.", Buttons::Ok, Icon::Warning,
         "OXU Updater"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.situation);
        port.clearRecord();
        port.openFailure.clear();
        form.boxes.clear();
        form.watchedUpdate().stopWatching();
        c.raise(*this);
        ASSERT_EQ(form.boxes.size(), 1u) << ::testing::PrintToString(form.boxTexts());
        const RecordedBox& box = form.boxes.front();
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.buttons, c.buttons);
        EXPECT_EQ(box.icon, c.icon);
        EXPECT_EQ(box.title, c.title);
    }
}

TEST_F(WindowEventsTest, DownloadFailureShowsNoIconAndTheApplicationTitle) {
    form.answers = {Answer::Yes};
    port.openFailure = "Cannot open COM 1 (/dev/ttyUSB0): no such device";
    form.Command3->click();
    ASSERT_EQ(form.boxes.size(), 2u);
    EXPECT_EQ(form.boxes[1].text, "Cannot open COM 1 (/dev/ttyUSB0): no such device");
    EXPECT_EQ(form.boxes[1].icon, Icon::None);
    EXPECT_EQ(form.boxes[1].title, std::nullopt);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(WindowEventsTest, DownloadTakesPortAndBaudFromTheControls) {
    form.answers = {Answer::Yes};
    form.Combo1->setCurrentIndex(4);
    form.Option2->click();
    form.Command3->click();
    EXPECT_EQ(port.portNumber, 5);
    EXPECT_EQ(port.lineSettings, "9600,n,8,1");
    EXPECT_EQ(port.written, (Bytes{0x2F, 0x55, 0xAA}));
    EXPECT_FALSE(port.isOpen());
}

TEST_F(WindowEventsTest, UpdateServesEachPageAndShowsItInTheStatusLine) {
    startUpdate(300);
    EXPECT_EQ(port.written, (Bytes{0xAA, 0x02, 0x00, 0xAC}));
    port.clearRecord();
    port.deliver({0xAA, 0x01});
    EXPECT_EQ(form.Label2->text(), QStringLiteral("Transferring page 001 ..."));
    EXPECT_EQ(port.written.size(), 258u);
    port.deliver({0xAA, 0x02});
    EXPECT_EQ(form.Label2->text(), QStringLiteral("Transferring page 002 ..."));
    EXPECT_EQ(port.written.size(), 258u + 46u);
    port.deliver({0x55});
    EXPECT_EQ(form.Label2->text(), QString());
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Transfert Complete"});
    EXPECT_FALSE(port.isOpen());
}

TEST_F(WindowEventsTest, UpdateWithNoUsableNameDoesNothingVisible) {
    const struct {
        const char* name;
        std::string path;
    } cases[] = {
        {"cancelled dialog", ""},
        {"name that does not exist", m_dir.filePath(QStringLiteral("missing.bin")).toStdString()},
        {"a folder", m_dir.path().toStdString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form.chosenFile = c.path;
        form.Command2->click();
        EXPECT_EQ(*form.dialogFilter, "OXU bin Files (*.bin)|*.bin");
        EXPECT_TRUE(form.boxes.empty());
        EXPECT_TRUE(port.log.empty());
        EXPECT_TRUE(port.written.empty());
        EXPECT_EQ(form.Label2->text(), QString());
        EXPECT_FALSE(form.watchedUpdate().watching());
    }
}

TEST_F(WindowEventsTest, ImageTooLargeIsRefusedBeforeAnythingIsWritten) {
    startUpdate(65281);
    ASSERT_EQ(form.boxes.size(), 1u);
    EXPECT_EQ(form.boxes[0].icon, Icon::Warning);
    EXPECT_EQ(form.boxes[0].title, "OXU Updater");
    EXPECT_FALSE(form.boxes[0].text.empty());
    EXPECT_TRUE(port.written.empty());
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(form.watchedUpdate().watching());
}

TEST_F(WindowEventsTest, LargestImageIsAnnouncedAs255Pages) {
    startUpdate(65280);
    EXPECT_TRUE(form.boxes.empty());
    ASSERT_EQ(port.written.size(), 4u);
    EXPECT_EQ(port.written[1], 0xFF);
}

TEST_F(WindowEventsTest, WatchdogReportsOnceAndWaitsForTheDeviceAgain) {
    startUpdate();
    clock.advance(1500ms);
    ASSERT_TRUE(waitForBox());
    // More ticks with the device still silent: no second box.
    clock.advance(5s);
    QTest::qWait(100);
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Connection Failed"});
}

TEST_F(WindowEventsTest, LireReadsTheWholeFile) {
    const std::string path = writeImage("lire.bin", 1000);
    const Bytes image = form.Lire(path);
    ASSERT_EQ(image.size(), 1000u);
    EXPECT_EQ(image[999], 999 % 251);
}

}  // namespace
}  // namespace oxu::testkit
