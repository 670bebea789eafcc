// The dynamic TPPM probe: which route answers, the flag it reports and the cache it leaves.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/test_server.h"

namespace kytest {
namespace {

const char* const kTag = "KYLibCurlDynamiceTppmCheck";

// The client's own route decides whether its tunnel may be set up (the dynamic attempt); the empty
// host's route decides the ordinary attempt of a plain client name (Direct reaches the server).
struct ProbeRow {
    const char* name;
    bool flagIn;
    kyfw::Route tunnelRoute;
    kyfw::Route ordinaryRoute;
    bool flagOut;
    bool result;
    size_t requestsAtServer;
};

const ProbeRow kRows[] = {
    {"OrdinaryOnlyAnswers", false, kyfw::Route::Tunnel, kyfw::Route::Direct, false, true, 1},
    {"OrdinaryOnlyFails", false, kyfw::Route::Tunnel, kyfw::Route::Undecided, false, false, 0},
    {"DynamicAnswers", true, kyfw::Route::Tunnel, kyfw::Route::Undecided, true, true, 1},
    {"DynamicFailsOrdinaryAnswers", true, kyfw::Route::Refuse, kyfw::Route::Direct, false, true, 1},
    {"NeitherAnswers", true, kyfw::Route::Refuse, kyfw::Route::Undecided, true, false, 0},
};

void PrintTo(const ProbeRow& row, std::ostream* out) { *out << row.name; }

class ProbeTable : public ::testing::TestWithParam<ProbeRow> {
  protected:
    kytest::FreshFirewall firewall;
};

TEST_P(ProbeTable, ReportsTheRouteThatAnswered) {
    const ProbeRow& row = GetParam();
    kytest::TestServer server;
    const std::string url = server.url("/echo");
    kyfw::setRoute("probe-client", row.tunnelRoute);
    kyfw::setRoute("", row.ordinaryRoute);
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    std::string stale = "http://127.0.0.1:1";
    session.TppmUrlMapInfo(url, stale, KYLibCurl::TPPM_CACHE_ADD);
    kytest::LogCapture log(7);
    bool flag = row.flagIn;

    EXPECT_EQ(session.KYLibCurlDynamiceTppmCheck(url, "probe-client", flag), row.result);

    EXPECT_EQ(flag, row.flagOut);
    EXPECT_TRUE(
        log.containsLine("4", kTag, row.flagOut ? "useDynamicTppm [true]" : "useDynamicTppm [false]"));
    ASSERT_EQ(server.requestCount(), row.requestsAtServer);
    if (row.requestsAtServer) {
        EXPECT_EQ(server.lastRequest().method, "POST");
        EXPECT_EQ(server.lastRequest().body, "");
    }
    // The stale entry went first; a tunnel the dynamic attempt used is not left behind.
    std::string cached = "none";
    session.TppmUrlMapInfo(url, cached, KYLibCurl::TPPM_CACHE_GET);
    EXPECT_EQ(cached, "none");
}

INSTANTIATE_TEST_SUITE_P(Rows, ProbeTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<ProbeRow>& info) { return info.param.name; });

class Probe : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    kytest::TestServer server;
    KYLibCurl session;
    kytest::FreshFirewall firewall;
};

// A probe neither releases nor replaces what the session holds: headers go along, replies accumulate.
TEST_F(Probe, KeepsTheSessionsHeadersAndAppendsItsReply) {
    kyfw::setRoute("", kyfw::Route::Direct);
    ASSERT_TRUE(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Probe: kept"));
    ASSERT_TRUE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/bytes/3"), nullptr, 0, false, nullptr));
    bool flag = false;

    ASSERT_TRUE(session.KYLibCurlDynamiceTppmCheck(server.url("/bytes/4"), "", flag));

    EXPECT_EQ(server.lastRequest().header("X-Probe"), "kept");
    EXPECT_EQ(kytest::Body(session), "abcabcd");
}

// The empty name is passed as a name, not as "no client": both attempts are routed.
TEST_F(Probe, EmptyClientNameIsStillRouted) {
    kyfw::setRoute("", kyfw::Route::Undecided);
    kytest::LogCapture log(7);
    bool flag = false;

    EXPECT_FALSE(session.KYLibCurlDynamiceTppmCheck(server.url("/echo"), "", flag));

    EXPECT_EQ(server.requestCount(), 0u);
    size_t undecidedLines = 0;
    for (const std::string& message : log.messages())
        undecidedLines += message.rfind("Not sure client \"\" firewalled or not, err:[", 0) == 0;
    EXPECT_EQ(undecidedLines, 1u);
}

}  // namespace
}  // namespace kytest
