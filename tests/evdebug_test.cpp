// The debug logger: line layout, level filter, destinations and many writers at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "support/log_capture.h"
#include "support/logger_to_file.h"
#include "support/process_kit.h"
#include "support/read_file.h"

namespace kytest {
namespace {

struct ParsedLine {
    std::string stamp, tid, level, tag, message;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool isNumber(const std::string& text, bool sign) {
    size_t first = sign && !text.empty() && text[0] == '-' ? 1 : 0;
    return text.size() > first && text.find_first_not_of("0123456789", first) == std::string::npos;
}

// "YYYY-MM-DD HH:MM:SS.mmm <tid> <level> <tag>: <message>"; the level is a number or '-'.
bool parseLine(const std::string& line, ParsedLine* out) {
    const std::string stampLayout = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < stampLayout.size()) return false;
    for (size_t i = 0; i < stampLayout.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (stampLayout[i] == 'd' ? !digit : line[i] != stampLayout[i]) return false;
    }
    size_t tidEnd = line.find(' ', stampLayout.size());
    size_t levelEnd = line.find(' ', tidEnd + 1);
    size_t tagEnd = line.find(": ", levelEnd + 1);
    if (tidEnd == std::string::npos || levelEnd == std::string::npos || tagEnd == std::string::npos)
        return false;
    out->stamp = line.substr(0, 19);
    out->tid = line.substr(stampLayout.size(), tidEnd - stampLayout.size());
    out->level = line.substr(tidEnd + 1, levelEnd - tidEnd - 1);
    out->tag = line.substr(levelEnd + 1, tagEnd - levelEnd - 1);
    out->message = line.substr(tagEnd + 2);
    return isNumber(out->tid, false) && (out->level == "-" || isNumber(out->level, true)) &&
           out->tag.find(' ') == std::string::npos;
}

long currentTid() { return syscall(SYS_gettid); }

// Points the logger at this test's file, not made yet, with threshold 7, and back after.
class EvDebugTest : public ::testing::Test {
  protected:
    std::vector<std::string> lines() const { return splitLines(ReadFile(m_path)); }

    kytest::TempDir m_dir;
    const std::string m_path = m_dir.file("debug.log");
    kytest::LoggerToFile m_logger{m_path, 7};
    EvDebug m_log;
};

TEST_F(EvDebugTest, LineCarriesLocalTimeThreadLevelTagAndMessage) {
    time_t before = time(nullptr);
    m_log.DebugLvl("KYLibCurl::KYCurlSetUrl", -1, "error:[%s] code %d", "Couldn't connect", 7);
    m_log.Debug("KYLibCurl::KYLibCurlAppendHeaders", "kind %d not implemented", 4);
    time_t after = time(nullptr);

    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    ParsedLine first, second;
    ASSERT_TRUE(parseLine(written[0], &first)) << written[0];
    ASSERT_TRUE(parseLine(written[1], &second)) << written[1];

    EXPECT_EQ(first.tid, std::to_string(currentTid()));
    EXPECT_EQ(first.level, "-1");
    EXPECT_EQ(first.tag, "KYLibCurl::KYCurlSetUrl");
    EXPECT_EQ(first.message, "error:[Couldn't connect] code 7");
    EXPECT_EQ(second.level, "-");
    EXPECT_EQ(second.tag, "KYLibCurl::KYLibCurlAppendHeaders");
    EXPECT_EQ(second.message, "kind 4 not implemented");

    tm local{};
    ASSERT_NE(strptime(first.stamp.c_str(), "%Y-%m-%d %H:%M:%S", &local), nullptr);
    local.tm_isdst = -1;
    time_t stamped = mktime(&local);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

TEST_F(EvDebugTest, OneLineFeedEndsEveryLine) {
    m_log.DebugLvl("Tag", 2, "ends with its own line feed\n");
    m_log.DebugLvl("Tag", 2, "%s", "");
    m_log.DebugLvl("Tag", 2, "last");
    std::string content = ReadFile(m_path);
    std::vector<std::string> written = splitLines(content);
    ASSERT_EQ(written.size(), 3u) << content;
    ParsedLine parsed;
    ASSERT_TRUE(parseLine(written[0], &parsed));
    EXPECT_EQ(parsed.message, "ends with its own line feed");
    ASSERT_TRUE(parseLine(written[1], &parsed)) << written[1];
    EXPECT_EQ(parsed.message, "");
    EXPECT_EQ(content.back(), '\n');
}

TEST_F(EvDebugTest, LongMessageIsWrittenWhole) {
    std::string payload(20000, 'x');
    payload += "END";
    m_log.DebugLvl("Tag", 2, "[%s]", payload.c_str());
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 1u);
    ParsedLine parsed;
    ASSERT_TRUE(parseLine(written[0], &parsed));
    EXPECT_EQ(parsed.message, "[" + payload + "]");
}

TEST_F(EvDebugTest, NullTagAndFormatAreWrittenAsNull) {
    const char* volatile nothing = nullptr;
    m_log.DebugLvl(nothing, 2, nothing);
    m_log.Debug(nothing, nothing);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    for (const std::string& line : written) {
        ParsedLine parsed;
        ASSERT_TRUE(parseLine(line, &parsed)) << line;
        EXPECT_EQ(parsed.tag, "(null)");
        EXPECT_EQ(parsed.message, "(null)");
    }
}

struct LevelCase {
    const char* setting;  // null: EVDEBUG_LEVEL unset
    int threshold;
};

constexpr char kChildVariable[] = "KYTEST_EVDEBUG_CHILD";
const int kLevels[] = {-2, -1, 0, 1, 2, 3, 4, 7, 8, 100};

// The logger reads its environment once, so each setting needs a process of its own: this executable,
// started again with kChildVariable set, writes one line per level and a Debug line, then changes the
// environment (which must not count any more) and writes them all again, and ends before any test runs.
bool RunAsLoggerChild() {
    if (!getenv(kChildVariable)) return false;
    EvDebug log;
    for (int round = 0; round < 2; ++round) {
        for (int level : kLevels) log.DebugLvl("Tag", level, "level %d", level);
        log.Debug("Tag", "no level");
        setenv("EVDEBUG_LEVEL", "100", 1);
        setenv("EVDEBUG_FILE", "/dev/null", 1);
    }
    _exit(0);
}

const bool g_isChild = RunAsLoggerChild();

// Runs this executable as the logger child with EVDEBUG_FILE at path and EVDEBUG_LEVEL at setting.
bool RunLoggerChild(const std::string& path, const char* setting) {
    std::vector<std::string> variables = {std::string(kChildVariable) + "=1", "EVDEBUG_FILE=" + path};
    if (setting) variables.push_back(std::string("EVDEBUG_LEVEL=") + setting);
    for (char** entry = environ; *entry; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("EVDEBUG_", 0) != 0) variables.push_back(variable);
    }
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (std::string& variable : variables) envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    char name[] = "evdebug_test";
    char* argv[] = {name, nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp.data()) != 0) return false;
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class EvDebugLevelTest : public EvDebugTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(EvDebugLevelTest, DropsLevelsAboveTheThresholdAndKeepsDebug) {
    ASSERT_FALSE(g_isChild);
    const LevelCase& c = GetParam();
    ASSERT_TRUE(RunLoggerChild(m_path, c.setting));
    std::vector<std::string> expected;
    for (int round = 0; round < 2; ++round) {
        for (int level : kLevels)
            if (level <= c.threshold) expected.push_back(std::to_string(level));
        expected.push_back("-");
    }

    std::vector<std::string> written;
    for (const std::string& line : lines()) {
        ParsedLine parsed;
        ASSERT_TRUE(parseLine(line, &parsed)) << line;
        written.push_back(parsed.level);
    }
    EXPECT_EQ(written, expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, EvDebugLevelTest,
                         ::testing::Values(LevelCase{nullptr, 2}, LevelCase{"", 2}, LevelCase{"abc", 2},
                                           LevelCase{"4x", 2}, LevelCase{"99999999999", 2},
                                           LevelCase{"-1", -1}, LevelCase{"0", 0}, LevelCase{"4", 4},
                                           LevelCase{"7", 7}, LevelCase{"-5", -5}));

TEST_F(EvDebugTest, ManyThreadsWriteIntactLines) {
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 250;
    const std::string padding(300, 'p');
    std::vector<long> tids(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            tids[t] = currentTid();
            for (int n = 0; n < kLinesEach; ++n)
                m_log.DebugLvl("Writer", 2, "%d %d %s", t, n, padding.c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : written) {
        ParsedLine parsed;
        ASSERT_TRUE(parseLine(line, &parsed)) << line.substr(0, 200);
        int t = -1, n = -1;
        char rest[400] = {};
        ASSERT_EQ(sscanf(parsed.message.c_str(), "%d %d %399s", &t, &n, rest), 3);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(parsed.tid, std::to_string(tids[t]));
        EXPECT_EQ(rest, padding);
        seen.insert({t, n});
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLinesEach));
}

TEST_F(EvDebugTest, DestinationChangesThroughSetDestinationOnly) {
    std::string other = m_dir.file("other.log");
    m_log.DebugLvl("Tag", 2, "first");
    setenv("EVDEBUG_FILE", other.c_str(), 1);
    m_log.DebugLvl("Tag", 2, "second");
    unsetenv("EVDEBUG_FILE");
    EvDebug::SetDestination(other);
    EXPECT_EQ(EvDebug::Destination(), other);
    m_log.DebugLvl("Tag", 2, "third");
    ASSERT_EQ(lines().size(), 2u);
    std::vector<std::string> moved = splitLines(ReadFile(other));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NE(moved[0].find("Tag: third"), std::string::npos);
}

TEST_F(EvDebugTest, NewFileIsPrivateToItsOwner) {
    m_log.DebugLvl("Tag", 2, "created");
    struct stat info {};
    ASSERT_EQ(stat(m_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(EvDebugTest, UnopenableFileFallsBackToStandardErrorAndKeepsErrno) {
    EvDebug::SetDestination(m_dir.path());  // a directory cannot be opened for writing
    ::testing::internal::CaptureStderr();
    errno = ENOENT;
    m_log.DebugLvl("Tag", -1, "to stderr %d", 1);
    int errnoAfter = errno;
    m_log.Debug("Tag", "to stderr too");
    std::vector<std::string> written = splitLines(::testing::internal::GetCapturedStderr());

    EXPECT_EQ(errnoAfter, ENOENT);
    ASSERT_EQ(written.size(), 2u);
    ParsedLine parsed;
    ASSERT_TRUE(parseLine(written[0], &parsed)) << written[0];
    EXPECT_EQ(parsed.message, "to stderr 1");
    ASSERT_TRUE(parseLine(written[1], &parsed)) << written[1];
    EXPECT_EQ(parsed.message, "to stderr too");
}

// A FIFO takes lines only while a reader drains it: without a reader, or once the pipe is full, the
// lines go to standard error and the call returns. Run in a child, whose alarm ends a call that blocks.
TEST_F(EvDebugTest, FifoThatCannotTakeALineNeverBlocks) {
    constexpr int kLines = 2000;  // 200-byte lines: several times what a pipe holds
    const std::string fifo = m_dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string padding(150, 'f');
    for (bool reader : {false, true}) {
        SCOPED_TRACE(reader ? "a reader that stops reading" : "no reader");
        const int readEnd = reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        ASSERT_EQ(readEnd >= 0, reader);
        const std::string stderrPath = m_dir.file(reader ? "stderr-reader.txt" : "stderr-none.txt");
        const int status = kytest::RunInChild(
            [&] {
                if (!freopen(stderrPath.c_str(), "w", stderr)) return 3;
                EvDebug::SetDestination(fifo);
                for (int n = 0; n < kLines; ++n) m_log.DebugLvl("Tag", 2, "%d %s", n, padding.c_str());
                return 0;
            },
            {0, 20});
        ASSERT_EQ(status, 0);
        std::string inFifo;
        char chunk[4096];
        for (ssize_t n; readEnd >= 0 && (n = read(readEnd, chunk, sizeof chunk)) > 0;)
            inFifo.append(chunk, n);
        if (readEnd >= 0) close(readEnd);
        std::vector<std::string> written = splitLines(inFifo);
        const size_t toFifo = written.size();
        EXPECT_EQ(toFifo > 0, reader);
        for (const std::string& line : splitLines(ReadFile(stderrPath))) written.push_back(line);
        std::set<std::string> seen;
        for (const std::string& line : written) {
            ParsedLine parsed;
            ASSERT_TRUE(parseLine(line, &parsed)) << line.substr(0, 100);
            seen.insert(parsed.message);
        }
        EXPECT_EQ(written.size(), static_cast<size_t>(kLines)) << toFifo << " in the FIFO";
        EXPECT_EQ(seen.size(), static_cast<size_t>(kLines));
    }
}

TEST_F(EvDebugTest, WithoutFileSettingLinesGoToStandardError) {
    EvDebug::SetDestination("");
    ::testing::internal::CaptureStderr();
    m_log.DebugLvl("Tag", 2, "unset");
    std::string captured = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(captured.find(" 2 Tag: unset\n"), std::string::npos) << captured;
}

TEST_F(EvDebugTest, FileInstanceFixesTheDestination) {
    EvDebugFileInstance instance(m_dir.file("fixed.log"));
    EvDebug fixed(&instance);
    fixed.DebugLvl("Tag", 2, "fixed");
    fixed.DebugLvl("Tag", 8, "filtered");
    EXPECT_TRUE(lines().empty());
    std::vector<std::string> written = splitLines(ReadFile(instance.path()));
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find("Tag: fixed"), std::string::npos);
}

}  // namespace
}  // namespace kytest
