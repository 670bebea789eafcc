// The requests kycurl builds: method, body, headers and cookies as the server receives them, byte for byte.
#include <utime.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/read_file.h"

namespace kytest {
namespace {

TEST_F(KycurlTest, GetWritesBodyOnlyAndSucceeds) {
    RunResult r = RunKycurl({server.url("/bytes/10")});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "abcdefghij");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.lastRequest().method, "GET");
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
    RunResult fromFile = RunKycurl({"--data-binary", "@" + dir.file("body.bin"), server.url("/echo")});
    EXPECT_EQ(fromFile.exitStatus, 0) << fromFile.err;
    EXPECT_EQ(server.lastRequest().body, content);

    RunConfig config;
    config.input = "from standard input\n";
    RunResult fromStdin = RunKycurl({"-X", "PUT", "--data-binary", "@-", server.url("/echo")}, config);
    EXPECT_EQ(fromStdin.exitStatus, 0) << fromStdin.err;
    EXPECT_EQ(server.lastRequest().body, config.input);

    // -d drops CR and LF from standard input as from a file.
    RunResult stripped = RunKycurl({"-d", "@-", server.url("/echo")}, {"", "a=1\r\nb=2\n", {}});
    EXPECT_EQ(stripped.exitStatus, 0) << stripped.err;
    EXPECT_EQ(server.lastRequest().body, "a=1b=2");

    // As in curl, a file that cannot be opened makes an empty post, with a warning.
    size_t before = server.requestCount();
    RunResult missing = RunKycurl({"-d", "@" + dir.file("absent"), "-d", "b=2", server.url("/echo")});
    EXPECT_EQ(missing.exitStatus, 0);
    EXPECT_EQ(missing.err, "Warning: Couldn't read data from file \"" + dir.file("absent") +
                               "\", this makes an empty POST.\n");
    ASSERT_EQ(server.requestCount(), before + 1);
    EXPECT_EQ(server.lastRequest().body, "&b=2");
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

// One row per option: what the server received.
TEST_F(KycurlTest, OptionsReachServerAsCurlSendsThem) {
    kytest::TempDir dir;
    WriteFile(dir.file("lines.txt"), "a=1\r\nb=2\n");
    WriteFile(dir.file("up.txt"), std::string("up\0load\n", 8));
    WriteFile(dir.file("headers.txt"), "X-A: 1\r\n\r\nX-B: two words\nno colon\nX-Empty;\n");
    WriteFile(dir.file("etag.txt"), "\"abc\"\n");
    WriteFile(
        dir.file("opts.cfg"),
        "# comment\nheader = \"X-Cfg: a b\"\n  -A agent/cfg\nreferer: http://127.0.0.1/r\n--compressed\n");
    WriteFile(dir.file("jar.txt"),
              "127.0.0.1\tFALSE\t/\tFALSE\t0\tgone\t1\n127.0.0.1\tFALSE\t/\tFALSE\t4102444800\tkeep\t2\n");
    const std::string proxy = "127.0.0.1:" + std::to_string(server.port());
    const std::string date = "Sun, 12 Dec 1999 12:00:00 GMT";
    WriteFile(dir.file("stamp.txt"), "");
    const struct utimbuf stamp = {946728000, 946728000};
    ASSERT_EQ(utime(dir.file("stamp.txt").c_str(), &stamp), 0);
    struct Case {
        std::vector<std::string> args;
        std::string path;
        std::string method;
        std::string target;                                        // empty: the path
        std::vector<std::pair<std::string, std::string>> headers;  // value "-": the header is absent
        std::string body;
    } cases[] = {
        {{},
         "/echo",
         "GET",
         "",
         {{"User-Agent", "kycurl/1.0.0.1"}, {"Content-Type", "-"}, {"Accept", "*/*"}},
         ""},
        {{"-A", "agent/2"}, "/echo", "GET", "", {{"User-Agent", "agent/2"}}, ""},
        {{"-A", ""}, "/echo", "GET", "", {{"User-Agent", "-"}}, ""},
        {{"-e", "http://127.0.0.1/from"}, "/echo", "GET", "", {{"Referer", "http://127.0.0.1/from"}}, ""},
        {{"-b", "sid=abc"}, "/echo", "GET", "", {{"Cookie", "sid=abc"}}, ""},
        {{"-b", "a=1", "-b", "b=2"}, "/echo", "GET", "", {{"Cookie", "a=1;b=2"}}, ""},
        {{"-d", "@" + dir.file("lines.txt")},
         "/echo",
         "POST",
         "",
         {{"Content-Type", "application/x-www-form-urlencoded"}},
         "a=1b=2"},
        {{"--data-binary", "@" + dir.file("lines.txt")}, "/echo", "POST", "", {}, "a=1\r\nb=2\n"},
        {{"--data-raw", "@lines.txt"}, "/echo", "POST", "", {}, "@lines.txt"},
        {{"--data-urlencode", "q=a b&c", "--data-urlencode", "=x/y"},
         "/echo",
         "POST",
         "",
         {},
         "q=a+b%26c&x%2Fy"},
        {{"--data-urlencode", "f@" + dir.file("lines.txt")},
         "/echo",
         "POST",
         "",
         {},
         "f=a%3D1%0D%0Ab%3D2%0A"},
        {{"-G", "-d", "a=1", "--data-urlencode", "b=x y"},
         "/echo",
         "GET",
         "/echo?a=1&b=x+y",
         {{"Content-Length", "-"}},
         ""},
        {{"-G", "-d", "c=3"}, "/echo?k=v", "GET", "/echo?k=v&c=3", {}, ""},
        {{"--json", "{\"a\":1}", "--json", "[2]"},
         "/echo",
         "POST",
         "",
         {{"Content-Type", "application/json"}, {"Accept", "application/json"}},
         "{\"a\":1}[2]"},
        {{"--json", "{}", "-H", "Accept: text/plain"}, "/echo", "POST", "", {{"Accept", "text/plain"}}, "{}"},
        {{"-T", dir.file("up.txt")},
         "/put/",
         "PUT",
         "/put/up.txt",
         {{"Content-Type", "-"}, {"Content-Length", "8"}, {"Expect", "100-continue"}},
         std::string("up\0load\n", 8)},
        {{"-T", dir.file("up.txt"), "-X", "POST"},
         "/put/x",
         "POST",
         "",
         {{"Content-Length", "8"}},
         std::string("up\0load\n", 8)},
        {{"-I"}, "/echo", "HEAD", "", {}, ""},
        {{"--compressed"}, "/echo", "GET", "", {{"Accept-Encoding", "deflate, gzip, br, zstd"}}, ""},
        {{"--http2"}, "/echo", "GET", "", {{"Upgrade", "h2c"}}, ""},
        {{"--http1.1"}, "/echo", "GET", "", {{"Upgrade", "-"}}, ""},
        {{"-u", "a:b"}, "/echo", "GET", "", {{"Authorization", "Basic YTpi"}}, ""},
        {{"-H", "@" + dir.file("headers.txt")},
         "/echo",
         "GET",
         "",
         {{"X-A", "1"}, {"X-B", "two words"}, {"X-Empty", ""}, {"no colon", "-"}},
         ""},
        {{"-H", "X-A: 1", "-H", "Content-Type: text/x", "-d", "z"},
         "/echo",
         "POST",
         "",
         {{"X-A", "1"}, {"Content-Type", "text/x"}},
         "z"},
        {{"-X", "PUT", "-H", "Transfer-Encoding: chunked", "-d", "put chunked"},
         "/echo",
         "PUT",
         "",
         {{"Transfer-Encoding", "chunked"}},
         "put chunked"},
        {{"-r", "0-4"}, "/echo", "GET", "", {{"Range", "bytes=0-4"}}, ""},
        {{"-r", "7"}, "/echo", "GET", "", {{"Range", "bytes=7-"}}, ""},
        {{"-z", date}, "/echo", "GET", "", {{"If-Modified-Since", date}}, ""},
        {{"-z", "-" + date},
         "/echo",
         "GET",
         "",
         {{"If-Unmodified-Since", date}, {"If-Modified-Since", "-"}},
         ""},
        {{"-z", "no date, no file"}, "/echo", "GET", "", {{"If-Modified-Since", "-"}}, ""},
        {{"-z", "stamp.txt"},
         "/echo",
         "GET",
         "",
         {{"If-Modified-Since", "Sat, 01 Jan 2000 12:00:00 GMT"}},
         ""},
        {{"--path-as-is"}, "/a/../echo", "GET", "/a/../echo", {}, ""},
        {{"--noproxy", "127.0.0.1", "-x", "127.0.0.1:1"}, "/echo", "GET", "", {}, ""},
        {{"--tr-encoding"}, "/echo", "GET", "", {{"TE", "gzip"}}, ""},
        {{"--proxy-header", "X-P: 1"}, "/echo", "GET", "", {{"X-P", "-"}}, ""},
        {{"-x", proxy, "-U", "p:q", "--proxy-digest"},
         "/echo",
         "GET",
         server.url("/echo"),
         {{"Proxy-Authorization", "-"}},
         ""},
        {{"--etag-compare", "etag.txt"}, "/echo", "GET", "", {{"If-None-Match", "\"abc\""}}, ""},
        {{"--etag-compare", "absent", "--etag-save", "saved"},
         "/echo",
         "GET",
         "",
         {{"If-None-Match", "\"\""}},
         ""},
        // Digest and --anyauth wait for the server's challenge, which /echo never sends.
        {{"-u", "a:b", "--digest"}, "/echo", "GET", "", {{"Authorization", "-"}}, ""},
        {{"-u", "a:b", "--anyauth"}, "/echo", "GET", "", {{"Authorization", "-"}}, ""},
        {{"--request-target", "/other?x"}, "/echo", "GET", "/other?x", {}, ""},
        {{"--url-query", "a b", "--url-query", "+x=%41"}, "/echo?k", "GET", "/echo?k&a+b&x=%41", {}, ""},
        {{"-K", "opts.cfg"},
         "/echo",
         "GET",
         "",
         {{"X-Cfg", "a b"},
          {"User-Agent", "agent/cfg"},
          {"Referer", "http://127.0.0.1/r"},
          {"Accept-Encoding", "deflate, gzip, br, zstd"}},
         ""},
        {{"-j", "-b", "jar.txt"}, "/echo", "GET", "", {{"Cookie", "keep=2"}}, ""},
        {{"-x", proxy, "-U", "p:q"},
         "/echo",
         "GET",
         server.url("/echo"),
         {{"Proxy-Authorization", "Basic cDpx"}},
         ""},
        {{"-x", proxy, "--proxy-header", "X-P: 1", "-H", "X-H: 2"},
         "/echo",
         "GET",
         server.url("/echo"),
         {{"X-P", "1"}, {"X-H", "2"}},
         ""},
        {{"--proxy1.0", proxy, "-H", "X-H: 2"}, "/echo", "GET", server.url("/echo"), {{"X-H", "2"}}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(server.url(c.path));
        std::string named =
            c.args.empty() ? "(no option)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
        size_t before = server.requestCount();
        RunResult r = RunKycurl(args, {dir.path(), "", {}});
        EXPECT_EQ(r.exitStatus, 0) << named << ": " << r.err;
        ASSERT_EQ(server.requestCount(), before + 1) << named;
        kytest::ReceivedRequest got = server.lastRequest();
        EXPECT_EQ(got.method, c.method) << named;
        EXPECT_EQ(got.target, c.target.empty() ? c.path : c.target) << named;
        EXPECT_EQ(got.body, c.body) << named;
        for (const auto& header : c.headers) {
            if (header.second == "-") {
                EXPECT_FALSE(got.hasHeader(header.first)) << named << ": " << header.first;
            } else {
                EXPECT_EQ(got.header(header.first), header.second) << named << ": " << header.first;
            }
        }
    }
}

// One row per command: the requests that reached the server, in order, each holding curl's bytes.
TEST_F(KycurlTest, RequestsAreLaidOutAsCurlLaysThemOut) {
    kytest::TempDir dir;
    WriteFile(dir.file("a"), "first");
    WriteFile(dir.file("b"), "second");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> targets;  // of the requests, in order
        std::vector<std::string> within;   // in the last request's bytes
        std::vector<std::string> absent;   // not in them
    } cases[] = {
        {{"-T", dir.file("a"), server.url("/up/")},
         {"/up/a"},
         {"\r\nAccept: */*\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\nfirst"},
         {"Content-Type"}},
        {{"-T", dir.file("a"), "-C", "2", server.url("/up/")},
         {"/up/a"},
         {"\r\nContent-Range: bytes 2-4/5\r\n", "\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\nrst"},
         {}},
        {{"-0", "-T", dir.file("a"), server.url("/up/")},
         {"/up/a"},
         {"PUT /up/a HTTP/1.0\r\n", "\r\nContent-Length: 5\r\n\r\nfirst"},
         {"Expect"}},
        {{"-X", "DELETE", server.url("/gone")},
         {"/gone"},
         {"DELETE /gone HTTP/1.1\r\n"},
         {"Content-Length", "Content-Type"}},
        {{"-X", "FETCH", server.url("/m")}, {"/m"}, {"FETCH /m HTTP/1.1\r\n"}, {"Content-Length"}},
        {{"-X", "MOOO", "-d", "x", server.url("/m")},
         {"/m"},
         {"MOOO /m HTTP/1.1\r\n", "\r\nContent-Length: 1\r\n", "\r\n\r\nx"},
         {}},
        {{"-X", "POST", server.url("/p")},
         {"/p"},
         {"POST /p HTTP/1.1\r\n"},
         {"Content-Length", "Content-Type"}},
        {{"-T", "{" + dir.file("a") + "," + dir.file("b") + "}", server.url("/{one,two}/")},
         {"/one/a", "/two/a", "/one/b", "/two/b"},
         {"second"},
         {}},
        {{server.url("/{x,y}/[1-2]")}, {"/x/1", "/x/2", "/y/1", "/y/2"}, {}, {}},
        {{server.url("/{x,y}[a-c:2]")}, {"/xa", "/xc", "/ya", "/yc"}, {}, {}},
        {{server.url("/\\{x\\}")}, {"/{x}"}, {}, {}},
        {{"-F", "v=<a", "-F", "h=x;headers=X-Part: 1", server.url("/form")},
         {"/form"},
         {"name=\"v\"\r\n\r\nfirst\r\n", "name=\"h\"\r\nX-Part: 1\r\n\r\nx\r\n"},
         {"filename"}},
        {{"-X", "PUT", "-F", "q=\"quoted;type=not/this\";type=a/b", server.url("/form")},
         {"/form"},
         {"PUT /form HTTP/1.1\r\n", "name=\"q\"\r\nContent-Type: a/b\r\n\r\nquoted;type=not/this\r\n"},
         {}},
        {{"-F", "name=daniel", "-H", "Content-Type: text/info", server.url("/form")},
         {"/form"},
         {"\r\nContent-Length: ", "\r\nContent-Type: text/info; boundary=",
          "Content-Disposition: attachment; name=\"name\"\r\n\r\ndaniel\r\n"},
         {"multipart/form-data", "Expect"}},
        {{"-F", "name=daniel;type=moo/foo", "-F", "html= <b>hi</b>;type=text/html;charset=verymoo",
          server.url("/form")},
         {"/form"},
         {"name=\"name\"\r\nContent-Type: moo/foo\r\n\r\ndaniel\r\n",
          "name=\"html\"\r\nContent-Type: text/html;charset=verymoo\r\n\r\n<b>hi</b>\r\n"},
         {}},
        {{"--form-string", "s=@a;type=x/y", server.url("/form")},
         {"/form"},
         {"name=\"s\"\r\n\r\n@a;type=x/y\r\n"},
         {"filename"}},
        {{"-F", "f=@a;filename=/dev/null;type=text/x-null;format=x-curl", server.url("/form")},
         {"/form"},
         {"name=\"f\"; filename=\"/dev/null\"\r\nContent-Type: text/x-null;format=x-curl\r\n\r\nfirst\r\n"},
         {}},
    };
    for (const Case& c : cases) {
        server.clearRequests();
        std::vector<std::string> args = c.args;
        RunResult r = RunKycurl(args, {dir.path(), "", {}});
        const std::string named = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exitStatus, 0) << named << ": " << r.err;
        std::vector<std::string> targets;
        for (const kytest::ReceivedRequest& got : server.requests()) targets.push_back(got.target);
        EXPECT_EQ(targets, c.targets) << named;
        if (targets.empty()) continue;
        const std::string bytes = server.lastRequest().raw;
        for (const std::string& text : c.within)
            EXPECT_NE(bytes.find(text), std::string::npos) << named << ": " << text << "\n" << bytes;
        for (const std::string& text : c.absent)
            EXPECT_EQ(bytes.find(text), std::string::npos) << named << ": " << text << "\n" << bytes;
    }
}

TEST_F(KycurlTest, CookieJarIsWrittenAndCookieFileRead) {
    kytest::TempDir dir;
    RunResult set = RunKycurl({"-c", dir.file("jar"), server.url("/cookie/set?flavour=oat")});
    ASSERT_EQ(set.exitStatus, 0) << set.err;
    EXPECT_NE(ReadFile(dir.file("jar")).find("flavour\toat"), std::string::npos) << ReadFile(dir.file("jar"));
    RunResult sent = RunKycurl({"-b", dir.file("jar"), server.url("/echo")});
    ASSERT_EQ(sent.exitStatus, 0) << sent.err;
    EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");

    // Two URLs, the second reply expiring the first one's cookie: the jar is written without it.
    RunResult expired = RunKycurl({server.url("/cookie/set?gone=soon"), "-b", "none", "-c", dir.file("jar2"),
                                   server.url("/header?Set-Cookie=gone%3Dsoon%3B%20Path%3D%2F%3B%20expires%"
                                              "3DThu,%2001%20Jan%201970%2000:00:00%20GMT")});
    ASSERT_EQ(expired.exitStatus, 0) << expired.err;
    EXPECT_EQ(server.lastRequest().header("Cookie"), "gone=soon");
    const std::string jar = ReadFile(dir.file("jar2"));
    EXPECT_NE(jar.find("# Netscape HTTP Cookie File"), std::string::npos) << jar;
    EXPECT_EQ(jar.find("gone"), std::string::npos) << jar;
}

}  // namespace
}  // namespace kytest
