// The wire trace's file as an attacker may prepare it (a link, another user's file or a FIFO planted at
// "log.txt"), sessions tracing on many threads at once, and informational texts without a terminating zero.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kylibcurl.h"
#include "support/filling_file.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/read_file.h"
#include "support/test_server.h"
#include "support/working_directory.h"

namespace kytest {
namespace {

// Runs the test inside a fresh directory, so "log.txt" is the test's own.
class TraceFileX : public ::testing::Test {
  protected:
    // A traced POST with Basic credentials, as `kycurl --trace -u user:s3cret` sends it.
    void TracedPostWithCredentials() {
        KYLibCurl session;
        ASSERT_TRUE(session.KYLibCurlInit());
        ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, "user:s3cret"));
        session.toggleTrace(true);
        EXPECT_TRUE(
            session.KYLibCurlSendHttpReq(HTTP_REQ_POST, m_server.url("/echo"), "a=1", 3, true, nullptr));
        EXPECT_EQ(m_server.lastRequest().header("Authorization"), "Basic dXNlcjpzM2NyZXQ=");
    }

    kytest::TempDir m_dir;
    kytest::WorkingDirectory m_inDir{m_dir.path()};
    kytest::TempDir m_elsewhere;
    kytest::TestServer m_server;
};

TEST_F(TraceFileX, PlantedLinkIsNotFollowed) {
    const std::string target = m_elsewhere.file("victim");
    { std::ofstream(target) << "kept\n"; }
    ASSERT_EQ(symlink(target.c_str(), "log.txt"), 0);
    ASSERT_EQ(symlink(m_elsewhere.file("created").c_str(), "other.txt"), 0);

    TracedPostWithCredentials();

    EXPECT_EQ(ReadFile(target), "kept\n");
    struct stat info {};
    ASSERT_EQ(lstat("log.txt", &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    // A link into a file that does not exist yet creates nothing either.
    ASSERT_EQ(unlink("log.txt"), 0);
    ASSERT_EQ(rename("other.txt", "log.txt"), 0);
    TracedPostWithCredentials();
    EXPECT_NE(access(m_elsewhere.file("created").c_str(), F_OK), 0);
}

// A hard link to another file, or a file of another user that anyone may write: neither is written.
TEST_F(TraceFileX, PlantedHardLinkOrOthersFileIsNotWritten) {
    const std::string target = m_elsewhere.file("victim");
    { std::ofstream(target) << "kept\n"; }
    ASSERT_EQ(link(target.c_str(), "log.txt"), 0);
    TracedPostWithCredentials();
    EXPECT_EQ(ReadFile(target), "kept\n");

    ASSERT_EQ(unlink("log.txt"), 0);
    { std::ofstream("log.txt") << "theirs\n"; }
    ASSERT_EQ(chmod("log.txt", 0666), 0);
    ASSERT_EQ(chown("log.txt", geteuid() + 1, getegid()), 0);
    TracedPostWithCredentials();
    EXPECT_EQ(ReadFile("log.txt"), "theirs\n");

    // The same file, the process's own again: traced.
    ASSERT_EQ(chown("log.txt", geteuid(), getegid()), 0);
    TracedPostWithCredentials();
    EXPECT_NE(ReadFile("log.txt").find("=> Send header"), std::string::npos);
}

TEST_F(TraceFileX, PlantedFifoNeitherBlocksNorReceivesTheTrace) {
    ASSERT_EQ(mkfifo("log.txt", 0600), 0);
    TracedPostWithCredentials();  // no reader: opening it must not wait for one

    const int reader = open("log.txt", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    TracedPostWithCredentials();
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0);  // nothing was written into it
    close(reader);
}

TEST_F(TraceFileX, InformationalTextIsReadWithinItsSize) {
    // Exactly sized heap blocks, without a terminating zero: a read past them is caught under ASan.
    std::vector<char> unterminated = {'a', 'b', 'c', '\n'};
    std::vector<char> zeroInside = {'d', 'e', '\0', 'f', '\n'};
    char textOnly = 1;
    EXPECT_EQ(
        KYLibCurl::KYCurlTracer(nullptr, CURLINFO_TEXT, unterminated.data(), unterminated.size(), &textOnly),
        0);
    EXPECT_EQ(
        KYLibCurl::KYCurlTracer(nullptr, CURLINFO_TEXT, zeroInside.data(), zeroInside.size(), &textOnly), 0);
    EXPECT_EQ(KYLibCurl::KYCurlTracer(nullptr, CURLINFO_TEXT, unterminated.data(), 2, &textOnly), 0);
    EXPECT_EQ(ReadFile("log.txt"), "== Info: abc\n== Info: de== Info: ab");
}

const char* const kLabels[] = {"<= Recv header", "=> Send header",   "<= Recv data",
                               "=> Send data",   "<= Recv SSL data", "=> Send SSL data"};

// The block size of a data record's header line; false when the line is none.
bool ParseHeader(const std::string& line, unsigned long& size) {
    for (const char* label : kLabels) {
        const std::string start = std::string(label) + ", ";
        if (line.compare(0, start.size(), start) != 0) continue;
        unsigned long hex = 0;
        char tail = 0;
        return sscanf(line.c_str() + start.size(), "%10lu bytes (0x%8lx%c", &size, &hex, &tail) == 3 &&
               hex == size && tail == ')' && line.size() == start.size() + 29;
    }
    return false;
}

// The offset and characters of a text-mode row; false when the line is none.
bool ParseRow(const std::string& line, unsigned long& offset, size_t& chars) {
    const size_t colon = line.find(": ");
    if (colon < 4 || colon == std::string::npos || line.find_first_not_of("0123456789abcdef") != colon)
        return false;
    offset = std::stoul(line.substr(0, colon), nullptr, 16);
    chars = line.size() - colon - 2;
    return chars <= 64;
}

// Reads the trace record by record: an informational line, or a data record's header line followed by
// rows whose offsets start at 0, grow, and end at the block's end (a final CR LF is not shown). Returns
// the number of records; a line that fits no record counts in malformed.
size_t CountRecords(const std::string& trace, size_t& malformed) {
    std::istringstream in(trace);
    std::string line;
    size_t records = 0;
    bool open = false;  // a data record's rows may follow
    unsigned long size = 0, next = 0;
    auto close = [&] {
        if (open && next != size && next + 2 != size) ++malformed;
        open = false;
    };
    while (std::getline(in, line)) {
        unsigned long offset = 0;
        size_t chars = 0;
        if (open && ParseRow(line, offset, chars) && offset >= next && offset < size &&
            (next != 0 || offset == 0)) {
            next = offset + chars;
            continue;
        }
        close();
        ++records;
        if (ParseHeader(line, size)) {
            open = true;
            next = 0;
        } else if (line.compare(0, 9, "== Info: ") != 0) {
            ++malformed;
        }
    }
    close();
    return records;
}

// Eight sessions post at once, all tracing into the one "log.txt": no record mixes with another.
TEST_F(TraceFileX, SessionsTracingAtOnceWriteWholeRecords) {
    constexpr int kThreads = 8;
    constexpr int kPosts = 100;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    std::vector<int> succeeded(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            KYLibCurl session;
            if (!session.KYLibCurlInit()) return;
            session.toggleTrace(true);
            for (int n = 0; n < kPosts; ++n) {
                const std::string body = "thread=" + std::to_string(t) + "&n=" + std::to_string(n) +
                                         "&pad=" + std::string(2000 + static_cast<size_t>(n) * 70, 'x');
                succeeded[t] += session.KYLibCurlSendHttpReq(HTTP_REQ_POST, m_server.url("/echo"),
                                                             body.data(), body.size(), true, nullptr);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(succeeded[t], kPosts) << t;

    size_t malformed = 0;
    const size_t records = CountRecords(ReadFile("log.txt"), malformed);
    EXPECT_EQ(malformed, 0u);
    // Each POST sends a header and a body and receives a header and a body, besides libcurl's messages.
    EXPECT_GE(records, static_cast<size_t>(kThreads * kPosts * 4));
}

struct FillingCase {
    const char* name;
    kytest::Filling how;
};

class TraceOnAFillingFile : public ::testing::TestWithParam<FillingCase> {};

// One header block of about 900 bytes as the trace writes it in text mode.
std::string HeaderBlock() {
    std::string block = "GET / HTTP/1.1\r\n";
    for (int n = 0; n < 12; ++n)
        block += "X-Filler-" + std::to_string(n) + ": " + std::string(60, 'f') + "\r\n";
    return block + "\r\n";
}

std::string RecordOf(std::string block) {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    if (!stream) return std::string();
    KYLibCurl::dumpTrace("=> Send header", stream, reinterpret_cast<unsigned char*>(&block[0]), block.size(),
                         1);
    fclose(stream);
    std::string record(data, size);
    free(data);
    return record;
}

// The file system fills up in the middle of a record: "log.txt" then holds only whole records, the last
// one that fitted included, never the start of one that did not.
TEST_P(TraceOnAFillingFile, LogTxtKeepsOnlyWholeRecords) {
    kytest::FillingDirectory dir(GetParam().how);
    if (!dir.problem().empty()) GTEST_SKIP() << dir.problem();
    const std::string record = RecordOf(HeaderBlock());
    ASSERT_FALSE(record.empty());
    constexpr int kMostRecords = 3000;  // more than 1 MiB
    const int status = kytest::RunInChild([&] {
        if (!dir.LimitWrites() || chdir(dir.path().c_str()) != 0) return 2;
        std::string block = HeaderBlock();
        char textOnly = 1;
        off_t size = 0;
        for (int n = 0, refused = 0; n < kMostRecords; ++n) {
            KYLibCurl::KYCurlTracer(nullptr, CURLINFO_HEADER_OUT, &block[0], block.size(), &textOnly);
            struct stat info {};
            if (stat("log.txt", &info) != 0) return 3;
            if (info.st_size == size && ++refused == 3) return 0;
            size = info.st_size;
        }
        return 1;  // the file never filled up
    });
    ASSERT_EQ(status, 0);

    const std::string trace = ReadFile(dir.file("log.txt"));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.size() % record.size(), 0u) << trace.size() << " bytes, records of " << record.size();
    for (size_t at = 0; at + record.size() <= trace.size(); at += record.size())
        ASSERT_EQ(trace.compare(at, record.size(), record), 0) << "the record at " << at;
}

const FillingCase kFillingCases[] = {
    {"FullTmpfs", kytest::Filling::FullTmpfs},
    {"FileSizeLimit", kytest::Filling::FileSizeLimit},
};

INSTANTIATE_TEST_SUITE_P(TraceFileX, TraceOnAFillingFile, ::testing::ValuesIn(kFillingCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kytest
