#include "demo.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "demo_server.h"
#include "demo_trace_dir.h"
#include "kylibcurl.h"
#include "route/url.h"

namespace kydemo {

namespace {

// Long enough for a loaded machine, short enough that the demo always ends by itself.
constexpr int kTransferTimeoutMs = 10000;
constexpr const char* kClientName = "demo-client";
// Never resolved: routed requests reach 127.0.0.1 through the tunnel that stands in for this host.
constexpr const char* kRoutedHost = "demo-host";

struct Exchange {
    bool ok = false;
    long status = 0;
    std::list<std::string> headers;
    std::string body;
};

struct Request {
    _http_req_type_ type = HTTP_REQ_GET;
    std::string url;
    std::string body;
    const char* client = nullptr;
    bool dynamic = false;
};

// Every demo session ignores proxy settings of the environment: nothing may leave 127.0.0.1.
bool PrepareSession(KYLibCurl& session) {
    return session.KYLibCurlInit() &&
           session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_NOPROXY, "*") &&
           session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
}

Exchange Collect(KYLibCurl& session, bool ok) {
    Exchange exchange;
    exchange.ok = ok;
    exchange.status = session.m_httpRespCode;
    session.GetHttpResponseHeaders(nullptr, exchange.headers);
    size_t size = 0;
    const char* body = session.GetHttpResponse(size, false);
    if (body) exchange.body.assign(body, size);
    return exchange;
}

Exchange Send(const Request& request, bool trace = false) {
    KYLibCurl session;
    if (!PrepareSession(session)) return Exchange();
    if (trace) session.toggleTrace(true);
    bool ok = session.KYLibCurlSendHttpReq2(request.type, request.url.c_str(), request.body.c_str(),
                                            request.body.size(), true, request.client, request.dynamic);
    return Collect(session, ok);
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// The tunnel port at the end of a TPPM prefix "http://127.0.0.1:<port>"; 0 when there is none.
int PrefixPort(const std::string& prefix) {
    const kylibcurl::detail::Url url = kylibcurl::detail::ParseUrl(prefix);
    return kylibcurl::detail::ParsePort(url.portText()).number;
}

// A port on 127.0.0.1 that is bound but not listening: a connection to it is refused. Holding the socket
// keeps any other program from taking the port meanwhile.
class RefusingPort {
  public:
    RefusingPort() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() {
        if (m_fd >= 0) close(m_fd);
    }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int port() const { return m_port; }

  private:
    int m_fd;
    int m_port = 0;
};

class Demo {
  public:
    int Run() {
        if (!m_server.Start()) {
            fprintf(stderr, "kydemo: the demo server could not start on 127.0.0.1\n");
            return 1;
        }
        printf("kydemo: embedded server at %s\n", m_server.Url("").c_str());
        RunMethods();
        RunFailures();
        if (PrepareTunnelRoute()) {
            RunRoutedRequest();
            RunReconnect();
            RunProbe();
        }
        RunTrace();
        RunUrlEncode();
        kyfw::closeAllTunnels();
        return Summary();
    }

  private:
    void RunMethods() {
        const std::string hello = m_server.Url("/hello");
        const std::string echo = m_server.Url("/echo");
        Request requests[] = {
            {HTTP_REQ_GET, hello, "", nullptr, false},
            {HTTP_REQ_POST, echo, "name=demo&value=42", nullptr, false},
            {HTTP_REQ_PUT, echo, "value=43", nullptr, false},
            {HTTP_REQ_DELETE, echo, "", nullptr, false},
            {HTTP_REQ_HEAD, hello, "", nullptr, false},
            {HTTP_REQ_PATCH, echo, "value=44", nullptr, false},
        };
        for (const Request& request : requests) {
            Exchange exchange = Step(request, "");
            bool bodyFits = request.type == HTTP_REQ_HEAD ? exchange.body.empty() : !exchange.body.empty();
            Check(exchange.ok && exchange.status == 200 && bodyFits, "success with status 200");
        }
    }

    void RunFailures() {
        Exchange missing =
            Step({HTTP_REQ_GET, m_server.Url("/missing"), "", nullptr, false}, "a page that is not there");
        Check(!missing.ok && missing.status == 404, "failure with status 404");

        RefusingPort refusing;
        std::string url = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/";
        Exchange refused = Step({HTTP_REQ_GET, url, "", nullptr, false}, "a port that refuses connections");
        Check(!refused.ok && refused.status == HTTP_RESP_CONNECT_FAILED,
              "failure with status 601 (connection failed)");
    }

    // The firewall stand-in is told that every client needs a tunnel. Routed requests name a host that is
    // never resolved, so they must not go out unless the firewall really answers "tunnel".
    bool PrepareTunnelRoute() {
        kyfw::setRoute("", kyfw::Route::Tunnel);
        KyFwError error;
        bool tunnelled = KyFwClient::isFirewalled("", "", &error);
        Title("firewall route for every client set to: tunnel");
        Check(tunnelled, "the firewall answers that clients are reached through a tunnel");
        return tunnelled;
    }

    void RunRoutedRequest() {
        std::string url = m_server.Url("/hello", kRoutedHost);
        Exchange exchange = Step({HTTP_REQ_GET, url, "", kClientName, false}, "routed to client demo-client");
        std::string prefix = CachedPrefix(url);
        printf("   tunnel:  %s now stands in for %s\n", prefix.c_str(), kRoutedHost);
        Check(exchange.ok && exchange.status == 200 && PrefixPort(prefix) > 0,
              "success with status 200 through a tunnel on 127.0.0.1");
    }

    // A tunnel that went away leaves its prefix in the cache; a dynamic request is refused there, drops
    // the prefix, sets up a fresh tunnel and retries once.
    void RunReconnect() {
        std::string url = m_server.Url("/hello", kRoutedHost);
        int stalePort = PrefixPort(CachedPrefix(url));
        bool closed = kyfw::closeTunnel(stalePort);
        Title("tunnel on port " + std::to_string(stalePort) + " closed behind the cache's back");
        Check(closed, "the tunnel is gone, its prefix still cached");

        Exchange exchange =
            Step({HTTP_REQ_GET, url, "", kClientName, true}, "dynamic TPPM route, stale tunnel");
        int freshPort = PrefixPort(CachedPrefix(url));
        printf("   tunnel:  port %d replaced by port %d\n", stalePort, freshPort);
        Check(exchange.ok && exchange.status == 200 && freshPort > 0 && freshPort != stalePort,
              "success with status 200 after reconnecting through a fresh tunnel");
    }

    void RunProbe() {
        std::string url = m_server.Url("/echo", kRoutedHost);
        Title("probe " + url + " for client " + kClientName);
        KYLibCurl session;
        bool useDynamicTppm = true;
        bool answered =
            PrepareSession(session) && session.KYLibCurlDynamiceTppmCheck(url, kClientName, useDynamicTppm);
        printf("   answered: %s, by the %s route\n", answered ? "yes" : "no",
               useDynamicTppm ? "dynamic TPPM" : "ordinary");
        Check(answered && useDynamicTppm, "the dynamic TPPM route answers");
    }

    void RunTrace() {
        DemoTraceDir dir;
        Title("wire trace of GET " + m_server.Url("/hello") + " into " + dir.LogPath());
        Exchange exchange;
        if (dir.Enter()) {
            exchange = Send({HTTP_REQ_GET, m_server.Url("/hello"), "", nullptr, false}, true);
            dir.Leave();
        }
        std::string trace = dir.ReadLog();
        printf("   --- log.txt ---\n%s   --- end of log.txt ---\n", trace.c_str());
        Check(exchange.ok && trace.find("=> Send header") != std::string::npos &&
                  trace.find("<= Recv header") != std::string::npos,
              "success, and log.txt holds the headers sent and received");
    }

    void RunUrlEncode() {
        const char* text = "name=demo user&note=50% off~";
        std::vector<char> encoded;
        std::string result = UrlEncode(text, encoded);
        Title(std::string("form encoding of \"") + text + "\"");
        printf("   encoded: %s\n", result.c_str());
        Check(result == "name%3Ddemo+user%26note%3D50%25+off%7E", "spaces as '+', other marks as %XX");
    }

    std::string CachedPrefix(const std::string& url) {
        KYLibCurl session;
        std::string prefix;
        session.TppmUrlMapInfo(url, prefix, KYLibCurl::TPPM_CACHE_GET);
        return prefix;
    }

    Exchange Step(const Request& request, const std::string& note) {
        std::string title = std::string(KYLibCurl::GetHttpReqTypeString(request.type)) + " " + request.url;
        if (!note.empty()) title += "  (" + note + ")";
        Title(title);
        if (!request.body.empty()) printf("   sent:    %s\n", request.body.c_str());
        Exchange exchange = Send(request);
        Show(exchange);
        return exchange;
    }

    void Title(const std::string& title) { printf("\n== %d. %s\n", ++m_steps, title.c_str()); }

    static void Show(const Exchange& exchange) {
        printf("   result:  %s, status %ld\n", exchange.ok ? "success" : "failure", exchange.status);
        for (const std::string& line : exchange.headers) {
            std::string shown = WithoutLineEnd(line);
            if (!shown.empty()) printf("   header:  %s\n", shown.c_str());
        }
        printf("   body:    %s\n", exchange.body.empty() ? "(none)" : WithoutLineEnd(exchange.body).c_str());
    }

    void Check(bool asExpected, const std::string& expectation) {
        ++m_checks;
        if (!asExpected) ++m_misses;
        printf("   %s %s\n", asExpected ? "as expected:" : "NOT AS EXPECTED:", expectation.c_str());
    }

    int Summary() const {
        if (m_misses == 0) {
            printf("\nkydemo: all %d checks went as expected\n", m_checks);
            return 0;
        }
        printf("\nkydemo: %d of %d checks did not go as expected\n", m_misses, m_checks);
        return 1;
    }

    DemoServer m_server;
    int m_steps = 0;
    int m_checks = 0;
    int m_misses = 0;
};

}  // namespace

int RunDemo() { return Demo().Run(); }

}  // namespace kydemo
