// Faults of the files the library writes: the wire trace's "log.txt" and the logger's file cannot be
// opened. Tests run as root, which ignores permissions, so each file is made unopenable by what stands
// in its place: a directory, or a link into a directory that does not exist.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/logger_to_file.h"
#include "support/read_file.h"
#include "support/refused_port.h"
#include "support/reply_body.h"
#include "support/test_server.h"
#include "support/working_directory.h"

namespace kytest {
namespace {

enum class Blocker { Directory, LinkIntoNowhere };

std::string BlockerName(const ::testing::TestParamInfo<Blocker>& info) {
    return info.param == Blocker::Directory ? "Directory" : "LinkIntoNowhere";
}

// Puts something that open() cannot write through at path.
void Block(const std::string& path, Blocker blocker) {
    if (blocker == Blocker::Directory)
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    else
        ASSERT_EQ(symlink("/nonexistent-kytest-dir/file", path.c_str()), 0);
}

// The blocker is still what it was, and nothing else appeared beside it.
void ExpectStillBlocked(const kytest::TempDir& dir, const std::string& name, Blocker blocker) {
    struct stat info {};
    ASSERT_EQ(lstat(dir.file(name).c_str(), &info), 0);
    if (blocker == Blocker::Directory) {
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_TRUE(std::filesystem::is_empty(dir.file(name)));
    } else {
        EXPECT_TRUE(S_ISLNK(info.st_mode));
    }
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{name});
}

// What a caller sees of one request.
struct Outcome {
    bool ok;
    long status;
    std::string body;
    std::list<std::string> headers;
};

Outcome Request(KYLibCurl& session, _http_req_type_ type, const std::string& url, const std::string& body) {
    Outcome outcome;
    outcome.ok = session.KYLibCurlSendHttpReq(type, url, body.c_str(), body.size(), true, nullptr);
    outcome.status = session.m_httpRespCode;
    outcome.body = kytest::Body(session);
    session.GetHttpResponseHeaders(nullptr, outcome.headers);
    return outcome;
}

void ExpectSameOutcome(const Outcome& traced, const Outcome& plain) {
    EXPECT_EQ(traced.ok, plain.ok);
    EXPECT_EQ(traced.status, plain.status);
    EXPECT_EQ(traced.body, plain.body);
    EXPECT_EQ(traced.headers, plain.headers);
}

class TraceFileFault : public ::testing::TestWithParam<Blocker> {};

// The traced session's requests give what an untraced session's give: results, statuses, bodies and
// header lines, and the same log lines; the blocked "log.txt" stays as it was and nothing else appears.
TEST_P(TraceFileFault, TransfersSucceedAndNothingElseChanges) {
    kytest::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(Block(dir.file("log.txt"), GetParam()));
    kytest::TestServer server;
    KYLibCurl traced;
    KYLibCurl plain;
    ASSERT_TRUE(traced.KYLibCurlInit());
    ASSERT_TRUE(plain.KYLibCurlInit());
    traced.toggleTrace(true);

    kytest::WorkingDirectory inDir(dir.path());
    const struct {
        _http_req_type_ type;
        std::string path, body;
    } requests[] = {
        {HTTP_REQ_GET, "/echo", ""}, {HTTP_REQ_POST, "/echo", "a=1&b=2"}, {HTTP_REQ_GET, "/status/404", ""}};
    for (const auto& request : requests) {
        kytest::LogCapture tracedLog(7);
        const Outcome tracedOutcome = Request(traced, request.type, server.url(request.path), request.body);
        const std::vector<std::string> tracedLines = tracedLog.messages();
        tracedLog.clear();
        const Outcome plainOutcome = Request(plain, request.type, server.url(request.path), request.body);
        SCOPED_TRACE(request.path);
        ExpectSameOutcome(tracedOutcome, plainOutcome);
        EXPECT_EQ(tracedLines, tracedLog.messages());
    }
    EXPECT_EQ(server.requestCount(), 6u);
    ExpectStillBlocked(dir, "log.txt", GetParam());
}

INSTANTIATE_TEST_SUITE_P(Blockers, TraceFileFault,
                         ::testing::Values(Blocker::Directory, Blocker::LinkIntoNowhere), BlockerName);

// Sends standard error to a file for the life of the object.
class StderrCapture {
  public:
    explicit StderrCapture(const std::string& path) {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() {
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }

  private:
    int m_saved;
};

class LoggerFileFault : public ::testing::TestWithParam<Blocker> {
  protected:
    kytest::FreshFirewall firewall;
};

// Every kind of call keeps working while no log line can reach the logger's file; the lines are not lost
// but go to standard error, and nothing appears where the file was to be.
TEST_P(LoggerFileFault, TheLibraryKeepsWorking) {
    kytest::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(Block(dir.file("debug.log"), GetParam()));
    kytest::TestServer server;
    const kytest::RefusedPort refusing;
    const std::string refused = refusing.url();
    const std::string routed = "http://logger-fault-host:" + std::to_string(server.port()) + "/echo";
    bool direct = false, failed = true, viaTunnel = false, badHeader = true;
    long failedStatus = 0;
    std::string cached;
    {
        kytest::LoggerToFile logger(dir.file("debug.log"), 7);
        StderrCapture stderrFile(dir.file("stderr.txt"));
        KYLibCurl session;
        if (session.KYLibCurlInit()) {
            direct =
                session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, true, nullptr);
            failed = session.KYLibCurlSendHttpReq(HTTP_REQ_GET, refused, nullptr, 0, true, nullptr);
            failedStatus = session.m_httpRespCode;
            viaTunnel = session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, routed.c_str(), nullptr, 0, true,
                                                      "logger-fault-client", true);
            session.TppmUrlMapInfo(routed, cached, KYLibCurl::TPPM_CACHE_GET);
            badHeader = session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-A: 1\r\nX-B: 2");
            std::string removed;
            session.TppmUrlMapInfo(routed, removed, KYLibCurl::TPPM_CACHE_REMOVE);
        }
    }

    EXPECT_TRUE(direct);
    EXPECT_FALSE(failed);
    EXPECT_EQ(failedStatus, HTTP_RESP_CONNECT_FAILED);
    EXPECT_TRUE(viaTunnel);
    EXPECT_EQ(cached.rfind("http://127.0.0.1:", 0), 0u) << cached;
    EXPECT_FALSE(badHeader);
    EXPECT_EQ(server.requestCount(), 2u);

    const std::string diverted = kytest::ReadFile(dir.file("stderr.txt"));
    for (const char* line : {"failed to send http request", "added to cache", "TPPM url:[",
                             "options:[CURLOPT_HTTPHEADER]", "removed from cache"})
        EXPECT_NE(diverted.find(line), std::string::npos) << line;
    std::filesystem::remove(dir.file("stderr.txt"));
    ExpectStillBlocked(dir, "debug.log", GetParam());
}

INSTANTIATE_TEST_SUITE_P(Blockers, LoggerFileFault,
                         ::testing::Values(Blocker::Directory, Blocker::LinkIntoNowhere), BlockerName);

}  // namespace
}  // namespace kytest
