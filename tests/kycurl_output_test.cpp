// What kycurl writes: the body, header lines, output files, -w and the progress bar.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/read_file.h"
#include "support/refused_port.h"
#include "support/scripted_server.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, IncludeWritesHeaderLinesBeforeBody) {
    RunResult r = RunKycurl({"-i", server.url("/header?X-Kind=demo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.rfind("HTTP/1.1 200", 0), 0u) << r.out;
    size_t end = r.out.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(r.out.substr(0, end).find("\r\nX-Kind: demo"), std::string::npos);
    RunResult plain = RunKycurl({server.url("/header?X-Kind=demo")});
    EXPECT_EQ(r.out.substr(end + 4), plain.out);
}

TEST_F(KycurlTest, OutputFileReceivesTheReply) {
    kytest::TempDir dir;
    RunResult r = RunKycurl({"-o", dir.file("body.txt"), server.url("/bytes/30")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir.file("body.txt")), "abcdefghijklmnopqrstuvwxyzabcd");

    RunResult unwritable = RunKycurl({"-o", dir.path(), server.url("/bytes/3")});
    EXPECT_EQ(unwritable.exitStatus, 23);
    EXPECT_NE(unwritable.err.find("cannot open"), std::string::npos) << unwritable.err;
}

// One row per option: what kycurl printed or wrote.
TEST_F(KycurlTest, OutputOptionsWriteWhatCurlWrites) {
    kytest::TempDir dir;
    const kytest::RefusedPort refusing;
    const std::string base = server.url("");
    const std::string redirect = "/header?status=302&Location=/bytes/3";
    const std::string kHead2 = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\n";
    const kytest::ScriptedServer ranged({kytest::ScriptedAnswer::Send(
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2-4/5\r\nContent-Length: 3\r\n"
        "Connection: close\r\n\r\ncde")});
    const std::string port = std::to_string(server.port());
    const std::string disposition = "/header?Content-Disposition=attachment;%20filename=%22dir/given.txt%22";
    WriteFile(dir.file("part"), "ab");
    WriteFile(dir.file("kept"), "old");
    const kytest::ScriptedServer chunked(
        {kytest::ScriptedAnswer::Send(kytest::ChunkedReplyWithTrailers("abc", ""))});
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    struct Case {
        std::vector<std::string> args;
        std::string out;   // exact standard output
        std::string file;  // a file in the working directory ("-" must not exist), then its exact content
        std::string fileContent;
    } cases[] = {
        {{"-o", "-", server.url("/bytes/4")}, "abcd", "-", ""},
        {{"-O", server.url("/bytes/5?x=1")}, "", "5", "abcde"},
        {{"-O", server.url("/-")}, "", "", ""},
        {{"-o", "one", "-o", "two", server.url("/bytes/2"), server.url("/bytes/3")}, "", "two", "abc"},
        {{"-o", "-", "-o", "two", server.url("/bytes/2"), server.url("/bytes/3")}, "ab", "two", "abc"},
        {{"-o", "none/one", server.url("/bytes/2"), server.url("/bytes/3")}, "abc", "", ""},
        {{server.url("/bytes/2"), server.url("/bytes/3")}, "ababc", "", ""},
        {{"-D", "heads", server.url("/bytes/2")}, "ab", "heads", kHead2},
        {{"-I", server.url("/bytes/2")}, kHead2, "", ""},
        {{"-i", "-o", "both", server.url("/bytes/2")}, "", "both", kHead2 + "ab"},
        {{"-L", server.url(redirect)}, "abc", "", ""},
        {{"-i", "-L", server.url(redirect)},
         "HTTP/1.1 302 Found\r\nContent-Type: text/plain\r\nLocation: /bytes/3\r\nContent-Length: 2\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc",
         "",
         ""},
        {{"-D", "all", server.url("/bytes/1"), server.url("/bytes/2")},
         "aab",
         "all",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n\r\n" + kHead2},
        {{"-L", "-w", "%{num_redirects} %{http_code} %{url_effective}\\n", "-o", "/dev/null",
          server.url(redirect)},
         "1 200 " + base + "bytes/3\n",
         "",
         ""},
        {{"-w", "%{size_download}|%{content_type}|%{remote_ip}|%{exitcode}|%%|\\t|%{errormsg}",
          server.url("/bytes/3")},
         "abc3|text/plain|127.0.0.1|0|%|\t|",
         "",
         ""},
        {{"-w", "@fmt", server.url("/bytes/1")}, "a[200]", "", ""},
        {{"-w", "%{num_connects} %{local_ip}|", server.url("/bytes/1"), server.url("/bytes/2")},
         "a1 127.0.0.1|ab0 127.0.0.1|",
         "",
         ""},
        {{"-sw", "%{http_code} %{exitcode}", refusing.url()}, "000 7", "", ""},
        {{"-w", "%{method} %{http_version} %{urlnum} %{num_headers} %header{content-type} %{response_code}|",
          server.url("/bytes/{1,2}")},
         "aGET 1.1 0 2 text/plain 200|abGET 1.1 1 2 text/plain 200|",
         "",
         ""},
        {{"-w", "%{stderr}to standard error%{stdout}%{onerror}never", server.url("/bytes/1")}, "a", "", ""},
        {{"-sw", "%{onerror}%{exitcode}", refusing.url()}, "7", "", ""},
        {{"-w", "%{filename_effective}", "-o", "f#1", server.url("/bytes/{2,3}")}, "f2f3", "f3", "abc"},
        {{server.url("/bytes/[1-3]")}, "aababc", "", ""},
        {{server.url("/bytes/[2-6:2]")}, "ababcdabcdef", "", ""},
        {{"-g", server.url("/x[1-2]")}, "ok", "", ""},
        {{server.url("/x[1-2]")}, "okok", "", ""},
        {{"-C", "-", "-o", "part", ranged.url("/x")}, "", "part", "abcde"},
        {{"--etag-save", "etag", server.url("/header?ETag=%22v1%22")}, "ok", "etag", "\"v1\"\n"},
        {{"-J", "-O", server.url(disposition)}, "", "given.txt", "ok"},
        {{"--output-dir", "sub", "-o", "f", server.url("/bytes/2")}, "", "sub/f", "ab"},
        {{"--remote-name-all", server.url("/bytes/4")}, "", "4", "abcd"},
        {{"--no-clobber", "-o", "kept", server.url("/bytes/2")}, "", "kept.1", "ab"},
        {{"--raw", chunked.url("/")}, "3\r\nabc\r\n0\r\n\r\n", "", ""},
        {{"--ignore-content-length", server.url("/drop/4")}, "abcd", "", ""},
        {{"--max-filesize", "1k", server.url("/bytes/10")}, "abcdefghij", "", ""},
        {{"-i", "--no-include", server.url("/bytes/2")}, "ab", "", ""},
        {{"--resolve", "kycurl.test:" + port + ":127.0.0.1", "http://kycurl.test:" + port + "/bytes/2"},
         "ab",
         "",
         ""},
        {{"--connect-to", "kycurl.test:80:127.0.0.1:" + port, "http://kycurl.test/bytes/3"}, "abc", "", ""},
    };
    WriteFile(dir.file("fmt"), "[%{http_code}]");
    for (const Case& c : cases) {
        RunResult r = RunKycurl(c.args, {dir.path(), "", {}});
        std::string named = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.out, c.out) << named << ": " << r.err;
        if (c.file == "-") {
            EXPECT_FALSE(std::ifstream(dir.file("-")).good()) << named;
        } else if (!c.file.empty()) {
            EXPECT_EQ(ReadFile(dir.file(c.file)), c.fileContent) << named;
        }
    }
}

// %{json} holds every variable, by curl's names in curl's order; %{header_json} every reply header.
TEST_F(KycurlTest, WriteOutJsonHoldsEveryVariable) {
    RunResult r = RunKycurl({"-o", "/dev/null", "-w", "%{json}|%{header_json}", server.url("/bytes/2")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(
        r.out.rfind("{\"certs\":\"\",\"content_type\":\"text/plain\",\"errormsg\":null,\"exitcode\":0,", 0),
        0u)
        << r.out;
    for (const char* part : {"\"filename_effective\":\"/dev/null\",", "\"http_code\":200,",
                             "\"http_version\":\"1.1\",", "\"method\":\"GET\",", "\"num_headers\":2,",
                             "\"size_download\":2,", "\"url\":\"", "\"urlnum\":0,\"curl_version\":\"libcurl/",
                             "}|{\"content-type\":[\"text/plain\"],\n", "\"content-length\":[\"2\"]\n}"}) {
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("tunnel_url"), std::string::npos) << r.out;
    RunResult unknown = RunKycurl({"-s", "-w", "[%{nonesuch}]", server.url("/bytes/1")});
    EXPECT_EQ(unknown.out, "a[]");
    EXPECT_EQ(unknown.err, "kycurl: unknown --write-out variable: 'nonesuch'\n");
}

// On a terminal the bar shows for a transfer that takes more than half a second (the reply waits 700 ms).
TEST_F(KycurlTest, ProgressBarShowsOnATerminalOnly) {
    std::string url = server.url("/bytes/2000?delay=700");
    RunConfig onTerminal;
    onTerminal.terminal = true;
    RunResult r = RunKycurl({url}, onTerminal);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_NE(r.out.find("100% [##"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("of 2.0 KiB"), std::string::npos) << r.out;

    RunResult piped = RunKycurl({url});
    EXPECT_EQ(piped.err, "");
}

// The 64 MiB body goes to its file as it arrives: the process holds no more than for a tiny body.
TEST_F(KycurlTest, LargeBodyStreamsInFlatMemory) {
    kytest::TempDir dir;
    const size_t size = size_t{64} * 1024 * 1024;
    RunResult tiny = RunKycurl({"-s", "-o", dir.file("tiny"), server.url("/bytes/10")});
    RunResult r = RunKycurl({"-s", "-o", dir.file("big"), "-w", "%{size_download}",
                             server.url("/bytes/" + std::to_string(size))});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(size));
    std::ifstream big(dir.file("big"), std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<size_t>(big.tellg()), size);
    EXPECT_LT(r.peakResidentKiB - tiny.peakResidentKiB, 16 * 1024);
#if !KYTEST_SANITIZED
    EXPECT_LT(r.peakResidentKiB, 32 * 1024);
#endif
}

}  // namespace
}  // namespace kytest
