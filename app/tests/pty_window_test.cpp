// The window on a real port: Qt Serial Port on a pseudo-terminal whose master
// end the test plays as the device.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

#include "protocol/download_command.h"
#include "recording_form.h"
#include "serial/qt_serial_port.h"
#include "tests/kit/qt_pty.h"

namespace oxu::testkit {
namespace {

// The real port, with the slave's line settings read back at every write:
// the port is open then, and closing it restores the old settings.
class SettingsSpyPort : public SerialPort {
public:
    explicit SettingsSpyPort(const Pty& pty) : m_pty(pty) {
        m_port.setDataReceivedHandler([this] { notifyDataReceived(); });
        m_port.setPortLostHandler([this](const SerialError& error) { notifyPortLost(error); });
    }
    bool isOpen() const override { return m_port.isOpen(); }
    void close() override { m_port.close(); }
    void setPortNumber(int number) override { m_port.setPortNumber(number); }
    void setBaudRate(int baud) override { m_port.setBaudRate(baud); }
    void open() override { m_port.open(); }
    void write(ByteView bytes) override {
        m_port.write(bytes);
        settingsAtWrite = m_pty.slaveSettings();
    }
    Bytes readAll() override { return m_port.readAll(); }
    std::string describe() const override { return m_port.describe(); }

    std::optional<termios> settingsAtWrite;

private:
    const Pty& m_pty;
    QtSerialPort m_port;
};

Bytes checksumOf(const Bytes& bytes) {
    unsigned sum = 0;
    for (std::uint8_t byte : bytes)
        sum += byte;
    return {static_cast<std::uint8_t>((sum >> 8) & 0xFF), static_cast<std::uint8_t>(sum & 0xFF)};
}

class PtyWindowTest : public ::testing::Test {
public:
    std::string writeImage(qint64 size) {
        m_image.resize(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < m_image.size(); ++i)
            m_image[i] = static_cast<std::uint8_t>((i * 7 + 3) % 256);
        const QString path = m_dir.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(m_image.data()), size);
        return path.toStdString();
    }

    // Presses "Update" and reads the header the window sends.
    Bytes startUpdate(qint64 size) {
        form.chosenFile = writeImage(size);
        form.Command2->click();
        return pty.receive(4);
    }

    Pty pty;
    PortVariable variable{1, pty.slavePath()};
    SettingsSpyPort port{pty};
    RecordingForm form{&port};
    QTemporaryDir m_dir;
    Bytes m_image;
};

// Serves pages 1..pages of m_image as the device asks for them, checking
// every frame and the status line.
void servePages(PtyWindowTest& t, int pages);

TEST_F(PtyWindowTest, WholeUpdateShowsEachPageAndEndsWithCompletion) {
    const struct {
        qint64 size;
        Bytes header;
    } cases[] = {
        {1000, {0xAA, 0x04, 0x00, 0xAE}},
        {65280, {0xAA, 0xFF, 0x01, 0xA9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        form.boxes.clear();
        form.statuses.clear();
        QElapsedTimer elapsed;
        elapsed.start();
        EXPECT_EQ(startUpdate(c.size), c.header);
        const int pages = c.header[1];
        servePages(*this, pages);
        pty.send({0x55});
        ASSERT_TRUE(QTest::qWaitFor([this] { return !form.boxes.empty(); }, 10000));
        // For the report only; timing on a shared machine is not asserted.
        RecordProperty("update_ms_" + std::to_string(c.size), int(elapsed.elapsed()));
        EXPECT_EQ(form.boxTexts(), std::vector<std::string>{"Transfert Complete"});
        EXPECT_EQ(form.boxes[0].icon, Icon::Information);
        ASSERT_EQ(form.statuses.size(), static_cast<std::size_t>(pages) + 1);
        EXPECT_EQ(form.statuses.front(), "Transferring page 001 ...");
        EXPECT_EQ(form.statuses.back(), "");
        EXPECT_EQ(form.Label2->text(), QString());
        EXPECT_FALSE(port.isOpen());
    }
}

void servePages(PtyWindowTest& t, int pages) {
    for (int page = 1; page <= pages; ++page) {
        SCOPED_TRACE(page);
        t.pty.send({0xAA, static_cast<std::uint8_t>(page)});
        const std::size_t begin = static_cast<std::size_t>(page - 1) * 256;
        Bytes expected(t.m_image.begin() + begin,
                       t.m_image.begin() + std::min(begin + 256, t.m_image.size()));
        const Bytes sum = checksumOf(expected);
        expected.insert(expected.end(), sum.begin(), sum.end());
        ASSERT_EQ(t.pty.receive(expected.size()), expected);
        ASSERT_EQ(t.form.Label2->text().toStdString(), transferStatusText(page));
    }
}

TEST_F(PtyWindowTest, DownloadAnsweredNoWritesNothingAndLeavesTheOpenPortOpen) {
    ASSERT_EQ(startUpdate(256).size(), 4u);
    form.answers = {Answer::No};
    form.Command3->click();
    EXPECT_TRUE(port.isOpen());
    EXPECT_TRUE(pty.receiveAvailable().empty());
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{kDownloadQuestion});
}

TEST_F(PtyWindowTest, DownloadAnsweredYesSendsTheCommandAt19200EightNOne) {
    form.Option3->click();
    form.answers = {Answer::Yes};
    form.Command3->click();
    EXPECT_EQ(pty.receive(3), (Bytes{0x2F, 0x55, 0xAA}));
    EXPECT_TRUE(pty.receiveAvailable().empty());
    ASSERT_TRUE(port.settingsAtWrite.has_value()) << ::testing::PrintToString(form.boxTexts());
    const termios& settings = *port.settingsAtWrite;
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B19200));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(settings.c_cflag & PARENB);
    EXPECT_FALSE(settings.c_cflag & CSTOPB);
    EXPECT_FALSE(settings.c_cflag & CRTSCTS);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(form.boxTexts(), std::vector<std::string>{kDownloadQuestion});
}

TEST_F(PtyWindowTest, DownloadDuringAnUpdateClosesItsPortAndTheWatchdogReports) {
    ASSERT_EQ(startUpdate(512).size(), 4u);
    form.answers = {Answer::Yes};
    form.Command3->click();
    EXPECT_EQ(pty.receive(3), (Bytes{0x2F, 0x55, 0xAA}));
    EXPECT_FALSE(port.isOpen());
    // The update was never answered: after a second of silence, Timer1's
    // watchdog says so.
    ASSERT_TRUE(QTest::qWaitFor([this] { return form.boxes.size() == 2; }, 10000));
    EXPECT_EQ(form.boxes[1].text, "Connection Failed");
    EXPECT_EQ(form.boxes[1].icon, Icon::Warning);
}

TEST_F(PtyWindowTest, DownloadOnAMissingDeviceNamesThePort) {
    PortVariable missing{2, "/dev/oxu-no-such-device"};
    form.Combo1->setCurrentIndex(1);
    form.answers = {Answer::Yes};
    form.Command3->click();
    ASSERT_EQ(form.boxes.size(), 2u);
    EXPECT_NE(form.boxes[1].text.find("COM 2"), std::string::npos) << form.boxes[1].text;
    EXPECT_NE(form.boxes[1].text.find("/dev/oxu-no-such-device"), std::string::npos);
    EXPECT_EQ(form.boxes[1].icon, Icon::None);
    EXPECT_FALSE(port.isOpen());
}

}  // namespace
}  // namespace oxu::testkit
