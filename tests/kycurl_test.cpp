// kycurl as its users see it: the built binary run against the test server, checked by exit status,
// standard output, standard error and what reached the server.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/refused_port.h"
#include "support/test_server.h"

#ifndef KYCURL_PATH
#define KYCURL_PATH ""
#endif

extern char** environ;

namespace {

using kytest::ReadFile;

constexpr int kRunLimitSeconds = 60;

struct RunResult {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

struct RunConfig {
    std::string cwd;
    std::string input;
    std::vector<std::string> env;  // extra "NAME=value" entries
};

// The child's environment: ours, less proxy settings (every request must go straight to 127.0.0.1) and
// less the logger's settings (kycurl decides where the library's log goes), plus the extras.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    static const char* const kDropped[] = {"http_proxy=",  "https_proxy=", "all_proxy=",    "HTTP_PROXY=",
                                           "HTTPS_PROXY=", "ALL_PROXY=",   "EVDEBUG_FILE=", "EVDEBUG_LEVEL="};
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        bool dropped = false;
        for (const char* prefix : kDropped) dropped = dropped || strncmp(*entry, prefix, strlen(prefix)) == 0;
        if (!dropped) env.push_back(*entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

int ExitStatusOf(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads both pipes to their end, bounded in time; a child that overstays is killed.
void Drain(pid_t pid, int outFd, int errFd, RunResult& result) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunLimitSeconds);
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
}

RunResult RunKycurl(const std::vector<std::string>& args, const RunConfig& config = {}) {
    std::vector<std::string> argvTexts = {KYCURL_PATH};
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = ChildEnvironment(config.env);
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);
    int in[2], out[2], err[2];
    RunResult result;
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the test process has threads.
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!config.cwd.empty() && chdir(config.cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!config.input.empty() && write(in[1], config.input.data(), config.input.size()) < 0) perror("write");
    close(in[1]);
    Drain(pid, out[0], err[0], result);
    result.exitStatus = ExitStatusOf(pid);
    return result;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

class KycurlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::string(KYCURL_PATH).empty()) GTEST_SKIP() << "kycurl is not built";
    }

    kytest::TestServer server;
};

TEST_F(KycurlTest, GetWritesBodyOnlyAndSucceeds) {
    RunResult r = RunKycurl({server.url("/bytes/10")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "abcdefghij");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.lastRequest().method, "GET");
}

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

TEST_F(KycurlTest, MethodAndBodyReachServerExactly) {
    struct Case {
        std::vector<std::string> args;
        std::string method;
        std::string body;
    } cases[] = {
        {{"-X", "GET"}, "GET", ""},
        {{"-X", "post", "-d", "a=1&b=2"}, "POST", "a=1&b=2"},
        {{"-XPUT", "-d", "put body"}, "PUT", "put body"},
        {{"-X", "Delete", "-d", "gone"}, "DELETE", "gone"},
        {{"-X", "HEAD"}, "HEAD", ""},
        {{"--request=PATCH", "--data", "x=\"quoted\" & more"}, "PATCH", "x=\"quoted\" & more"},
        {{"-d", "implicit=post"}, "POST", "implicit=post"},
        {{"-d", "one", "-d", "two"}, "POST", "one&two"},
        {{"-X", "POST"}, "POST", ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(server.url("/echo"));
        RunResult r = RunKycurl(args);
        EXPECT_EQ(r.exitStatus, 0) << c.method << ": " << r.err;
        kytest::ReceivedRequest got = server.lastRequest();
        EXPECT_EQ(got.method, c.method);
        EXPECT_EQ(got.body, c.body) << c.method;
    }
}

TEST_F(KycurlTest, DataFromFileAndStandardInputIsSentByteForByte) {
    kytest::TempDir dir;
    const std::string content("line one\r\nline two\n\0tail", 24);
    WriteFile(dir.file("body.bin"), content);
    RunResult fromFile = RunKycurl({"-d", "@" + dir.file("body.bin"), server.url("/echo")});
    EXPECT_EQ(fromFile.exitStatus, 0) << fromFile.err;
    EXPECT_EQ(server.lastRequest().body, content);

    RunConfig config;
    config.input = "from standard input\n";
    RunResult fromStdin = RunKycurl({"-X", "PUT", "-d", "@-", server.url("/echo")}, config);
    EXPECT_EQ(fromStdin.exitStatus, 0) << fromStdin.err;
    EXPECT_EQ(server.lastRequest().body, config.input);

    size_t before = server.requestCount();
    RunResult missing = RunKycurl({"-d", "@" + dir.file("absent"), server.url("/echo")});
    EXPECT_EQ(missing.exitStatus, 3);
    EXPECT_NE(missing.err.find(dir.file("absent")), std::string::npos) << missing.err;
    EXPECT_EQ(server.requestCount(), before);
}

TEST_F(KycurlTest, HeadersReachServerExactly) {
    RunResult r = RunKycurl({"-H", "X-One: 1", "-H", "X-Two:  two words ", "-H",
                             "content-type: application/json", "-d", "{}", server.url("/echo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    kytest::ReceivedRequest got = server.lastRequest();
    EXPECT_EQ(got.header("X-One"), "1");
    EXPECT_NE(got.raw.find("\r\nX-Two:  two words"), std::string::npos) << got.raw;
    EXPECT_EQ(got.headerCount("Content-Type"), 1u);
    EXPECT_EQ(got.header("Content-Type"), "application/json");
}

TEST_F(KycurlTest, DefaultContentTypeGoesOutOnce) {
    RunResult r = RunKycurl({"-d", "a=b", server.url("/echo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(server.lastRequest().headerCount("Content-Type"), 1u);
    EXPECT_EQ(server.lastRequest().header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(KycurlTest, ChunkedUploadCarriesTheBody) {
    RunResult r = RunKycurl({"-H", "Transfer-Encoding: chunked", "-d", "chunked body", server.url("/echo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(server.lastRequest().header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(server.lastRequest().body, "chunked body");
}

TEST_F(KycurlTest, UserSendsBasicCredentials) {
    RunResult r = RunKycurl({"-u", "user:pw", server.url("/echo")});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(server.lastRequest().header("Authorization"), "Basic dXNlcjpwdw==");
}

TEST_F(KycurlTest, OutputFileReceivesTheReply) {
    kytest::TempDir dir;
    RunResult r = RunKycurl({"-o", dir.file("body.txt"), server.url("/bytes/30")});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(dir.file("body.txt")), "abcdefghijklmnopqrstuvwxyzabcd");

    RunResult unwritable = RunKycurl({"-o", dir.path(), server.url("/bytes/3")});
    EXPECT_EQ(unwritable.exitStatus, 3);
    EXPECT_NE(unwritable.err.find("cannot open"), std::string::npos) << unwritable.err;
}

TEST_F(KycurlTest, NotFoundFailsWithOneLineNamingTheStatus) {
    RunResult r = RunKycurl({server.url("/status/404")});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "status 404");
    EXPECT_NE(r.err.find("HTTP status 404"), std::string::npos) << r.err;
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
}

TEST_F(KycurlTest, RefusedPortFailsWith601) {
    const kytest::RefusedPort refusing;
    RunResult r = RunKycurl({refusing.url()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("status 601 connection failed"), std::string::npos) << r.err;
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;
}

TEST_F(KycurlTest, TimeOutFailsWith602) {
    RunResult r = RunKycurl({"-m", "0.3", server.url("/stall")});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("status 602 timed out"), std::string::npos) << r.err;
}

TEST_F(KycurlTest, SilentDropsTheErrorLineUnlessShowError) {
    RunResult silent = RunKycurl({"-s", server.url("/status/500")});
    EXPECT_EQ(silent.exitStatus, 1);
    EXPECT_EQ(silent.err, "");
    RunResult shown = RunKycurl({"-sS", server.url("/status/500")});
    EXPECT_EQ(shown.exitStatus, 1);
    EXPECT_NE(shown.err.find("HTTP status 500"), std::string::npos) << shown.err;
}

TEST_F(KycurlTest, VerboseShowsTheLibraryLog) {
    RunResult quiet = RunKycurl({server.url("/status/404")});
    EXPECT_EQ(quiet.err.find("failed to send http request"), std::string::npos) << quiet.err;
    RunResult verbose = RunKycurl({"-v", server.url("/status/404")});
    EXPECT_NE(verbose.err.find("failed to send http request"), std::string::npos) << verbose.err;

    kytest::TempDir dir;
    RunResult toFile = RunKycurl({server.url("/status/404")}, {"", "", {"EVDEBUG_FILE=" + dir.file("log")}});
    EXPECT_EQ(toFile.exitStatus, 1);
    EXPECT_NE(ReadFile(dir.file("log")).find("failed to send http request"), std::string::npos);
}

TEST_F(KycurlTest, UrlEncodePrintsTheFormEncoding) {
    RunResult r = RunKycurl({"--urlencode", "a b~+%/\xc3\xa9"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "a+b%7E%2B%25%2F%C3%A9\n");
}

TEST_F(KycurlTest, HelpDocumentsEveryOption) {
    RunResult r = RunKycurl({"--help"});
    EXPECT_EQ(r.exitStatus, 0);
    for (const char* option : {"-X, --request",
                               "-d, --data",
                               "-H, --header",
                               "-u, --user",
                               "--cacert",
                               "-k, --insecure",
                               "--ssl-reqd",
                               "-b, --cookie",
                               "-c, --cookie-jar",
                               "-m, --max-time",
                               "-o, --output",
                               "-i, --include",
                               "-s, --silent",
                               "-S, --show-error",
                               "-v, --verbose",
                               "--trace",
                               "--urlencode",
                               "--client",
                               "--dynamic-tppm",
                               "--probe",
                               "--demo",
                               "-h, --help",
                               "-V, --version",
                               "601",
                               "602"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

TEST_F(KycurlTest, VersionNamesTheProjectVersion) {
    RunResult r = RunKycurl({"--version"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.rfind("kycurl 1.0.0.1 ", 0), 0u) << r.out;
}

TEST_F(KycurlTest, UsageErrorsSendNothing) {
    std::string url = server.url("/echo");
    struct Case {
        std::vector<std::string> args;
        std::string named;
    } cases[] = {
        {{"-X", "FETCH", url}, "FETCH"},
        {{}, "no URL"},
        {{"--bogus", url}, "--bogus"},
        {{"-q", url}, "-q"},
        {{"-m", "soon", url}, "soon"},
        {{"-m", "-1", url}, "-1"},
        {{"-H", "NoColon", url}, "NoColon"},
        {{"-X", "GET", "-d", "x", url}, "GET"},
        {{"-X", "HEAD", "-d", "x", url}, "HEAD"},
        {{"--dynamic-tppm", url}, "--client"},
        {{"--probe", url}, "--client"},
        {{url, url}, "more than one URL"},
        {{"-o"}, "-o"},
        {{"--urlencode", "x", url}, "takes no URL"},
    };
    for (const Case& c : cases) {
        RunResult r = RunKycurl(c.args);
        EXPECT_EQ(r.exitStatus, 2) << c.named;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(KycurlTest, CookieJarIsWrittenAndCookieFileRead) {
    kytest::TempDir dir;
    RunResult set = RunKycurl({"-c", dir.file("jar"), server.url("/cookie/set?flavour=oat")});
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_NE(ReadFile(dir.file("jar")).find("flavour\toat"), std::string::npos) << ReadFile(dir.file("jar"));
    RunResult sent = RunKycurl({"-b", dir.file("jar"), server.url("/echo")});
    ASSERT_EQ(sent.exitStatus, 0) << sent.err;
    EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");
}

TEST_F(KycurlTest, TraceAppendsToLogInCurrentDirectory) {
    kytest::TempDir dir;
    RunResult r = RunKycurl({"--trace", server.url("/bytes/3")}, {dir.path(), "", {}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "abc");
    std::string log = ReadFile(dir.file("log.txt"));
    EXPECT_NE(log.find("=> Send header"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /bytes/3 HTTP/1.1"), std::string::npos) << log;
    EXPECT_NE(log.find("<= Recv data"), std::string::npos) << log;
}

TEST_F(KycurlTest, HttpsVerifiesUnlessToldOtherwise) {
    kytest::TestServer tls(kytest::TestServer::Scheme::Https);
    RunResult unverified = RunKycurl({tls.url("/bytes/2")});
    EXPECT_EQ(unverified.exitStatus, 1);
    EXPECT_NE(unverified.err.find("no reply"), std::string::npos) << unverified.err;
    RunResult withCa = RunKycurl({"--cacert", tls.caFile(), tls.url("/bytes/2")});
    EXPECT_EQ(withCa.exitStatus, 0) << withCa.err;
    EXPECT_EQ(withCa.out, "ab");
    RunResult insecure = RunKycurl({"-k", "--ssl-reqd", tls.url("/bytes/2")});
    EXPECT_EQ(insecure.exitStatus, 0) << insecure.err;
    EXPECT_EQ(insecure.out, "ab");
}

// The host name is never resolved: the tunnel replaces it with 127.0.0.1.
TEST_F(KycurlTest, ClientRequestGoesThroughATunnel) {
    kytest::TempDir dir;
    WriteFile(dir.file("clients"), "- tunnel\n");
    RunConfig config{"", "", {"KYFW_CLIENTS=" + dir.file("clients")}};
    std::string url = "http://routed-host:" + std::to_string(server.port()) + "/echo";
    for (const std::vector<std::string>& routing :
         {std::vector<std::string>{"--client", "demo-client"},
          std::vector<std::string>{"--client", "demo-client", "--dynamic-tppm"}}) {
        std::vector<std::string> args = routing;
        args.push_back(url);
        size_t before = server.requestCount();
        RunResult r = RunKycurl(args, config);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        ASSERT_EQ(server.requestCount(), before + 1);
        std::string host = server.lastRequest().header("Host");
        EXPECT_EQ(host.rfind("127.0.0.1:", 0), 0u) << host;
        EXPECT_NE(host, "127.0.0.1:" + std::to_string(server.port()));
    }
}

TEST_F(KycurlTest, ProbeNamesTheRouteThatAnswered) {
    // Every client needs a tunnel, so neither route ever resolves the made-up host name.
    kytest::TempDir dir;
    WriteFile(dir.file("clients"), "- tunnel\n");
    std::string url = "http://routed-host:" + std::to_string(server.port()) + "/echo";
    RunResult r = RunKycurl({"--probe", "--client", "demo-client", url},
                            {"", "", {"KYFW_CLIENTS=" + dir.file("clients")}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "dynamic TPPM route answered\n");
    EXPECT_EQ(server.lastRequest().method, "POST");

    WriteFile(dir.file("clients"), "- tunnel\ndemo-client refuse\n");
    RunResult refused = RunKycurl({"--probe", "--client", "demo-client", url},
                                  {"", "", {"KYFW_CLIENTS=" + dir.file("clients")}});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_NE(refused.err.find("neither route answered"), std::string::npos) << refused.err;
}

// On a terminal the bar shows for a transfer that takes more than half a second (the reply waits 700 ms).
TEST_F(KycurlTest, ProgressBarShowsOnATerminalOnly) {
    std::string url = server.url("/bytes/2000?delay=700");
    std::vector<std::string> argvTexts = {KYCURL_PATH, url};
    std::vector<std::string> envTexts = ChildEnvironment({});
    std::vector<char*> argv = Pointers(argvTexts);
    std::vector<char*> envp = Pointers(envTexts);
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    RunResult r;
    int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Drain(pid, terminal, none, r);
    EXPECT_EQ(ExitStatusOf(pid), 0);
    EXPECT_NE(r.out.find("100% [##"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("of 2.0 KiB"), std::string::npos) << r.out;

    RunResult piped = RunKycurl({url});
    EXPECT_EQ(piped.err, "");
}

TEST_F(KycurlTest, DemoEndsByItselfWithEverythingAsExpected) {
    RunResult r = RunKycurl({"--demo"});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("all"), std::string::npos);
    EXPECT_EQ(r.out.find("NOT AS EXPECTED"), std::string::npos) << r.out;
    for (const char* method : {"GET", "POST", "PUT", "DELETE", "HEAD", "PATCH"}) {
        EXPECT_NE(r.out.find(std::string(". ") + method + " http://127.0.0.1:"), std::string::npos) << method;
    }
    EXPECT_NE(r.out.find("status 601"), std::string::npos);
    EXPECT_NE(r.out.find("status 404"), std::string::npos);
    EXPECT_NE(r.out.find("--- log.txt ---"), std::string::npos);
}

}  // namespace
