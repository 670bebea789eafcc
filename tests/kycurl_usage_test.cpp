// kycurl's own options: usage errors, --help, --version and --urlencode.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, UsageErrorsSendNothing) {
    std::string url = server.url("/echo");
    struct Case {
        std::vector<std::string> args;
        std::string named;
    } cases[] = {
        {{"-X", "FE TCH", url}, "FE TCH"},
        {{}, "no URL"},
        {{"--bogus", url}, "--bogus"},
        {{"-q", url}, "-q"},
        {{"-m", "soon", url}, "soon"},
        {{"-m", "-1", url}, "-1"},
        {{"-H", "NoColon", url}, "NoColon"},
        {{"-H", "@/nonexistent/headers.txt", url}, "/nonexistent/headers.txt"},
        {{"-X", "GET", "-d", "x", url}, "GET"},
        {{"-X", "HEAD", "-d", "x", url}, "HEAD"},
        {{"--dynamic-tppm", url}, "--client"},
        {{"--probe", url}, "--client"},
        {{"-o"}, "-o"},
        {{"-d", "x", "-F", "a=b", url}, "-d and -F"},
        {{"-d", "x", "-T", "file", url}, "-d and -T"},
        {{"-I", "-d", "x", url}, "-I"},
        {{"-G", "-F", "a=b", url}, "-G"},
        {{"-F", "novalue", url}, "novalue"},
        {{"--retry", "-2", url}, "-2"},
        {{"--connect-timeout", "x", url}, "'x'"},
        {{"--max-redirs", "many", url}, "many"},
        {{"--trace"}, "--trace"},
        {{"--help=bogus"}, "bogus"},
        {{"--urlencode", "x", url}, "takes no URL"},
        {{"-f", "--fail-with-body", url}, "--fail-with-body"},
        {{"-C", "x", url}, "'x'"},
        {{"--max-filesize", "lots", url}, "lots"},
        {{"-K", "/nonexistent/kycurl.cfg", url}, "/nonexistent/kycurl.cfg"},
        {{url, "--next"}, "no URL"},
        {{url, "--next", "-X", "FE(TCH", url}, "FE(TCH"},
    };
    for (const Case& c : cases) {
        RunResult r = RunKycurl(c.args);
        EXPECT_EQ(r.exitStatus, 2) << c.named;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(KycurlTest, HelpDocumentsEveryOption) {
    RunResult all = RunKycurl({"--help", "all"});
    EXPECT_EQ(all.exitStatus, 0);
    for (const char* option : {"-X, --request",
                               "-d, --data",
                               "--data-binary",
                               "--data-raw",
                               "--data-urlencode",
                               "--json",
                               "-F, --form",
                               "-T, --upload-file",
                               "-H, --header",
                               "-u, --user",
                               "-A, --user-agent",
                               "-e, --referer",
                               "-L, --location",
                               "--max-redirs",
                               "-I, --head",
                               "-G, --get",
                               "-f, --fail",
                               "--compressed",
                               "--http1.1",
                               "--http2",
                               "-b, --cookie",
                               "-c, --cookie-jar",
                               "-o, --output",
                               "-O, --remote-name",
                               "-i, --include",
                               "-D, --dump-header",
                               "-w, --write-out",
                               "-s, --silent",
                               "-S, --show-error",
                               "-m, --max-time",
                               "--connect-timeout",
                               "--retry",
                               "--retry-delay",
                               "-x, --proxy",
                               "--cacert",
                               "-k, --insecure",
                               "--ssl-reqd",
                               "-v, --verbose",
                               "--trace",
                               "--trace-ascii",
                               "--trace-log",
                               "--library-log",
                               "--client",
                               "--dynamic-tppm",
                               "--probe",
                               "--urlencode",
                               "-h, --help",
                               "-V, --version",
                               "-K, --config",
                               "-:, --next",
                               "-U, --proxy-user",
                               "--digest",
                               "--anyauth",
                               "-C, --continue-at",
                               "-r, --range",
                               "-z, --time-cond",
                               "--etag-save",
                               "--resolve",
                               "-p, --proxytunnel",
                               "--fail-with-body",
                               "601",
                               "602",
                               "tunnel_url"}) {
        EXPECT_NE(all.out.find(option), std::string::npos) << option;
    }
    // One screen each: at most 24 lines of at most 80 columns.
    for (const char* topic : {"", "http", "auth", "post", "upload", "output", "transfer", "connection",
                              "proxy", "tls", "verbose", "routing", "misc", "exit", "write-out"}) {
        RunResult r =
            RunKycurl(*topic ? std::vector<std::string>{"--help", topic} : std::vector<std::string>{"-h"});
        EXPECT_EQ(r.exitStatus, 0) << topic;
        EXPECT_LE(LineCount(r.out), 24u) << topic << "\n" << r.out;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    }
}

TEST_F(KycurlTest, VersionNamesTheProjectVersion) {
    RunResult r = RunKycurl({"--version"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.rfind("kycurl 1.0.0.1 ", 0), 0u) << r.out;
}

// The demo is a program of its own (kydemo); kycurl no longer knows the option.
TEST_F(KycurlTest, DemoIsNoLongerAnOption) {
    RunResult r = RunKycurl({"--demo"});
    EXPECT_EQ(r.exitStatus, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("--demo"), std::string::npos) << r.err;
    EXPECT_EQ(RunKycurl({"--help", "all"}).out.find("demo"), std::string::npos);
}

TEST_F(KycurlTest, UrlEncodePrintsTheFormEncoding) {
    RunResult r = RunKycurl({"--urlencode", "a b~+%/\xc3\xa9"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "a+b%7E%2B%25%2F%C3%A9\n");
}

}  // namespace
}  // namespace kytest
