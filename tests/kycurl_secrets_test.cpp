// The credential header lines kycurl shows and traces: masked by the library's own rule, the block's
// length kept, while the request itself carries them whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/credential_hiding.h"
#include "support/kycurl_run.h"
#include "support/log_capture.h"
#include "support/read_file.h"

namespace kytest {
namespace {

struct MaskRow {
    const char* block;
    const char* masked;
};

const MaskRow kMaskRows[] = {
    {"Authorization: Basic dXNlcjpwdw==\r\n", "Authorization: Basic ************\r\n"},
    {"proxy-authorization:Bearer abc\n", "proxy-authorization:Bearer ***\n"},
    {"Authorization: token\r\n", "Authorization: *****\r\n"},
    {"Cookie: sid=abc; theme=dark\r\n", "Cookie: *******************\r\n"},
    {"COOKIE : a=1\n", "COOKIE : ***\n"},
    {"GET / HTTP/1.1\r\nHost: h\r\nCookie: a=1\r\nAccept: */*\r\n\r\n",
     "GET / HTTP/1.1\r\nHost: h\r\nCookie: ***\r\nAccept: */*\r\n\r\n"},
    // Only the three names: other lines, and a name that merely starts like one, stay as they are.
    {"X-Cookie: a=1\r\nAuthorizations: x y\r\nCookie:\r\n",
     "X-Cookie: a=1\r\nAuthorizations: x y\r\nCookie:\r\n"},
    {"Cookie: a=1", "Cookie: ***"},
};

TEST(CredentialHeaderMask, MasksTheCredentialOfEachNamedLineKeepingTheLength) {
    for (const MaskRow& row : kMaskRows) {
        std::string block = row.block;

        kylibcurl::detail::MaskCredentialHeaderLines(block);

        EXPECT_EQ(block, row.masked) << row.block;
    }
}

// A cookie given with -b or as a header line is no more shown than an authorization: -v and the trace
// show its value masked, and the server receives it whole.
TEST_F(KycurlTest, CookieValuesAreMaskedInWhatKycurlShowsAndTraces) {
    struct Row {
        std::vector<std::string> args;
        const char* header;
        const char* sent;
        const char* shown;
    };
    const Row rows[] = {
        {{"-b", "sid=s3cret"}, "Cookie", "sid=s3cret", "Cookie: **********"},
        {{"-H", "Cookie: sid=s3cret; theme=dark"},
         "Cookie",
         "sid=s3cret; theme=dark",
         "Cookie: **********************"},
        {{"-H", "Authorization: Bearer s3cret"},
         "Authorization",
         "Bearer s3cret",
         "Authorization: Bearer ******"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-v", "--trace-ascii", dir.file("trace"), server.url("/bytes/1")});

        const RunResult r = RunKycurl(args);

        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(server.lastRequest().header(row.header), row.sent);
        const std::string trace = ReadFile(dir.file("trace"));
        EXPECT_NE(trace.find(row.shown), std::string::npos) << trace;
        EXPECT_EQ(trace.find("s3cret"), std::string::npos) << trace;
        EXPECT_EQ(r.err.find("s3cret"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace kytest
