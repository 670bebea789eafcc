// Sessions of one process share kept connections, TLS sessions and the DNS cache: a session made for one
// call reuses the connection the session before it left, but only one made with the same TLS settings,
// cookies stay with their session, and turning sharing off brings back a connection per session.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/eventually.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/program_run.h"
#include "support/session_test_support.h"
#include "support/socket_kit.h"
#include "support/test_server.h"
#include "support/tls_identity.h"

namespace kytest {
namespace {

// Turns sharing on or off for the sessions of one test, and back on (the default) after it.
class SharingFor {
  public:
    explicit SharingFor(bool on) { KYLibCurlGlobal::ShareConnections(on); }
    ~SharingFor() { KYLibCurlGlobal::ShareConnections(true); }
};

// How a session checks the server's certificate.
enum class Trust {
    None,        // no verification at all
    CaFile,      // the server's CA file
    CaCopy,      // a copy of that file under another name
    ClientCert,  // the server's CA file, and a client certificate the server does not ask for
    SystemStore  // libcurl's default CA store, which does not hold the test CA
};

// The files of the Trust kinds beyond the server's own CA file.
struct TrustFiles {
    std::string caCopy;
    std::string clientCert;
    std::string clientKey;
};

bool InitWithTrust(KYLibCurl& session, Trust trust, const TestServer& server, const TrustFiles& files) {
    if (!session.KYLibCurlInit(nullptr, trust == Trust::None, false, nullptr)) return false;
    switch (trust) {
        case Trust::CaFile:
            return session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str());
        case Trust::CaCopy:
            return session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, files.caCopy.c_str());
        case Trust::ClientCert:
            return session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, server.caFile().c_str()) &&
                   session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_SSLCERT, files.clientCert) &&
                   session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_SSLKEY, files.clientKey);
        case Trust::None:
        case Trust::SystemStore:
            return true;
    }
    return false;
}

// One request from a session made for it and destroyed after it.
bool GetWithNewSession(const TestServer& server, Trust trust, const TrustFiles& files = {}) {
    KYLibCurl session;
    return InitWithTrust(session, trust, server, files) && Fetch(session, server.url("/"));
}

struct PerCallCase {
    const char* name;
    TestServer::Scheme scheme;
    bool sharing;
    size_t connections;  // connections the server accepts for kSessions sessions made one after another
};

constexpr int kSessions = 4;

class SessionsPerCall : public ::testing::TestWithParam<PerCallCase> {};

TEST_P(SessionsPerCall, ReuseTheConnectionOfTheSessionBeforeOnlyWhileSharing) {
    const PerCallCase& row = GetParam();
    SharingFor sharing(row.sharing);
    TestServer server(row.scheme);
    const Trust trust = row.scheme == TestServer::Scheme::Https ? Trust::CaFile : Trust::None;
    for (int i = 0; i < kSessions; ++i) ASSERT_TRUE(GetWithNewSession(server, trust)) << i;
    EXPECT_EQ(server.requestCount(), static_cast<size_t>(kSessions));
    EXPECT_EQ(server.connectionCount(), row.connections);
}

const PerCallCase kPerCallCases[] = {
    {"HttpShared", TestServer::Scheme::Http, true, 1},
    {"HttpsShared", TestServer::Scheme::Https, true, 1},
    {"HttpAlone", TestServer::Scheme::Http, false, kSessions},
    {"HttpsAlone", TestServer::Scheme::Https, false, kSessions},
};

INSTANTIATE_TEST_SUITE_P(SharedConnections, SessionsPerCall, ::testing::ValuesIn(kPerCallCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct TrustCase {
    const char* name;
    Trust first;
    Trust second;
    bool secondSucceeds;
    size_t connections;
};

class TlsSettings : public ::testing::TestWithParam<TrustCase> {};

// The first session leaves its connection in the share; the second may take it only with the same TLS
// settings. A verifying session handed the connection of one that does not verify would succeed where
// its own handshake fails.
TEST_P(TlsSettings, AConnectionGoesOnlyToASessionWithTheSameTlsSettings) {
    const TrustCase& row = GetParam();
    SharingFor sharing(true);
    TestServer server(TestServer::Scheme::Https);
    kytest::TempDir dir;
    const TrustFiles files{dir.file("copy-of-ca.pem"), dir.file("client.pem"), dir.file("client-key.pem")};
    std::ofstream(files.caCopy) << std::ifstream(server.caFile()).rdbuf();
    ASSERT_TRUE(kytest::WriteSelfSignedIdentity(files.clientCert, files.clientKey));
    kytest::LogCapture quiet(-2);

    ASSERT_TRUE(GetWithNewSession(server, row.first, files));
    EXPECT_EQ(GetWithNewSession(server, row.second, files), row.secondSucceeds);
    EXPECT_EQ(server.connectionCount(), row.connections);
}

const TrustCase kTrustCases[] = {
    {"SameCaFileReuses", Trust::CaFile, Trust::CaFile, true, 1},
    {"NotVerifyingThenSystemStoreFails", Trust::None, Trust::SystemStore, false, 2},
    {"NotVerifyingThenCaFileConnectsAgain", Trust::None, Trust::CaFile, true, 2},
    {"CaFileThenNotVerifyingConnectsAgain", Trust::CaFile, Trust::None, true, 2},
    {"OtherCaFileConnectsAgain", Trust::CaFile, Trust::CaCopy, true, 2},
    {"ClientCertificateConnectsAgain", Trust::CaFile, Trust::ClientCert, true, 2},
    {"SameClientCertificateReuses", Trust::ClientCert, Trust::ClientCert, true, 1},
};

INSTANTIATE_TEST_SUITE_P(SharedConnections, TlsSettings, ::testing::ValuesIn(kTrustCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What the sessions of one pair are given; a pointer it hands libcurl lives as long as the test.
struct PairSettings {
    const TestServer& server;
    std::string pinnedHost;  // a name that resolves only through the pin
    curl_slist* pins = nullptr;
    int localPort = 0;  // a port free on 127.0.0.1 when the test began
    int tlsCalls = 0;   // calls of the TLS callbacks
    ~PairSettings() { curl_slist_free_all(pins); }
};

using Setting = bool (*)(KYLibCurl&, PairSettings&);

bool Nothing(KYLibCurl&, PairSettings&) { return true; }

bool PinTheName(KYLibCurl& session, PairSettings& settings) {
    if (!settings.pins) {
        const std::string pin =
            settings.pinnedHost + ":" + std::to_string(settings.server.port()) + ":127.0.0.1";
        settings.pins = curl_slist_append(nullptr, pin.c_str());
    }
    return session.KYLibCurlSetAdditionalOptionsPointerValue(CURLOPT_RESOLVE, settings.pins);
}

bool BindTheAddress(KYLibCurl& session, PairSettings&) {
    return session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_INTERFACE, "127.0.0.1");
}

bool BindThePort(KYLibCurl& session, PairSettings& settings) {
    return session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOCALPORT, settings.localPort) &&
           session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOCALPORTRANGE, 100);
}

CURLcode CountTls(CURL*, void*, void* data) {
    ++static_cast<PairSettings*>(data)->tlsCalls;
    return CURLE_OK;
}

// A TLS callback as a certificate pin that matches no server does it.
CURLcode RefuseTls(CURL*, void*, void* data) {
    ++static_cast<PairSettings*>(data)->tlsCalls;
    return CURLE_ABORTED_BY_CALLBACK;
}

bool SetTlsCallback(KYLibCurl& session, PairSettings& settings, curl_ssl_ctx_callback callback) {
    return session.KYLibCurlSetAdditionalOptionsPointerValue(CURLOPT_SSL_CTX_FUNCTION,
                                                             reinterpret_cast<void*>(callback)) &&
           session.KYLibCurlSetAdditionalOptionsPointerValue(CURLOPT_SSL_CTX_DATA, &settings);
}

bool CountingTls(KYLibCurl& session, PairSettings& settings) {
    return SetTlsCallback(session, settings, CountTls);
}

bool RefusingTls(KYLibCurl& session, PairSettings& settings) {
    return SetTlsCallback(session, settings, RefuseTls);
}

struct UncomparedCase {
    const char* name;
    TestServer::Scheme scheme;
    Setting first;
    Setting second;
    bool pinnedUrl;    // both ask for the pinned name instead of 127.0.0.1
    bool firstCloses;  // the first session's connection ends with its request
    bool secondSucceeds;
    size_t connections;
    int tlsCalls;
};

class UncomparedSettings : public ::testing::TestWithParam<UncomparedCase> {};

bool GetWithSetting(PairSettings& settings, Setting setting, const std::string& url, bool closes) {
    KYLibCurl session;
    const bool https = settings.server.url().rfind("https", 0) == 0;
    return InitWithTrust(session, https ? Trust::CaFile : Trust::None, settings.server, {}) &&
           setting(session, settings) &&
           (!closes || session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "Connection: close")) &&
           Fetch(session, url);
}

int FreeLoopbackPort() {
    int port = 0;
    kytest::BindLoopback(port, 0);
    return port;
}

// libcurl hands a kept connection to any transfer with the same scheme, host, port and TLS verification
// settings; what else made the connection (an address pinned for the name, a bound local end, a TLS
// callback that a certificate pin runs in) it does not compare. A session given such a setting neither
// lends nor borrows: the second session of each pair gets only what it would have made alone.
TEST_P(UncomparedSettings, ASessionGetsFromThePoolOnlyWhatItWouldHaveMadeAlone) {
    const UncomparedCase& row = GetParam();
    SharingFor sharing(true);
    TestServer server(row.scheme);
    PairSettings settings{server, std::string(64, 'p') + ".test"};
    settings.localPort = FreeLoopbackPort();
    ASSERT_NE(settings.localPort, 0);
    const std::string url = row.pinnedUrl
                                ? "http://" + settings.pinnedHost + ":" + std::to_string(server.port()) + "/"
                                : server.url();
    kytest::LogCapture quiet(-2);

    ASSERT_TRUE(GetWithSetting(settings, row.first, url, row.firstCloses));
    EXPECT_EQ(GetWithSetting(settings, row.second, url, false), row.secondSucceeds);
    EXPECT_EQ(server.requestCount(), row.secondSucceeds ? 2u : 1u);
    // A connection given up before its handshake may be accepted after the request returned.
    EXPECT_TRUE(kytest::Eventually([&] { return server.connectionCount() == row.connections; }))
        << server.connectionCount();
    EXPECT_EQ(settings.tlsCalls, row.tlsCalls);
}

using Scheme = TestServer::Scheme;

// The pinned name is longer than a DNS label may be: unpinned, it fails to resolve without a query.
const UncomparedCase kUncomparedCases[] = {
    {"ResolvePinnedConnectionIsNotLent", Scheme::Http, PinTheName, Nothing, true, false, false, 1, 0},
    {"ResolvePinDoesNotOutliveItsConnection", Scheme::Http, PinTheName, Nothing, true, true, false, 1, 0},
    {"PinnedSessionsDoNotShareWithEachOther", Scheme::Http, PinTheName, PinTheName, true, false, true, 2, 0},
    {"BoundAddressIsNotLent", Scheme::Http, BindTheAddress, Nothing, false, false, true, 2, 0},
    {"BoundPortIsNotLent", Scheme::Http, BindThePort, Nothing, false, false, true, 2, 0},
    {"UnboundConnectionIsNotBorrowedByABoundSession", Scheme::Http, Nothing, BindThePort, false, false, true,
     2, 0},
    {"RefusingTlsCallbackRunsAndRefuses", Scheme::Https, Nothing, RefusingTls, false, false, false, 2, 1},
    {"TlsCallbackRunsForAConnectionOfItsOwn", Scheme::Https, Nothing, CountingTls, false, false, true, 2, 1},
    {"ConnectionOfATlsCallbackIsNotLent", Scheme::Https, CountingTls, Nothing, false, false, true, 2, 1},
};

INSTANTIATE_TEST_SUITE_P(SharedConnections, UncomparedSettings, ::testing::ValuesIn(kUncomparedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A session kept out of the pool still keeps its own connection from one request to the next.
TEST(SharedConnections, ASessionOutOfThePoolReusesItsOwnConnection) {
    SharingFor sharing(true);
    TestServer server;
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_INTERFACE, "127.0.0.1"));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(Fetch(session, server.url("/"))) << i;
    ASSERT_TRUE(GetWithNewSession(server, Trust::None));
    EXPECT_EQ(server.requestCount(), 4u);
    EXPECT_EQ(server.connectionCount(), 2u);
}

// A caller's own share (of cookies here) stays on its sessions' handles for every transfer: the pool's
// does not take its place, so the caller's sessions keep each other's cookies.
TEST(SharedConnections, ACallersOwnShareStaysInPlace) {
    SharingFor sharing(true);
    TestServer server;
    CURLSH* cookies = curl_share_init();
    ASSERT_NE(cookies, nullptr);
    ASSERT_EQ(curl_share_setopt(cookies, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE), CURLSHE_OK);
    {
        KYLibCurl owner, other;
        for (KYLibCurl* session : {&owner, &other}) {
            ASSERT_TRUE(session->KYLibCurlInit());
            ASSERT_TRUE(session->KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, ""));
            ASSERT_TRUE(session->KYLibCurlSetAdditionalOptionsPointerValue(CURLOPT_SHARE, cookies));
        }
        ASSERT_TRUE(Fetch(owner, server.url("/cookie/set?flavour=oat")));
        ASSERT_TRUE(Fetch(other, server.url("/echo")));
        EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");
        // Still held by both handles after their transfers.
        EXPECT_EQ(curl_share_cleanup(cookies), CURLSHE_IN_USE);
    }
    EXPECT_EQ(curl_share_cleanup(cookies), CURLSHE_OK);
}

// A write callback that turns sharing off while its session's transfer holds a share.
size_t TurnSharingOff(void*, size_t size, size_t count, void*) {
    KYLibCurlGlobal::ShareConnections(false);
    return size * count;
}

// Turning sharing off ends the kept connections: those of the shares in the pool at once, that of a share
// lent to a transfer when the transfer gives it back. A session made after turning it on again connects
// anew. A session that joined before still borrows a share for each request, which ends after it.
TEST(SharedConnections, TurningSharingOffEndsTheKeptConnections) {
    TestServer server;
    ASSERT_TRUE(GetWithNewSession(server, Trust::None));
    KYLibCurlGlobal::ShareConnections(false);
    KYLibCurlGlobal::ShareConnections(true);
    ASSERT_TRUE(GetWithNewSession(server, Trust::None));
    EXPECT_EQ(server.connectionCount(), 2u);

    {
        SharingFor onAgainAfterTheTransfer(true);
        KYLibCurl session;
        ASSERT_TRUE(session.KYLibCurlInit(nullptr, false, false, TurnSharingOff));
        ASSERT_TRUE(Fetch(session, server.url("/")));  // the second session's connection, ended after
        EXPECT_EQ(server.connectionCount(), 2u);
    }
    ASSERT_TRUE(GetWithNewSession(server, Trust::None));
    EXPECT_EQ(server.connectionCount(), 3u);

    {
        SharingFor onAgainAfterTheHolder(true);
        KYLibCurl holder;
        ASSERT_TRUE(holder.KYLibCurlInit());
        KYLibCurlGlobal::ShareConnections(false);
        ASSERT_TRUE(GetWithNewSession(server, Trust::None));  // alone: a connection of its own
        EXPECT_EQ(server.connectionCount(), 4u);
        ASSERT_TRUE(Fetch(holder, server.url("/")));  // a new share: the pool was emptied
        ASSERT_TRUE(Fetch(holder, server.url("/")));  // and another: the first ended after its request
        EXPECT_EQ(server.connectionCount(), 6u);
    }
    ASSERT_TRUE(GetWithNewSession(server, Trust::None));
    EXPECT_EQ(server.connectionCount(), 7u);
}

// Two sessions with the cookie engine on share one connection, and still not their cookies.
TEST(SharedConnections, CookiesStayWithTheirSession) {
    SharingFor sharing(true);
    TestServer server;
    KYLibCurl owner, other;
    ASSERT_TRUE(owner.KYLibCurlInit());
    ASSERT_TRUE(other.KYLibCurlInit());
    ASSERT_TRUE(owner.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, ""));
    ASSERT_TRUE(other.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, ""));

    ASSERT_TRUE(Fetch(owner, server.url("/cookie/set?flavour=oat")));
    ASSERT_TRUE(Fetch(owner, server.url("/echo")));
    EXPECT_EQ(server.lastRequest().header("Cookie"), "flavour=oat");
    ASSERT_TRUE(Fetch(other, server.url("/echo")));
    EXPECT_FALSE(server.lastRequest().hasHeader("Cookie"));
    EXPECT_EQ(server.connectionCount(), 1u);
}

// Eight threads make a session for every request while two keep theirs. However the threads meet, no more
// requests are in flight than threads, so that many connections serve them all, kept for the sessions
// that come next. Run under the sanitizers, this is also the test of the pool's locking.
TEST(SharedConnections, ThreadsMakingSessionsPerCallReuseAsManyConnectionsAsThreads) {
    SharingFor sharing(true);
    TestServer server(TestServer::Scheme::Https);
    constexpr int kPerCallThreads = 8;
    constexpr int kKeptThreads = 2;
    constexpr int kRequests = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kPerCallThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRequests; ++i)
                if (!GetWithNewSession(server, Trust::CaFile)) ++failures;
        });
    for (int t = 0; t < kKeptThreads; ++t)
        threads.emplace_back([&] {
            KYLibCurl kept;
            if (!InitWithTrust(kept, Trust::CaFile, server, {})) {
                failures += kRequests;
                return;
            }
            for (int i = 0; i < kRequests; ++i)
                if (!Fetch(kept, server.url("/"))) ++failures;
        });
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.requestCount(), static_cast<size_t>((kPerCallThreads + kKeptThreads) * kRequests));
    EXPECT_LE(server.connectionCount(), static_cast<size_t>(kPerCallThreads + kKeptThreads));
}

// Eight threads make a session for every request, straight to the server and through a tunnel in turn. A
// share serves one transfer at a time, so no more shares are lent than threads, and each keeps at most one
// connection of each kind for the sessions that come next. Turning sharing off closes them all, and with
// them the relayed connections.
TEST(SharedConnections, ThreadsMakingSessionsPerCallDirectAndRoutedReuseTwoConnectionsAThread) {
    SharingFor sharing(true);
    TestServer server;
    kytest::FreshFirewall firewall;
    kyfw::setRoute("shared-routed", kyfw::Route::Tunnel);
    const std::string client = "*shared-routed*0*0";
    constexpr int kThreads = 8;
    constexpr int kRequests = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; ++i) {
                const std::string url = server.url("/bytes/" + std::to_string(100 + t * kRequests + i));
                KYLibCurl session;
                const bool routed = (t + i) % 2 == 0;
                const bool sent = session.KYLibCurlInit() &&
                                  (routed ? session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr,
                                                                          0, true, client.c_str(), false)
                                          : session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr,
                                                                         0, true, nullptr));
                if (!sent || session.m_httpRespCode != 200) ++failures;
            }
        });
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.requestCount(), static_cast<size_t>(kThreads * kRequests));
    EXPECT_LE(server.connectionCount(), static_cast<size_t>(2 * kThreads));
    EXPECT_GE(kyfw::liveConnectionCount(), 1u);  // kept routed connections hold their relayed ones
    KYLibCurlGlobal::ShareConnections(false);
    EXPECT_TRUE(kytest::Eventually([] { return kyfw::liveConnectionCount() == 0; }));
}

// What a program started with exec holds of the process that started it: each descriptor but its
// standard streams, as "number target", leaving out those it opened itself to list them (under /proc).
std::set<std::string> DescriptorsAfterExec() {
    const kytest::RunResult run =
        kytest::RunProgram("/usr/bin/find", {"/proc/self/fd", "-mindepth", "1", "-printf", "%f %l\n"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    std::set<std::string> held;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        const int fd = std::atoi(line.substr(0, space).c_str());
        if (fd > 2 && line.compare(space + 1, 6, "/proc/") != 0) held.insert(line);
    }
    return held;
}

// libcurl opens its sockets without close-on-exec, and the pool keeps connections after their sessions are
// gone: a program the caller starts must hold none of them (a kept TLS connection, a connection into a
// tunnel), only what it held before the library made any.
TEST(SharedConnections, NoConnectionOfTheLibrarySurvivesExec) {
    SharingFor sharing(true);
    TestServer http;
    TestServer https(TestServer::Scheme::Https);
    kytest::FreshFirewall firewall;
    kyfw::setRoute("exec-routed", kyfw::Route::Tunnel);
    const std::set<std::string> before = DescriptorsAfterExec();

    ASSERT_TRUE(GetWithNewSession(http, Trust::None));
    ASSERT_TRUE(GetWithNewSession(https, Trust::CaFile));
    {
        KYLibCurl routed;
        ASSERT_TRUE(routed.KYLibCurlInit());
        ASSERT_TRUE(routed.KYLibCurlSendHttpReq2(HTTP_REQ_GET, http.url("/").c_str(), nullptr, 0, true,
                                                 "*exec-routed*0*0", false));
    }
    ASSERT_GE(kyfw::liveConnectionCount(), 1u);  // the pool keeps the routed connection

    EXPECT_EQ(DescriptorsAfterExec(), before);
}

// A forked child must not use the parent's kept TLS connection: both ends of it would then write into one
// TLS stream. The child's sessions, the one it inherited among them, take shares of the child's own, and
// the parent's connection still serves the parent afterwards.
TEST(SharedConnections, ForkedChildStartsWithAnEmptyShare) {
    if (!kytest::kForkSafeAllocator)
        GTEST_SKIP() << "the sanitizer's allocator can be inherited locked across fork()";
    SharingFor sharing(true);
    TestServer server(TestServer::Scheme::Https);
    KYLibCurl inherited;
    ASSERT_TRUE(InitWithTrust(inherited, Trust::CaFile, server, {}));
    ASSERT_TRUE(Fetch(inherited, server.url("/")));
    ASSERT_EQ(server.connectionCount(), 1u);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        const bool first = Fetch(inherited, server.url("/"));
        const bool second = GetWithNewSession(server, Trust::CaFile);
        const bool third = GetWithNewSession(server, Trust::CaFile);
        _exit(first && second && third ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The session the child inherited and its two new ones shared a connection of the child's own.
    EXPECT_EQ(server.connectionCount(), 2u);

    ASSERT_TRUE(Fetch(inherited, server.url("/")));
    ASSERT_TRUE(GetWithNewSession(server, Trust::CaFile));
    EXPECT_EQ(server.requestCount(), 6u);
    EXPECT_EQ(server.connectionCount(), 2u);
}

}  // namespace
}  // namespace kytest
