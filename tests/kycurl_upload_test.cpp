// kycurl's uploads: -T, chunked bodies, forms, redirected bodies and the memory a large body takes.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/process_kit.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, ChunkedUploadCarriesTheBody) {
    RunResult r = RunKycurl({"-H", "Transfer-Encoding: chunked", "-d", "chunked body", server.url("/echo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(server.lastRequest().header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(server.lastRequest().body, "chunked body");
}

// A 307 repeats the request with its body: an upload read from a file is read again from its start.
TEST_F(KycurlTest, RedirectsSendTheBodyAgain) {
    kytest::TempDir dir;
    const std::string content(300000, 'r');
    WriteFile(dir.file("body"), content);
    for (const std::vector<std::string>& body :
         {std::vector<std::string>{"-T", dir.file("body")},
          std::vector<std::string>{"-F", "f=<" + dir.file("body")},
          std::vector<std::string>{"--data-binary", "@" + dir.file("body")}}) {
        std::vector<std::string> args = body;
        args.insert(args.end(), {"-L", server.url("/header?status=307&Location=/landed")});
        size_t before = server.requestCount();
        RunResult r = RunKycurl(args);
        EXPECT_EQ(r.exitStatus, 0) << body[0] << ": " << r.err;
        ASSERT_EQ(server.requestCount(), before + 2) << body[0];
        EXPECT_EQ(server.lastRequest().target, "/landed");
        EXPECT_NE(server.lastRequest().body.find(content), std::string::npos) << body[0];
    }
    // An upload keeps its method and body on every redirect, as curl's PUT does on a 301 or 302: it
    // never goes on declaring a length it does not send.
    for (const char* status : {"301", "302", "303"}) {
        size_t before = server.requestCount();
        RunResult r = RunKycurl({"-m", "10", "-T", dir.file("body"), "-L",
                                 server.url(std::string("/header?status=") + status + "&Location=/landed")});
        EXPECT_EQ(r.exitStatus, 0) << status << ": " << r.err;
        ASSERT_EQ(server.requestCount(), before + 2) << status;
        EXPECT_EQ(server.lastRequest().method + " " + server.lastRequest().target, "PUT /landed") << status;
        EXPECT_EQ(server.lastRequest().body, content) << status;
    }
}

// The n-th -T belongs to the n-th URL; a later URL without one is no upload.
TEST_F(KycurlTest, UploadsPairWithTheirUrls) {
    kytest::TempDir dir;
    WriteFile(dir.file("f"), "file body");
    RunResult r = RunKycurl({"-T", dir.file("f"), server.url("/a"), server.url("/b")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::vector<kytest::ReceivedRequest> got = server.requests();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].method + " " + got[0].target + " " + got[0].body, "PUT /a file body");
    EXPECT_EQ(got[1].method + " " + got[1].target + " " + got[1].body, "GET /b ");
    // A body-less PUT that is redirected after an upload: nothing is read from the earlier file.
    server.clearRequests();
    RunResult again = RunKycurl({"-X", "PUT", "-L", "-T", dir.file("f"), server.url("/a"),
                                 server.url("/header?status=307&Location=/c")});
    ASSERT_EQ(again.exitStatus, 0) << again.err;
    got = server.requests();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].method + " " + got[2].target + " " + got[2].body, "PUT /c ");
}

TEST_F(KycurlTest, UploadsStreamFromStandardInputAndFormPartsFromFiles) {
    RunResult fromStdin = RunKycurl({"-T", "-", server.url("/in")}, {"", "piped body", {}});
    ASSERT_EQ(fromStdin.exitStatus, 0) << fromStdin.err;
    EXPECT_EQ(server.lastRequest().method, "PUT");
    EXPECT_EQ(server.lastRequest().header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(server.lastRequest().body, "piped body");

    // A length declared instead of the chunked coding: the body goes out plain, as long as declared.
    RunResult declared = RunKycurl(
        {"-m", "10", "-T", "-", "-H", "Transfer-Encoding:", "-H", "Content-Length: 10", server.url("/in")},
        {"", "piped body", {}});
    ASSERT_EQ(declared.exitStatus, 0) << declared.err;
    EXPECT_EQ(server.lastRequest().header("Content-Length"), "10");
    EXPECT_FALSE(server.lastRequest().hasHeader("Transfer-Encoding"));
    EXPECT_EQ(server.lastRequest().body, "piped body");

    kytest::TempDir dir;
    WriteFile(dir.file("a.txt"), "file\r\ncontent");
    RunResult form =
        RunKycurl({"-F", "name=va\"lue", "-F", "doc=@" + dir.file("a.txt"), "-F",
                   "raw=@" + dir.file("a.txt") + ";type=x/y;filename=r.bin", server.url("/echo")});
    ASSERT_EQ(form.exitStatus, 0) << form.err;
    kytest::ReceivedRequest got = server.lastRequest();
    std::string type = got.header("Content-Type");
    const std::string prefix = "multipart/form-data; boundary=";
    ASSERT_EQ(type.rfind(prefix, 0), 0u) << type;
    std::string boundary = type.substr(prefix.size());
    EXPECT_EQ(boundary.size(), 40u);
    EXPECT_EQ(got.body, "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nva\"lue\r\n--" +
                            boundary +
                            "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a.txt\"\r\n"
                            "Content-Type: text/plain\r\n\r\nfile\r\ncontent\r\n--" +
                            boundary +
                            "\r\nContent-Disposition: form-data; name=\"raw\"; filename=\"r.bin\"\r\n"
                            "Content-Type: x/y\r\n\r\nfile\r\ncontent\r\n--" +
                            boundary + "--\r\n");
    EXPECT_EQ(got.header("Content-Length"), std::to_string(got.body.size()));

    // The form goes whole to every URL.
    server.clearRequests();
    RunResult twice = RunKycurl({"-F", "doc=@" + dir.file("a.txt"), server.url("/one"), server.url("/two")});
    ASSERT_EQ(twice.exitStatus, 0) << twice.err;
    ASSERT_EQ(server.requestCount(), 2u);
    EXPECT_NE(server.requests()[0].body.find("file\r\ncontent\r\n--"), std::string::npos);
    EXPECT_NE(server.requests()[1].body.find("file\r\ncontent\r\n--"), std::string::npos);
}

// A body read from a file is held in memory once, not once per copy made while it is read and handed on.
TEST_F(KycurlTest, BodyFromAFileIsHeldOnce) {
    kytest::TempDir dir;
    const size_t size = size_t{48} * 1024 * 1024;
    const std::string line = "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz\n";
    {
        std::ofstream file(dir.file("body"), std::ios::binary);
        for (size_t written = 0; written < size; written += line.size()) file << line;
    }
    const size_t lines = (size + line.size() - 1) / line.size();
    RunResult tiny = RunKycurl({"-s", "-o", "/dev/null", "-d", "x", server.url("/in")});
    ASSERT_EQ(tiny.exitStatus, 0) << tiny.err;
    const struct {
        const char* option;
        size_t sent;
    } cases[] = {{"-d", lines * (line.size() - 1)}, {"--data-binary", lines * line.size()}};
    for (const auto& c : cases) {
        RunResult r =
            RunKycurl({"-s", "-o", "/dev/null", c.option, "@" + dir.file("body"), server.url("/in")});
        ASSERT_EQ(r.exitStatus, 0) << c.option << ": " << r.err;
        EXPECT_EQ(server.lastRequest().body.size(), c.sent) << c.option;
        server.clearRequests();
#if !KYTEST_SANITIZED
        EXPECT_LT(r.peakResidentKiB - tiny.peakResidentKiB, static_cast<long>(c.sent / 1024 * 5 / 4))
            << c.option;
#endif
    }
}

}  // namespace
}  // namespace kytest
