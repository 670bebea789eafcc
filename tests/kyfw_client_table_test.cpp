#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KyFwClient.h"
#include "KyFwControl.h"
#include "support/fresh_firewall.h"

namespace kytest {
namespace {

using kyfw::Route;

struct Expected {
    const char* host;
    Route route;
    const char* target;
};

struct TableCase {
    const char* name;
    const char* text;
    std::vector<Expected> entries;
    std::vector<const char*> absent;
    std::vector<std::string> problems;  // stderr lines after "kyfw: <path>:"
};

class KyFwClientTable : public testing::Test {
  protected:
    void TearDown() override { unsetenv("KYFW_CLIENTS"); }

    std::string writeTable(const std::string& name, const std::string& text) {
        std::string path = testing::TempDir() + "kyfw_" + name + "_" + std::to_string(getpid()) + ".txt";
        std::ofstream(path, std::ios::binary) << text;
        m_files.push_back(path);
        return path;
    }

    // Points KYFW_CLIENTS at path and has the table read through a lookup, returning what went to stderr.
    static std::string loadTable(const char* path) {
        if (path) {
            setenv("KYFW_CLIENTS", path, 1);
        } else {
            unsetenv("KYFW_CLIENTS");
        }
        kyfw::resetRoutes();
        testing::internal::CaptureStderr();
        Route route;
        std::string target;
        kyfw::lookupRoute("first-use", route, target);
        kyfw::lookupRoute("second-use", route, target);
        KyFwError err;
        KyFwClient::isFirewalled("third-use", "", &err);
        return testing::internal::GetCapturedStderr();
    }

    ~KyFwClientTable() override {
        for (const auto& file : m_files) unlink(file.c_str());
    }

  private:
    std::vector<std::string> m_files;
    kytest::FreshFirewall m_firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(KyFwClientTable, ParsesEntriesAndReportsMalformedLinesOnce) {
    const TableCase cases[] = {
        {"comments",
         "# comment line\n"
         "\n"
         "alpha direct   # trailing comment\n"
         "beta tunnel\n"
         "gamma undecided 127.0.0.5\n"
         "delta refuse\n"
         "- tunnel\n"
         "   Epsilon \t TUNNEL   10.1.2.3  \n"
         "v6 tunnel ::1\n"
         "#zeta tunnel\n"
         "eta refuse#no space before the comment",
         {{"alpha", Route::Direct, "127.0.0.1"},
          {"beta", Route::Tunnel, "127.0.0.1"},
          {"gamma", Route::Undecided, "127.0.0.5"},
          {"delta", Route::Refuse, "127.0.0.1"},
          {"", Route::Tunnel, "127.0.0.1"},
          {"epsilon", Route::Tunnel, "10.1.2.3"},
          {"EPSILON", Route::Tunnel, "10.1.2.3"},
          {"v6", Route::Tunnel, "::1"},
          {"eta", Route::Refuse, "127.0.0.1"}},
         {"zeta", "-", "#zeta"},
         {}},
        {"malformed",
         "good tunnel\n"
         "lonely\n"
         "bad sideways\n"
         "odd tunnel host.example\n"
         "extra tunnel 127.0.0.1 more\n"
         "# fine\n"
         "ok direct 127.0.0.9\n"
         "short 127.0.0.1\n",
         {{"good", Route::Tunnel, "127.0.0.1"}, {"ok", Route::Direct, "127.0.0.9"}},
         {"lonely", "bad", "odd", "extra", "short"},
         {"2: no route after host \"lonely\", line skipped", "3: unknown route \"sideways\", line skipped",
          "4: bad target address \"host.example\", line skipped",
          "5: unexpected \"more\" after the target address, line skipped",
          "8: unknown route \"127.0.0.1\", line skipped"}},
        {"later_wins", "dup tunnel\nDUP refuse 127.0.0.2\n", {{"dup", Route::Refuse, "127.0.0.2"}}, {}, {}},
        {"crlf",
         "one tunnel\r\ntwo undecided 127.0.0.3\r\n\r\n",
         {{"one", Route::Tunnel, "127.0.0.1"}, {"two", Route::Undecided, "127.0.0.3"}},
         {},
         {}},
        {"empty", "", {}, {"anything", ""}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = writeTable(c.name, c.text);
        std::string expectedStderr;
        for (const auto& problem : c.problems) expectedStderr += "kyfw: " + path + ":" + problem + "\n";
        EXPECT_EQ(loadTable(path.c_str()), expectedStderr);
        for (const auto& e : c.entries) {
            Route route = Route::Direct;
            std::string target;
            EXPECT_TRUE(kyfw::lookupRoute(e.host, route, target)) << e.host;
            EXPECT_EQ(route, e.route) << e.host;
            EXPECT_EQ(target, e.target) << e.host;
        }
        for (const char* host : c.absent) {
            Route route = Route::Tunnel;
            std::string target;
            EXPECT_FALSE(kyfw::lookupRoute(host, route, target)) << host;
            EXPECT_EQ(route, Route::Direct) << host;
            EXPECT_EQ(target, "127.0.0.1") << host;
        }
    }
}

// Whatever stands at the path, the table is read without waiting and within bounds, or refused with one
// line; the routes then answer as without a table.
TEST_F(KyFwClientTable, UnreadableFileIsReportedOnceAndGivesAnEmptyTable) {
    const std::string base = testing::TempDir() + "kyfw_unreadable_" + std::to_string(getpid());
    const std::string missing = base + "_missing";
    // Root reads any file, so a directory stands in for a file that cannot be read.
    const std::string directory = base + "_dir";
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    const std::string fifo = base + "_fifo";  // no writer: a blocking open would wait for ever
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string huge = std::string("far tunnel 127.0.0.9\n") + std::string((1 << 20) + 1, '#');
    const std::string large = writeTable("large", huge);
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {missing, "No such file or directory"}, {directory, "Is a directory"}, {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},  // endless: reading it would exhaust memory
        {large, "larger than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(loadTable(c.path.c_str()),
                  "kyfw: cannot read client table " + c.path + ": " + c.reason + "\n");
        Route route = Route::Tunnel;
        std::string target;
        EXPECT_FALSE(kyfw::lookupRoute("", route, target)) << c.path;
        EXPECT_EQ(route, Route::Direct) << c.path;
        EXPECT_FALSE(kyfw::lookupRoute("far", route, target)) << c.path;
    }
    rmdir(directory.c_str());
    unlink(fifo.c_str());
}

TEST_F(KyFwClientTable, UnsetOrEmptyVariableMeansAnEmptyTableWithoutMessage) {
    EXPECT_EQ(loadTable(nullptr), "");
    EXPECT_EQ(loadTable(""), "");
    KyFwError err;
    EXPECT_FALSE(KyFwClient::isFirewalled("anyone", "", &err));
    EXPECT_FALSE(err.isSet());
}

TEST_F(KyFwClientTable, RoutesSetInCodeOverrideTheFileUntilReset) {
    std::string path = writeTable("override", "host tunnel 127.0.0.7\n");
    ASSERT_EQ(loadTable(path.c_str()), "");
    kyfw::setRoute("HOST", Route::Refuse);
    kyfw::setRoute("other", Route::Undecided, "127.0.0.8");

    Route route;
    std::string target;
    ASSERT_TRUE(kyfw::lookupRoute("host", route, target));
    EXPECT_EQ(route, Route::Refuse);
    EXPECT_EQ(target, "127.0.0.1");
    ASSERT_TRUE(kyfw::lookupRoute("other", route, target));
    EXPECT_EQ(route, Route::Undecided);
    EXPECT_EQ(target, "127.0.0.8");

    kyfw::resetRoutes();
    ASSERT_TRUE(kyfw::lookupRoute("host", route, target));
    EXPECT_EQ(route, Route::Tunnel);
    EXPECT_EQ(target, "127.0.0.7");
    EXPECT_FALSE(kyfw::lookupRoute("other", route, target));
}

struct RouteCase {
    Route route;
    bool firewalled;
    const char* queryMessage;
    int32_t queryCode;
    bool tunnelOpens;
    const char* setupMessage;
    int32_t setupCode;
};

TEST_F(KyFwClientTable, EachRouteAnswersBothCalls) {
    const RouteCase cases[] = {
        {Route::Direct, false, "", KYFW_ERR_NONE, true, "", KYFW_ERR_NONE},
        {Route::Tunnel, true, "", KYFW_ERR_NONE, true, "", KYFW_ERR_NONE},
        {Route::Undecided, false, "firewall state of host \"peer\" is undecided", KYFW_ERR_UNDECIDED, true,
         "", KYFW_ERR_NONE},
        {Route::Refuse, true, "", KYFW_ERR_NONE, false, "tunnel to host \"peer\" refused", KYFW_ERR_REFUSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.route));
        kyfw::setRoute("peer", c.route);
        KyFwError err;
        err.m_code = 77;
        err.m_message = "stale";
        EXPECT_EQ(KyFwClient::isFirewalled("peer", "", &err), c.firewalled);
        EXPECT_EQ(err.m_message, c.queryMessage);
        EXPECT_EQ(err.m_code, c.queryCode);
        EXPECT_EQ(KyFwClient::isFirewalled("peer", "", nullptr), c.firewalled);

        err.m_message = "stale";
        int port = KyFwClient::setupTPPM("*peer*0*0", 9, nullptr, &err);
        EXPECT_EQ(port != 0, c.tunnelOpens);
        EXPECT_EQ(err.m_message, c.setupMessage);
        EXPECT_EQ(err.m_code, c.setupCode);
        if (port != 0) {
            EXPECT_TRUE(kyfw::closeTunnel(port));
        }
    }
}

TEST_F(KyFwClientTable, EmptyHostNameUsesTheDashEntry) {
    std::string path = writeTable("dash", "- undecided\n");
    ASSERT_EQ(loadTable(path.c_str()), "");
    KyFwError err;
    EXPECT_FALSE(KyFwClient::isFirewalled("", "", &err));
    EXPECT_EQ(err.m_message, "firewall state of host \"\" is undecided");
    EXPECT_FALSE(KyFwClient::isFirewalled(nullptr, nullptr, &err));
    EXPECT_TRUE(err.isSet());
}

TEST_F(KyFwClientTable, TunnelSetUpFindsTheHostInEveryNameForm) {
    kyfw::setRoute("blocked", Route::Refuse);
    for (const char* name : {"blocked", "*blocked*0*0", "acct*BLOCKED*3*-4"}) {
        KyFwError err;
        EXPECT_EQ(KyFwClient::setupTPPM(name, 80, nullptr, &err), 0) << name;
        EXPECT_EQ(err.m_code, KYFW_ERR_REFUSED) << name;
    }
    // Not four parts: the whole name is the host, which has no entry, so the tunnel opens.
    KyFwError err;
    int port = KyFwClient::setupTPPM("x*blocked*0", 80, nullptr, &err);
    EXPECT_NE(port, 0);
    EXPECT_FALSE(err.isSet());
    EXPECT_TRUE(kyfw::closeTunnel(port));
}

TEST_F(KyFwClientTable, TunnelSetUpRefusesBadPortsAndTargets) {
    for (int port : {0, -1, -80, 65536}) {
        KyFwError err;
        EXPECT_EQ(KyFwClient::setupTPPM("*anyone*0*0", port, nullptr, &err), 0) << port;
        EXPECT_EQ(err.m_message, "invalid port " + std::to_string(port));
        EXPECT_EQ(err.m_code, KYFW_ERR_BAD_PORT);
    }
    kyfw::setRoute("misconfigured", Route::Tunnel, "not-an-address");
    KyFwError err;
    EXPECT_EQ(KyFwClient::setupTPPM("misconfigured", 80, nullptr, &err), 0);
    EXPECT_EQ(err.m_message, "cannot open tunnel: bad target address \"not-an-address\"");
    EXPECT_EQ(err.m_code, KYFW_ERR_RELAY);
    EXPECT_EQ(kyfw::liveTunnelCount(), 0u);
}

}  // namespace
}  // namespace kytest
