// The window as a program, run as a child process on the offscreen platform:
// the scripted build (see scripted_form.h) driven through its commands, and
// the operator's oxu-updater, which must take no commands at all and answers
// its command line before it opens a window.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "oxu_version.h"
#include "serial/qt_serial_port.h"
#include "tests/kit/qt_pty.h"

namespace oxu::testkit {
namespace {

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("OXU_COM1"), QString::fromStdString(pty.slavePath()));
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(OXU_UPDATER_SCRIPTED), {});
        ASSERT_TRUE(program.waitForStarted(10000));
    }

    void TearDown() override {
        if (program.state() != QProcess::NotRunning) {
            program.kill();
            program.waitForFinished(10000);
        }
    }

    std::string writeImage(qint64 size) {
        const QString path = dir.filePath(QStringLiteral("image.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(size, '\x5A'));
        return path.toStdString();
    }

    void command(const std::string& line) {
        program.write(QByteArray::fromStdString(line + "\n"));
        program.waitForBytesWritten(10000);
    }

    Pty pty;
    PortVariable variable{1, pty.slavePath()};
    QTemporaryDir dir;
    QProcess program;
};

TEST_F(ProgramTest, CancelDuringAnUpdateEndsTheProgramWithoutAMessage) {
    command("file " + writeImage(1024));
    command("click Command2");
    ASSERT_EQ(pty.receive(4), (Bytes{0xAA, 0x04, 0x00, 0xAE}));
    pty.send({0xAA, 0x01});
    ASSERT_EQ(pty.receive(258).size(), 258u);

    command("click Command1");
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const QByteArray output = program.readAllStandardOutput();
    EXPECT_FALSE(output.contains("box ")) << output.toStdString();

    // The system released the port with the process: it opens again.
    QtSerialPort again;
    EXPECT_NO_THROW(again.open());
}

TEST_F(ProgramTest, WholeUpdateThroughTheProgramEndsWithCompletion) {
    command("file " + writeImage(300));
    command("click Command2");
    ASSERT_EQ(pty.receive(4), (Bytes{0xAA, 0x02, 0x00, 0xAC}));
    pty.send({0xAA, 0x01});
    EXPECT_EQ(pty.receive(258).size(), 258u);
    pty.send({0xAA, 0x02});
    EXPECT_EQ(pty.receive(46).size(), 46u);
    pty.send({0x55});
    QByteArray output;
    for (int i = 0; i < 100 && !output.contains('\n'); ++i) {
        program.waitForReadyRead(100);
        output += program.readAllStandardOutput();
    }
    EXPECT_EQ(output, QByteArray("box information OXU Updater|Transfert Complete\n"));
    command("click Command1");
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
}

QProcessEnvironment environmentWithoutDisplay() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    return environment;
}

TEST(InstalledProgram, AnswersItsCommandLineAndAMissingDisplayWithoutAWindow) {
    const std::string version = std::string("oxu-updater ") + kVersion + "\n";
    const std::string noDisplay =
        "oxu-updater: no display (DISPLAY and WAYLAND_DISPLAY are not set); use oxu-update for "
        "a terminal\n";
    const struct {
        QStringList args;
        std::vector<std::pair<const char*, const char*>> environment;
        int exitCode;
        bool onStandardOutput;  // else on standard error; the other stays empty
        std::string said;       // the whole output when it ends in a newline, else a part
    } cases[] = {
        {{"--help"}, {}, 0, true, "Usage: oxu-updater [--help | --version]"},
        {{"-h"}, {}, 0, true, "--version      show the version and exit"},
        {{"--version"}, {}, 0, true, version},
        // Not even an unreachable display is opened to answer.
        {{"--version"}, {{"DISPLAY", ":4242"}, {"QT_QPA_PLATFORM", "xcb"}}, 0, true, version},
        {{"--verbose"}, {}, 64, false, "oxu-updater: unknown option '--verbose'"},
        {{"image.bin"}, {{"QT_QPA_PLATFORM", "offscreen"}}, 64, false, "argument 'image.bin'"},
        {{"--version", "-platform"}, {}, 64, false, "unknown option '-platform'"},
        {{}, {}, 1, false, noDisplay},
        {{}, {{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ""}}, 1, false, noDisplay},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcessEnvironment environment = environmentWithoutDisplay();
        for (const auto& [name, value] : c.environment)
            environment.insert(QString::fromLatin1(name), QString::fromLatin1(value));
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(OXU_UPDATER_EXECUTABLE), c.args);
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), c.exitCode);
        const std::string out = program.readAllStandardOutput().toStdString();
        const std::string err = program.readAllStandardError().toStdString();
        const std::string& said = c.onStandardOutput ? out : err;
        if (c.said.back() == '\n')
            EXPECT_EQ(said, c.said);
        else
            EXPECT_NE(said.find(c.said), std::string::npos) << said;
        EXPECT_EQ(c.onStandardOutput ? err : out, "");
    }
}

// A variable inherited from a test shell, and commands on standard input,
// must not turn the operator's window into one that silently does nothing.
TEST(InstalledProgram, IgnoresTheTestVariableAndStandardInput) {
    QFile binary(QStringLiteral(OXU_UPDATER_EXECUTABLE));
    ASSERT_TRUE(binary.open(QIODevice::ReadOnly));
    EXPECT_FALSE(binary.readAll().contains("OXU_UPDATER_TEST_CONTROL"))
        << "the program still reads the test variable";

    Pty pty;
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(300, '\x5A'));
    file.close();

    QProcess program;
    // The offscreen platform needs no display: none is set.
    QProcessEnvironment environment = environmentWithoutDisplay();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("OXU_UPDATER_TEST_CONTROL"), QStringLiteral("1"));
    environment.insert(QStringLiteral("OXU_COM1"), QString::fromStdString(pty.slavePath()));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(OXU_UPDATER_EXECUTABLE), {});
    ASSERT_TRUE(program.waitForStarted(10000));
    program.write("file " + image.toUtf8() + "\nclick Command2\nclick Command1\n");
    program.waitForBytesWritten(10000);

    // A scripted window would send a header, print boxes, or end on Command1.
    EXPECT_TRUE(pty.receive(1, std::chrono::seconds(2)).empty());
    EXPECT_EQ(program.state(), QProcess::Running);
    EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
    program.kill();
    program.waitForFinished(10000);
}

}  // namespace
}  // namespace oxu::testkit
