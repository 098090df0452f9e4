#include "runs/audit_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace oxu::runs {
namespace {

class AuditLogTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("oxu-audit-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string pathTo(const std::string& name) const { return (m_dir / name).string(); }

    static std::vector<std::string> readLines(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::filesystem::path m_dir;
};

// A record of writer `writer`, number `n`: some short, some longer than a
// page of the page cache, so that records straddle page boundaries.
std::string makeRecord(int writer, int n) {
    const std::string filler(n % 7 == 0 ? 5000 : 40 + n % 300, static_cast<char>('a' + n % 26));
    return R"({"writer":)" + std::to_string(writer) + R"(,"n":)" + std::to_string(n) +
           R"(,"filler":")" + filler + "\"}\n";
}

TEST_F(AuditLogTest, AppendsWholeLinesAfterWhatIsThere) {
    const std::string path = pathTo("audit.jsonl");
    std::ofstream(path) << "{\"earlier\":1}\n";
    {
        AuditLog log(path);
        log.append(makeRecord(1, 1));
        log.append(makeRecord(1, 7));
    }
    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "{\"earlier\":1}");
    EXPECT_EQ(lines[2] + "\n", makeRecord(1, 7));
}

TEST_F(AuditLogTest, CreatesTheFileForItsOwnerToWrite) {
    const std::string path = pathTo("new.jsonl");
    AuditLog log(path);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_TRUE(info.st_mode & S_IWUSR);
}

TEST_F(AuditLogTest, RefusesWhatCannotBeALog) {
    struct Case {
        std::string path;
        const char* mentions;
    };
    ::mkfifo(pathTo("fifo").c_str(), 0600);
    const Case cases[] = {
        {pathTo("missing-dir/audit.jsonl"), "No such file or directory"},
        {m_dir.string(), "Is a directory"},
        // Opened without a reader it would hang; refused at once instead.
        {pathTo("fifo"), "fifo"},
        {"/dev/null", "not a regular file"},
    };
    for (const Case& c : cases) {
        try {
            AuditLog log(c.path);
            ADD_FAILURE() << "accepted " << c.path;
        } catch (const AuditLogError& error) {
            const std::string what = error.what();
            EXPECT_NE(what.find(c.mentions), std::string::npos) << what;
            EXPECT_NE(what.find(c.path), std::string::npos) << what;
        }
    }
}

TEST_F(AuditLogTest, ALogLeftEndingInPartOfALineGetsItsNextRecordOnALineOfItsOwn) {
    struct Case {
        const char* before;
        std::vector<std::string> lines;  // after two records are appended
    };
    const std::string first = makeRecord(1, 1), second = makeRecord(1, 2);
    const auto bare = [](const std::string& record) { return record.substr(0, record.size() - 1); };
    const Case cases[] = {
        {"", {bare(first), bare(second)}},
        {"{\"whole\":1}\n", {"{\"whole\":1}", bare(first), bare(second)}},
        // A writer cut off mid-record: its fragment stays on a line of its own.
        {"{\"record\":\"attempt\",\"ti",
         {"{\"record\":\"attempt\",\"ti", bare(first), bare(second)}},
    };
    for (const Case& c : cases) {
        const std::string path = pathTo("audit.jsonl");
        std::filesystem::remove(path);
        std::ofstream(path, std::ios::binary) << c.before;
        {
            AuditLog log(path);
            log.append(first);
            log.append(second);
            EXPECT_TRUE(log.finish().empty());
        }
        EXPECT_EQ(readLines(path), c.lines) << c.before;
    }
}

TEST_F(AuditLogTest, TakesStartAndAttemptRecordsButNotTheSummary) {
    const std::string path = pathTo("audit.jsonl");
    AuditLog log(path);
    const QJsonObject record{{"record", "x"}};
    EXPECT_EQ(log.write(RecordKind::AttemptStart, record), std::nullopt);
    EXPECT_EQ(log.write(RecordKind::Attempt, record), std::nullopt);
    EXPECT_EQ(log.write(RecordKind::Summary, record), std::nullopt);
    EXPECT_TRUE(log.finish().empty());
    EXPECT_EQ(readLines(path).size(), 2u);
}

TEST_F(AuditLogTest, TwoProcessesAppendingAtOnceLeaveEveryRecordWhole) {
    const std::string path = pathTo("shared.jsonl");
    constexpr int kWriters = 2;
    constexpr int kRecords = 400;
    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int status = 0;
            try {
                AuditLog log(path);
                for (int n = 0; n < kRecords; ++n)
                    log.append(makeRecord(writer, n));
            } catch (...) {
                status = 1;
            }
            ::_exit(status);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    std::map<int, int> next;  // each writer's records arrive whole and in its order
    for (const std::string& line : readLines(path)) {
        QJsonParseError error{};
        const QJsonObject record =
            QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.substr(0, 80);
        const int writer = record["writer"].toInt();
        const int n = record["n"].toInt();
        EXPECT_EQ(n, next[writer]++);
        EXPECT_EQ(line + "\n", makeRecord(writer, n));
    }
    EXPECT_EQ(next[0], kRecords);
    EXPECT_EQ(next[1], kRecords);
}

}  // namespace
}  // namespace oxu::runs
