// kycurl's routed requests (--client): through a tunnel of the firewall client stand-in, and the probe.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/kycurl_run.h"
#include "support/log_capture.h"

namespace kytest {
namespace {

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
    EXPECT_EQ(refused.exitStatus, 7);
    EXPECT_NE(refused.err.find("neither route answered"), std::string::npos) << refused.err;
}

TEST_F(KycurlTest, RoutedRequestNamesItsTunnel) {
    kytest::TempDir dir;
    WriteFile(dir.file("clients"), "- tunnel\n");
    std::string url = "http://routed-host:" + std::to_string(server.port()) + "/bytes/2";
    RunResult r = RunKycurl({"-v", "--client", "demo-client", "-w", "[%{tunnel_url}]", url},
                            {"", "", {"KYFW_CLIENTS=" + dir.file("clients")}});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    const std::string prefix = "ab[http://127.0.0.1:";
    ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.out;
    std::string tunnelUrl = r.out.substr(3, r.out.size() - 4);
    EXPECT_EQ(tunnelUrl.substr(tunnelUrl.size() - 8), "/bytes/2");
    EXPECT_NE(r.err.find("* Client 'demo-client' reached through tunnel URL " + tunnelUrl + "\n"),
              std::string::npos)
        << r.err;
    RunResult direct = RunKycurl({"-w", "[%{tunnel_url}]", server.url("/bytes/2")});
    EXPECT_EQ(direct.out, "ab[]");

    // An https URL stays the caller's on the handle; the tunnel shows all the same, and the server's
    // certificate names the destination, which is mapped to the tunnel and never resolved.
    const std::string name = std::string(64, 'k') + ".routed.example";
    kytest::TestServer tls(kytest::TestServer::Scheme::Https, name);
    const std::string httpsUrl = "https://" + name + ":" + std::to_string(tls.port()) + "/bytes/2";
    RunResult https = RunKycurl(
        {"-v", "--cacert", tls.caFile(), "--client", "demo-client", "-w", "[%{tunnel_url}]", httpsUrl},
        {"", "", {"KYFW_CLIENTS=" + dir.file("clients")}});
    ASSERT_EQ(https.exitStatus, 0) << https.err;
    ASSERT_EQ(https.out.rfind("ab[https://127.0.0.1:", 0), 0u) << https.out;
    tunnelUrl = https.out.substr(3, https.out.size() - 4);
    EXPECT_EQ(tunnelUrl.substr(tunnelUrl.size() - 8), "/bytes/2");
    EXPECT_NE(https.err.find("* Client 'demo-client' reached through tunnel URL " + tunnelUrl + "\n"),
              std::string::npos)
        << https.err;
    EXPECT_EQ(tls.lastRequest().serverName, name);

    // No tunnel may be set up for this client: nothing is sent, and the route is named as the failure.
    WriteFile(dir.file("clients"), "- tunnel\ndemo-client refuse\n");
    size_t before = server.requestCount();
    RunResult refused =
        RunKycurl({"--client", "demo-client", url}, {"", "", {"KYFW_CLIENTS=" + dir.file("clients")}});
    EXPECT_EQ(refused.exitStatus, 7);
    EXPECT_NE(refused.err.find("kycurl: (7) GET " + url + ": no route to the client"), std::string::npos)
        << refused.err;
    EXPECT_EQ(server.requestCount(), before);
}

}  // namespace
}  // namespace kytest
