// The logger with hostile messages and destinations: control bytes escaped so each call is one line, a
// destination that cannot take a line, settings changed while other threads log, a line that cannot be
// built for want of memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "support/log_capture.h"
#include "support/logger_to_file.h"
#include "support/process_kit.h"
#include "support/read_file.h"

namespace {

using kytest::ReadFile;

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
