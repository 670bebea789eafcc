// Wire trace: record layout of dumpTrace, the records KYCurlTracer appends to "log.txt", and tracing of
// real transfers switched on and off.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/reply_body.h"
#include "support/test_server.h"
#include "support/working_directory.h"

namespace kytest {
namespace {

std::string Dump(const char* label, const std::string& data, char textOnly) {
    char* buffer = nullptr;
    size_t length = 0;
    FILE* stream = open_memstream(&buffer, &length);
    EXPECT_NE(stream, nullptr);
    if (!stream) return "";
    std::vector<unsigned char> bytes(data.begin(), data.end());
    KYLibCurl::dumpTrace(label, stream, bytes.data(), bytes.size(), textOnly);
    fclose(stream);
    std::string result(buffer, length);
    free(buffer);
    return result;
}

std::string Spaces(size_t cells) { return std::string(cells * 3, ' '); }

// Text-mode rows of a block of 'a' bytes: 64 per row, offsets in at least four hex digits.
std::string LetterRows(size_t size) {
    std::string rows;
    for (size_t offset = 0; offset < size; offset += 64) {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "%04zx: ", offset);
        rows += prefix + std::string(std::min<size_t>(64, size - offset), 'a') + "\n";
    }
    return rows;
}

struct DumpCase {
    const char* name;
    std::string data;
    char textOnly;
    std::string expected;  // the rows, after the header line
};

TEST(DumpTrace, RowsFollowTheModeAndTheCrLfRule) {
    const std::string x63(63, 'x'), x64(64, 'x'), a65(65, 'a');
    const std::string big(0x10000 + 3, 'a');
    const DumpCase cases[] = {
        {"header block", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 1,
         "0000: GET / HTTP/1.1\n0010: Host: x\n0019: \n"},
        {"hex three bytes", "AB\n", 0, "0000: 41 42 0a " + Spaces(13) + "AB.\n"},
        {"empty text", "", 1, ""},
        {"empty hex", "", 0, ""},
        {"65 bytes text", a65, 1, "0000: " + std::string(64, 'a') + "\n0040: a\n"},
        {"63 letters then CR LF", x63 + "\r\nyz", 1, "0000: " + x63 + "\n0041: yz\n"},
        {"64 letters then CR LF", x64 + "\r\nyz", 1, "0000: " + x64 + "\n0042: yz\n"},
        {"only CR LF", "\r\n", 1, "0000: \n"},
        {"empty line between letters", "a\r\n\r\nb", 1, "0000: a\n0003: \n0005: b\n"},
        {"trailing lone CR", "ab\r", 1, "0000: ab.\n"},
        {"hex 20 bytes", "ABCDEFGHIJKLMNOPQRST", 0,
         "0000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 ABCDEFGHIJKLMNOP\n"
         "0010: 51 52 53 54 " +
             Spaces(12) + "QRST\n"},
        {"hex keeps CR LF", "a\r\nb", 0, "0000: 61 0d 0a 62 " + Spaces(12) + "a..b\n"},
        {"character column text", std::string("\x7f\t\rX\nY\x80\xff\x1f \x7e\n\r", 13), 1,
         "0000: \x7f..X.Y... ~..\n"},
        {"character column hex", std::string("\x7f\t\rX\nY\x80\xff", 8), 0,
         "0000: 7f 09 0d 58 0a 59 80 ff " + Spaces(8) + "\x7f..X.Y..\n"},
        {"offsets past 0xffff", big, 1, LetterRows(big.size())},
    };
    for (const DumpCase& c : cases) {
        char header[80];
        snprintf(header, sizeof header, "<= Recv data, %010zu bytes (0x%08zx)\n", c.data.size(),
                 c.data.size());
        EXPECT_EQ(Dump("<= Recv data", c.data, c.textOnly), header + c.expected) << c.name;
    }
}

TEST(DumpTrace, LongBlockGetsFiveDigitOffsets) {
    const std::string out = Dump("=> Send data", std::string(0x10000 + 3, 'a'), 1);
    EXPECT_EQ(out.substr(0, 44), "=> Send data, 0000065539 bytes (0x00010003)\n");
    EXPECT_NE(out.find("\nffc0: "), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 11), "10000: aaa\n");
}

mode_t PermissionsOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Runs the test inside a fresh directory, so "log.txt" is the test's own.
class TraceFileTest : public ::testing::Test {
  protected:
    std::string logPath() const { return m_dir.file("log.txt"); }
    std::string log() const { return ReadFile(logPath()); }
    bool logExists() const { return access(logPath().c_str(), F_OK) == 0; }

    static int Trace(int type, const std::string& data, char textOnly = 1) {
        std::vector<char> bytes(data.begin(), data.end());
        bytes.push_back('\0');
        return KYLibCurl::KYCurlTracer(nullptr, static_cast<curl_infotype>(type), bytes.data(), data.size(),
                                       &textOnly);
    }

    kytest::TempDir m_dir;
    kytest::WorkingDirectory m_inDir{m_dir.path()};
};

TEST_F(TraceFileTest, InformationalRecordsGetNoAddedLineBreak) {
    EXPECT_EQ(Trace(CURLINFO_TEXT, "first"), 0);
    EXPECT_EQ(Trace(CURLINFO_TEXT, "second\n"), 0);
    EXPECT_EQ(log(), "== Info: first== Info: second\n");
}

TEST_F(TraceFileTest, DataRecordsCarryTheirLabelAndTheFlagsMode) {
    const struct {
        int type;
        const char* label;
    } kinds[] = {
        {CURLINFO_HEADER_IN, "<= Recv header"},     {CURLINFO_HEADER_OUT, "=> Send header"},
        {CURLINFO_DATA_IN, "<= Recv data"},         {CURLINFO_DATA_OUT, "=> Send data"},
        {CURLINFO_SSL_DATA_IN, "<= Recv SSL data"}, {CURLINFO_SSL_DATA_OUT, "=> Send SSL data"},
    };
    std::string expected;
    for (const auto& kind : kinds) {
        EXPECT_EQ(Trace(kind.type, "ok\r\n"), 0);
        expected += std::string(kind.label) + ", 0000000004 bytes (0x00000004)\n0000: ok\n";
    }
    EXPECT_EQ(Trace(CURLINFO_DATA_OUT, "ok\r\n", 0), 0);
    expected += "=> Send data, 0000000004 bytes (0x00000004)\n0000: 6f 6b 0d 0a " + Spaces(12) + "ok..\n";
    EXPECT_EQ(log(), expected);
}

TEST_F(TraceFileTest, UnknownInfoTypesCreateTheFileAndWriteNothing) {
    EXPECT_EQ(Trace(7, "ignored"), 0);
    ASSERT_TRUE(logExists());
    EXPECT_EQ(log(), "");

    EXPECT_EQ(Trace(CURLINFO_TEXT, "kept\n"), 0);
    EXPECT_EQ(Trace(-1, "ignored"), 0);
    EXPECT_EQ(Trace(CURLINFO_END, "ignored"), 0);
    EXPECT_EQ(log(), "== Info: kept\n");
}

TEST_F(TraceFileTest, NewFileIsPrivateAndAnExistingFileKeepsItsPermissions) {
    Trace(CURLINFO_TEXT, "one\n");
    EXPECT_EQ(PermissionsOf(logPath()), 0600u);

    ASSERT_EQ(chmod(logPath().c_str(), 0644), 0);
    Trace(CURLINFO_TEXT, "two\n");
    EXPECT_EQ(PermissionsOf(logPath()), 0644u);
    EXPECT_EQ(log(), "== Info: one\n== Info: two\n");
}

TEST_F(TraceFileTest, UnopenableFileDropsTheRecord) {
    ASSERT_EQ(mkdir("log.txt", 0755), 0);
    EXPECT_EQ(Trace(CURLINFO_TEXT, "lost\n"), 0);
    EXPECT_EQ(Trace(CURLINFO_HEADER_OUT, "lost\r\n"), 0);
    struct stat st {};
    ASSERT_EQ(stat("log.txt", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// The header block as a text-mode record, for blocks whose lines are shorter than a row.
std::string HeaderRecord(const std::string& block) {
    char header[80];
    snprintf(header, sizeof header, "=> Send header, %010zu bytes (0x%08zx)\n", block.size(), block.size());
    std::string record = header;
    for (size_t start = 0; start < block.size();) {
        const size_t end = block.find("\r\n", start);
        EXPECT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 64u);
        if (end == std::string::npos) break;
        char offset[32];
        snprintf(offset, sizeof offset, "%04zx: ", start);
        record += offset + block.substr(start, end - start) + "\n";
        start = end + 2;
    }
    return record;
}

class TracedTransferTest : public TraceFileTest {
  protected:
    void SetUp() override { ASSERT_TRUE(m_session.KYLibCurlInit()); }

    bool Post(const std::string& path, const std::string& body) {
        return m_session.KYLibCurlSendHttpReq(HTTP_REQ_POST, m_server.url(path), body.data(), body.size(),
                                              true, nullptr);
    }

    kytest::TestServer m_server;
    KYLibCurl m_session;
};

TEST_F(TracedTransferTest, TransferAppendsInfoHeaderAndDataRecords) {
    m_session.toggleTrace(true);
    ASSERT_TRUE(Post("/echo", "k=v"));
    const std::string trace = log();

    EXPECT_EQ(trace.rfind("== Info: ", 0), 0u) << trace;
    const std::string raw = m_server.lastRequest().raw;
    const size_t headerEnd = raw.find("\r\n\r\n");
    ASSERT_NE(headerEnd, std::string::npos);
    EXPECT_NE(trace.find(HeaderRecord(raw.substr(0, headerEnd + 4))), std::string::npos) << trace;
    EXPECT_NE(trace.find("=> Send data, 0000000003 bytes (0x00000003)\n0000: k=v\n"), std::string::npos);
    EXPECT_NE(trace.find("<= Recv header, 0000000017 bytes (0x00000011)\n0000: HTTP/1.1 200 OK\n"),
              std::string::npos);
    // The echoed body has bare LF line ends, which text mode writes as '.'.
    const size_t data = trace.find("<= Recv data, ");
    ASSERT_NE(data, std::string::npos);
    EXPECT_NE(trace.find("\n0000: POST /echo.", data), std::string::npos) << trace;
}

TEST_F(TracedTransferTest, SwitchedOffAppendsNothingMore) {
    m_session.toggleTrace(true);
    m_session.toggleTrace(true);
    ASSERT_TRUE(Post("/", "one"));
    const std::string before = log();
    ASSERT_FALSE(before.empty());

    m_session.toggleTrace(false);
    ASSERT_TRUE(Post("/", "two"));
    EXPECT_EQ(m_server.lastRequest().body, "two");
    EXPECT_EQ(log(), before);
}

TEST_F(TracedTransferTest, OffUntilSwitchedOnAndAfterReinitialisation) {
    ASSERT_TRUE(Post("/", "untraced"));
    EXPECT_FALSE(logExists());

    m_session.toggleTrace(true);
    m_session.KYLibCurlDeInit();
    ASSERT_TRUE(m_session.KYLibCurlInit());
    ASSERT_TRUE(Post("/", "untraced"));
    EXPECT_FALSE(logExists());
}

TEST_F(TracedTransferTest, UnopenableTraceFileLeavesTheTransferIntact) {
    ASSERT_EQ(mkdir("log.txt", 0755), 0);
    m_session.toggleTrace(true);
    ASSERT_TRUE(Post("/bytes/100", "x"));
    EXPECT_EQ(kytest::Body(m_session), kytest::Pattern(100));
    EXPECT_EQ(m_session.m_httpRespCode, 200);
}

}  // namespace
}  // namespace kytest
