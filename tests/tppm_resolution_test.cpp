// Resolving a routed request's URL: direct, cached tunnel, new tunnel, undecided and refused set-up,
// against the firewall client's real tunnels and the in-process server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/test_server.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

const char* const kCacheTag = "TppmUrlMapInfo";
const char* const kTag = "KYLibCurl::getTPPMUrl";

// A failure line with this level, tag and start whose firewall reason in "[...]" is not empty.
bool HasReasonLine(const kytest::LogCapture& log, const std::string& tag, const std::string& start) {
    for (const kytest::LogLine& line : log.lines()) {
        if (line.level == "-1" && line.tag == tag && StartsWith(line.message, start) &&
            line.message.size() > start.size() + 1 && line.message.back() == ']')
            return true;
    }
    return false;
}

class TppmResolution : public ::testing::Test {
  protected:
    bool Resolve(const std::string& client, const std::string& url, std::string& outUrl, bool dynamic) {
        return session.getTPPMUrl(client, url, outUrl, dynamic);
    }
    void Forget(const std::string& url) { QuietForget(session, url); }
    std::string Cached(const std::string& url) { return QuietCachedPrefix(session, url); }

    KYLibCurl session;
    kytest::LogCapture log{7};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(TppmResolution, ReachableClientGetsItsUrlUnchanged) {
    kyfw::setRoute("", kyfw::Route::Direct);
    const size_t tunnelsBefore = kyfw::liveTunnelCount();

    for (const std::string url : {"http://direct-host:81/a?b=1", "direct-host/no-scheme"}) {
        std::string outUrl = "what the caller had";
        EXPECT_TRUE(Resolve("direct-client", url, outUrl, false));
        EXPECT_EQ(outUrl, url);
    }

    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(kyfw::liveTunnelCount(), tunnelsBefore);
    EXPECT_EQ(Cached("http://direct-host:81/"), "");
}

TEST_F(TppmResolution, NewTunnelIsCachedAndReplacesHostAndPort) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    Forget("http://new-host:8123/");
    const size_t tunnelsBefore = kyfw::liveTunnelCount();
    std::string outUrl = "what the caller had";

    ASSERT_TRUE(Resolve("new-client", "http://new-host:8123/a/b?x=1#f", outUrl, false));

    const int port = TunnelPort(outUrl);
    ASSERT_NE(port, 0) << outUrl;
    const std::string prefix = "http://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(outUrl, prefix + "/a/b?x=1#f");
    EXPECT_EQ(kyfw::liveTunnelCount(), tunnelsBefore + 1);
    const std::vector<kytest::LogLine> expected = {
        {"-1", kCacheTag, "Key:[new-host:8123] added to cache"},
        {"4", kCacheTag, "value [" + prefix + "] added to cache"},
        {"7", kTag, "TPPM url:[" + outUrl + "]"},
    };
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(Cached("ftp://new-host:8123"), prefix);
}

// The cached prefix gives host and port only: an https request never goes out as plain http because an
// http URL set the tunnel up.
TEST_F(TppmResolution, CachedPrefixGivesHostAndPortAndTheRequestKeepsItsScheme) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    std::string prefix = "http://127.0.0.1:5999";
    session.TppmUrlMapInfo("http://cached-host/", prefix, KYLibCurl::TPPM_CACHE_ADD);
    log.clear();
    const size_t tunnelsBefore = kyfw::liveTunnelCount();
    std::string outUrl;

    ASSERT_TRUE(Resolve("cached-client", "https://cached-host:80/p?q=2", outUrl, false));

    EXPECT_EQ(outUrl, "https://127.0.0.1:5999/p?q=2");
    EXPECT_EQ(kyfw::liveTunnelCount(), tunnelsBefore);
    const std::vector<kytest::LogLine> expected = {
        {"4", kCacheTag, "Key: [cached-host:80] retrieved from cache with value [http://127.0.0.1:5999]"},
        {"7", kTag, "TPPM url:[https://127.0.0.1:5999/p?q=2]"},
    };
    EXPECT_EQ(log.lines(), expected);

    // A prefix a caller cached without a scheme, or with user information or a path of its own, still
    // gives only its host and port.
    for (const std::string own : {"127.0.0.1:5998", "ftp://u@127.0.0.1:5998/base"}) {
        prefix = own;
        session.TppmUrlMapInfo("http://cached-host/", prefix, KYLibCurl::TPPM_CACHE_ADD);
        ASSERT_TRUE(Resolve("cached-client", "http://cached-host/p", outUrl, false));
        EXPECT_EQ(outUrl, "http://127.0.0.1:5998/p") << own;
    }
    Forget("http://cached-host/");
}

TEST_F(TppmResolution, UndecidedClientFailsAndLeavesOutUrl) {
    kyfw::setRoute("", kyfw::Route::Undecided);
    std::string outUrl = "what the caller had";

    EXPECT_FALSE(Resolve("undecided-client", "http://undecided-host/x", outUrl, false));

    EXPECT_EQ(outUrl, "what the caller had");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(HasReasonLine(log, kTag, "Not sure client \"undecided-client\" firewalled or not, err:["));
    EXPECT_EQ(Cached("http://undecided-host/x"), "");
}

TEST_F(TppmResolution, RefusedTunnelFailsWithEmptyOutUrl) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute("refused-client", kyfw::Route::Refuse);
    std::string outUrl = "what the caller had";

    Forget("http://refused-host/");
    EXPECT_FALSE(Resolve("refused-client", "http://refused-host/x", outUrl, false));

    EXPECT_EQ(outUrl, "");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(HasReasonLine(log, kTag, "Couldn't setup TPPM port, err:["));
    EXPECT_EQ(Cached("http://refused-host/x"), "");
}

// A plain client name is asked about as the empty host; its own route does not decide.
TEST_F(TppmResolution, PlainNameAsksAboutTheEmptyHost) {
    kyfw::setRoute("", kyfw::Route::Direct);
    kyfw::setRoute("plain-client", kyfw::Route::Tunnel);
    std::string outUrl;
    ASSERT_TRUE(Resolve("plain-client", "http://plain-host-a/x", outUrl, false));
    EXPECT_EQ(outUrl, "http://plain-host-a/x");

    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute("plain-client", kyfw::Route::Direct);
    ASSERT_TRUE(Resolve("plain-client", "http://plain-host-b/x", outUrl, false));
    EXPECT_NE(TunnelPort(outUrl), 0) << outUrl;
}

// A mangled name ("account*host*i*j") is asked about by its host part and set up as it is.
TEST_F(TppmResolution, MangledNameAsksAboutItsHostAndIsPassedThrough) {
    const std::string client = "acct*star-host*1*2";
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute("star-host", kyfw::Route::Undecided);
    Forget("http://star-url-host/");
    std::string outUrl;

    EXPECT_FALSE(Resolve(client, "http://star-url-host/x", outUrl, false));
    EXPECT_TRUE(HasReasonLine(log, kTag, "Not sure client \"" + client + "\" firewalled or not, err:["));

    // The firewall client refuses tunnels for star-host: the name reached it with its host part intact.
    kyfw::setRoute("star-host", kyfw::Route::Refuse);
    log.clear();
    EXPECT_FALSE(Resolve(client, "http://star-url-host/x", outUrl, true));
    EXPECT_TRUE(HasReasonLine(log, kTag, "Couldn't setup TPPM port, err:["));

    kyfw::setRoute("star-host", kyfw::Route::Tunnel);
    EXPECT_TRUE(Resolve(client, "http://star-url-host/x", outUrl, false));
    EXPECT_NE(TunnelPort(outUrl), 0) << outUrl;
}

TEST_F(TppmResolution, DynamicRouteAsksNothingAndAlwaysTunnels) {
    kyfw::setRoute("", kyfw::Route::Undecided);
    std::string outUrl;
    EXPECT_TRUE(Resolve("dynamic-client", "http://dynamic-host-a/x", outUrl, true));
    EXPECT_NE(TunnelPort(outUrl), 0) << outUrl;

    kyfw::setRoute("", kyfw::Route::Direct);
    EXPECT_TRUE(Resolve("dynamic-client", "http://dynamic-host-b/x", outUrl, true));
    EXPECT_NE(TunnelPort(outUrl), 0) << outUrl;

    for (const std::string& message : log.messages()) EXPECT_FALSE(StartsWith(message, "Not sure client"));
}

TEST_F(TppmResolution, UrlWithoutPathResolvesToThePrefixAlone) {
    std::string outUrl;

    ASSERT_TRUE(Resolve("nopath-client", "http://nopath-host:81", outUrl, true));

    EXPECT_EQ(outUrl, "http://127.0.0.1:" + std::to_string(TunnelPort(outUrl)));
}

// Everything but host and port stays: a query or fragment right after the host, and the user information.
TEST_F(TppmResolution, TunnelUrlKeepsQueryFragmentAndUserInformation) {
    const struct {
        const char* url;
        const char* key;
        const char* before;  // what comes before the tunnel's host
        const char* after;   // what follows its port
        const char* logged;  // the user information as the TPPM url line shows it
    } cases[] = {
        {"http://query-host?q=1", "query-host:80", "http://", "?q=1", ""},
        {"http://query-host:81#f", "query-host:81", "http://", "#f", ""},
        {"https://user:pw@ui-host/x?y", "ui-host:443", "https://user:pw@", "/x?y", "user:***@"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Forget(c.url);
        log.clear();
        std::string outUrl;

        ASSERT_TRUE(Resolve("query-client", c.url, outUrl, true));

        const int port = TunnelPort(outUrl);
        ASSERT_NE(port, 0) << outUrl;
        const std::string authority = "127.0.0.1:" + std::to_string(port);
        EXPECT_EQ(outUrl, c.before + authority + c.after);
        EXPECT_TRUE(log.containsLine("-1", kCacheTag, std::string("Key:[") + c.key + "] added to cache"));
        const std::string scheme = std::string(c.before).substr(0, std::string(c.before).find("://") + 3);
        EXPECT_TRUE(
            log.containsLine("7", kTag, "TPPM url:[" + scheme + c.logged + authority + c.after + "]"));
        Forget(c.url);
    }
}

// An IPv6 literal is one host: the port after its brackets is the one the tunnel is set up for.
TEST_F(TppmResolution, PortHandedToTheFirewallIsTheUrlKeyPort) {
    kytest::TestServer server;
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute("v6-client", kyfw::Route::Tunnel, "127.0.0.1");
    const std::string url = "http://[::1]:" + std::to_string(server.port()) + "/echo";
    Forget(url);
    ASSERT_TRUE(session.KYLibCurlInit());

    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, "v6-client"));

    EXPECT_TRUE(log.containsLine("-1", kCacheTag,
                                 "Key:[[::1]:" + std::to_string(server.port()) + "] added to cache"));
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.lastRequest().target, "/echo");
    Forget(url);
}

TEST_F(TppmResolution, EmptyCachedPrefixIsAMiss) {
    std::string empty;
    session.TppmUrlMapInfo("http://empty-cached-host/", empty, KYLibCurl::TPPM_CACHE_ADD);
    std::string outUrl;

    ASSERT_TRUE(Resolve("empty-cached-client", "http://empty-cached-host/x", outUrl, true));

    const int port = TunnelPort(outUrl);
    ASSERT_NE(port, 0) << outUrl;
    EXPECT_EQ(Cached("http://empty-cached-host/"), "http://127.0.0.1:" + std::to_string(port));
}

TEST_F(TppmResolution, UrlWithoutSchemeSeparatorFailsOnTheTunnelPath) {
    kyfw::setRoute("", kyfw::Route::Tunnel);
    const size_t tunnelsBefore = kyfw::liveTunnelCount();
    std::string outUrl = "what the caller had";

    EXPECT_FALSE(Resolve("noscheme-client", "noscheme-host/x", outUrl, false));

    EXPECT_EQ(outUrl, "what the caller had");
    const std::vector<kytest::LogLine> expected = {
        {"-1", kTag, "Couldn't build TPPM url, no scheme in url:[noscheme-host/x]"}};
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(kyfw::liveTunnelCount(), tunnelsBefore);
}

TEST_F(TppmResolution, RequestThroughTheTunnelReachesTheServerWithPathAndQuery) {
    kytest::TestServer server;
    kyfw::setRoute("", kyfw::Route::Tunnel);
    kyfw::setRoute("relay-client", kyfw::Route::Tunnel, "127.0.0.1");
    const std::string url = "http://relay-host:" + std::to_string(server.port()) + "/echo?x=1&y=two";
    Forget(url);
    ASSERT_TRUE(session.KYLibCurlInit());
    const size_t relayedBefore = kyfw::relayedConnectionCount();

    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, "relay-client"));

    EXPECT_EQ(session.m_httpRespCode, 200);
    ASSERT_EQ(server.requestCount(), 1u);
    const kytest::ReceivedRequest request = server.lastRequest();
    EXPECT_EQ(request.target, "/echo?x=1&y=two");
    // The transfer only knows the rewritten URL.
    const int port = TunnelPort(Cached(url));
    ASSERT_NE(port, 0);
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(port));
    EXPECT_GT(kyfw::relayedConnectionCount(), relayedBefore);
}

}  // namespace
}  // namespace kytest
