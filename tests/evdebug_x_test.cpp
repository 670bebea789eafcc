// The logger with hostile messages and destinations: control bytes escaped so each call is one line, a
// destination that cannot take a line, settings changed while other threads log, a line that cannot be
// built for want of memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "support/filling_file.h"
#include "support/log_capture.h"
#include "support/logger_to_file.h"
#include "support/process_kit.h"
#include "support/read_file.h"

namespace kytest {
namespace {

// The part of a line after "<tag>: ".
std::string MessageOf(const std::string& line, const std::string& tag) {
    const size_t start = line.find(" " + tag + ": ");
    return start == std::string::npos ? "<no tag>" : line.substr(start + tag.size() + 3);
}

class EvDebugX : public ::testing::Test {
  protected:
    kytest::TempDir m_dir;
    const std::string m_path = m_dir.file("debug.log");
    kytest::LoggerToFile m_logger{m_path, 7};
    EvDebug m_log;
};

struct EscapeCase {
    const char* name;
    std::string text;
    std::string written;  // the message as the line shows it
};

TEST_F(EvDebugX, ControlBytesAreEscapedAndEveryCallIsOneLine) {
    const EscapeCase cases[] = {
        {"line feed inside", "a\nb", "a\\nb"},
        {"forged line", "x\n2031-01-02 03:04:05.678 1 -1 Tag: forged",
         "x\\n2031-01-02 03:04:05.678 1 -1 Tag: forged"},
        {"carriage return and tab", "a\rb\tc", "a\\rb\\tc"},
        {"other controls and DEL", std::string("\x01\x1b[2J\x1f\x7f", 7), "\\x01\\x1b[2J\\x1f\\x7f"},
        {"bytes from 0x80 and backslashes stay", "\x80\xff \xc3\xa9 \\n", "\x80\xff \xc3\xa9 \\n"},
        {"one trailing line feed ends the line", "end\n", "end"},
        {"a second one is escaped", "end\n\n", "end\\n"},
        {"lone line feed", "\n", ""},
    };
    for (const EscapeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(m_path, std::ios::trunc).close();
        m_log.DebugLvl("Tag", 2, "%.*s", static_cast<int>(c.text.size()), c.text.data());
        const std::string content = ReadFile(m_path);
        ASSERT_EQ(content.find('\n'), content.size() - 1) << content;
        EXPECT_EQ(MessageOf(content.substr(0, content.size() - 1), "Tag"), c.written);
    }
    std::ofstream(m_path, std::ios::trunc).close();
    m_log.DebugLvl("Tag", 2, "a%cb", 0);  // a zero byte only a conversion can put into a message
    EXPECT_EQ(MessageOf(ReadFile(m_path), "Tag"), "a\\x00b\n");
    std::ofstream(m_path, std::ios::trunc).close();
    m_log.Debug("T\na\tg", "%s", "m");
    EXPECT_EQ(MessageOf(ReadFile(m_path), "T\\na\\tg"), "m\n");
}

TEST_F(EvDebugX, DestinationThatCannotTakeALineFallsBackToStandardError) {
    EvDebug::SetDestination("/dev/full");
    ::testing::internal::CaptureStderr();
    errno = EBADF;
    m_log.DebugLvl("Tag", -1, "disk is full %d", 1);
    EXPECT_EQ(errno, EBADF);
    const std::string diverted = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(diverted.find(" -1 Tag: disk is full 1\n"), std::string::npos) << diverted;
}

struct FillingCase {
    const char* name;
    kytest::Filling how;
};

class LoggerOnAFillingFile : public ::testing::TestWithParam<FillingCase> {
  protected:
    kytest::TempDir m_dir;
};

// The numbers of lines "... -1 Filler: NNNN mmm...m", in order; false at a line of any other shape, or a
// text that does not end with a whole line.
bool NumbersOfWholeLines(const std::string& text, size_t messageLength, std::vector<int>& numbers) {
    if (!text.empty() && text.back() != '\n') return false;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string message = MessageOf(line, "Filler");
        if (message.size() != 5 + messageLength ||
            message.compare(5, std::string::npos, std::string(messageLength, 'm')) != 0)
            return false;
        numbers.push_back(std::atoi(message.substr(0, 4).c_str()));
    }
    return true;
}

// The file system fills up in the middle of a line: the file takes part of it, then no more. The line
// goes to standard error whole, and the file keeps no part of it, so the lines it holds are all whole and
// the next one written there would start at a line's start.
TEST_P(LoggerOnAFillingFile, ALineGoesToTheFileWholeOrToStandardError) {
    kytest::FillingDirectory dir(GetParam().how);
    if (!dir.problem().empty()) GTEST_SKIP() << dir.problem();
    const std::string path = dir.file("debug.log");
    const std::string diverted = m_dir.file("stderr.txt");
    constexpr size_t kMessageLength = 700;  // lines of about 760 bytes, so that a page ends inside one
    constexpr int kMostLines = 4000;        // more than 1 MiB
    constexpr int kDivertedLines = 3;
    const int status = kytest::RunInChild([&] {
        const int err = open(diverted.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || dup2(err, STDERR_FILENO) < 0 || !dir.LimitWrites()) return 2;
        EvDebug::SetDestination(path);
        EvDebug log;
        const std::string message(kMessageLength, 'm');
        int divertedLines = 0;
        for (int n = 0; n < kMostLines; ++n) {
            log.DebugLvl("Filler", -1, "%04d %s", n, message.c_str());
            struct stat info {};
            if (fstat(err, &info) == 0 && info.st_size > 0 && ++divertedLines == kDivertedLines) return 0;
        }
        return 1;  // the file never filled up
    });
    ASSERT_EQ(status, 0);

    std::vector<int> inFile, onStandardError;
    EXPECT_TRUE(NumbersOfWholeLines(ReadFile(path), kMessageLength, inFile));
    EXPECT_TRUE(NumbersOfWholeLines(ReadFile(diverted), kMessageLength, onStandardError));
    std::vector<int> all = inFile;
    all.insert(all.end(), onStandardError.begin(), onStandardError.end());
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(onStandardError.size(), static_cast<size_t>(kDivertedLines));
    for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], static_cast<int>(i)) << "line " << i;
}

const FillingCase kFillingCases[] = {
    {"FullTmpfs", kytest::Filling::FullTmpfs},
    {"FileSizeLimit", kytest::Filling::FileSizeLimit},
};

INSTANTIATE_TEST_SUITE_P(EvDebugX, LoggerOnAFillingFile, ::testing::ValuesIn(kFillingCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Threads log while another changes the destination and the level again and again: every line lands whole
// in one of the two files (ThreadSanitizer checks the settings' accesses).
TEST_F(EvDebugX, SettingsChangeWhileOtherThreadsLog) {
    const std::string paths[] = {m_dir.file("a.log"), m_dir.file("b.log")};
    constexpr int kWriters = 4;
    constexpr int kLinesEach = 1000;
    std::atomic<int> writing{kWriters};
    std::vector<std::thread> threads;
    threads.reserve(kWriters);
    for (int t = 0; t < kWriters; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < kLinesEach; ++n) m_log.DebugLvl("Writer", -1, "%d %d", t, n);
            --writing;
        });
    for (int round = 0; writing > 0 && round < 100000; ++round) {
        EvDebug::SetDestination(paths[round % 2]);
        EvDebug::SetLevel(round % 2 ? 7 : -1);
        EXPECT_EQ(EvDebug::Destination(), paths[round % 2]);
    }
    for (std::thread& thread : threads) thread.join();

    size_t lines = 0;
    for (const std::string& path : {paths[0], paths[1], m_path}) {
        std::istringstream in(ReadFile(path));
        for (std::string line; std::getline(in, line); ++lines)
            EXPECT_NE(MessageOf(line, "Writer"), "<no tag>") << line;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kWriters * kLinesEach));
}

// A message larger than the memory the process may still take: the call returns, and a notice takes the
// line's place on standard error. The cap is set in a child, so that nothing else runs under it.
TEST_F(EvDebugX, LineThatCannotBeBuiltLeavesANotice) {
#if KYTEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' own mappings do not fit under a tight address-space limit";
#endif
    const std::string stderrPath = m_dir.file("stderr.txt");
    // The message is made before the cap, which leaves room for less than it.
    const std::string huge(256u << 20, 'h');
    const int status = kytest::RunInChild(
        [&] {
            if (!freopen(stderrPath.c_str(), "w", stderr)) return 3;
            m_log.DebugLvl("Tag", -1, "[%s]", huge.c_str());
            m_log.DebugLvl("Tag", -1, "after");
            return 0;
        },
        {64u << 20});
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(stderrPath), "EvDebug: a line was dropped, out of memory\n");
    EXPECT_NE(ReadFile(m_path).find(" -1 Tag: after\n"), std::string::npos);
}

}  // namespace
}  // namespace kytest
