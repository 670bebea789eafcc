// fork() while other threads hold the process-wide locks for a moment at a time: the tunnel cache, the
// logger, the one-time initialisation, routed requests. Every child's first log line and first routed
// request complete.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/test_server.h"

namespace kytest {
namespace {

constexpr int kChildren = 6;
constexpr int kBusyThreads = 2;
constexpr long kMaxBusyRounds = 10000000;  // far more than a row takes; the flag ends the threads
constexpr int kChildLimitSeconds = 20;     // a child that hangs is ended by its alarm and fails the row

enum ChildResult { kFine = 0, kNoInit = 2, kRequestFailed = 3, kWrongStatus = 4 };

const char kChildClient[] = "fork-child";
const char kBusyClient[] = "fork-busy";

class TppmFork : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kytest::kForkSafeAllocator)
            GTEST_SKIP() << "the sanitizer's allocator can be inherited locked across fork()";
        kyfw::setRoute(kChildClient, kyfw::Route::Tunnel, "127.0.0.1");
        kyfw::setRoute(kBusyClient, kyfw::Route::Tunnel, "127.0.0.1");
    }

    std::string Url(const char* client, const std::string& path) const {
        return "http://" + std::string(client) + ":" + std::to_string(server.port()) + path;
    }

    // What a child must manage: a log line, the initialisation and a request by the dynamic route, which
    // reads and fills the tunnel cache and sets up a tunnel of the child's own.
    int UseLoggerAndRoute(int child) const {
        EvDebug log(nullptr);
        log.DebugLvl("ForkChild", -1, "child %d logs", child);
        KYLibCurl session;
        if (!session.KYLibCurlInit()) return kNoInit;
        session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 10);
        const std::string url = Url(kChildClient, "/bytes/3?child=" + std::to_string(child));
        if (!session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, kChildClient, true))
            return kRequestFailed;
        return session.m_httpRespCode == 200 ? kFine : kWrongStatus;
    }

    // Forks the children while kBusyThreads threads run busy, each round by round until the children are
    // done.
    void ForkWhileBusy(const std::function<void(long)>& busy) {
        std::atomic<bool> done{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kBusyThreads; ++t) {
            threads.emplace_back([&] {
                for (long round = 0; round < kMaxBusyRounds && !done; ++round) busy(round);
            });
        }
        for (int child = 0; child < kChildren; ++child) {
            EXPECT_EQ(kytest::RunInChild([this, child] { return UseLoggerAndRoute(child); },
                                         {0, kChildLimitSeconds}),
                      kFine)
                << "child " << child;
        }
        done = true;
        for (std::thread& thread : threads) thread.join();
        for (int child = 0; child < kChildren; ++child) {
            EXPECT_TRUE(log.contains("child " + std::to_string(child) + " logs")) << "child " << child;
        }
    }

    kytest::TestServer server;
    kytest::LogCapture log{7};
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

TEST_F(TppmFork, ChildrenForkedWhileOthersHoldTheLocksCarryOn) {
    const std::string busyUrl = Url(kBusyClient, "/bytes/1");
    const struct {
        const char* name;
        std::function<void(long)> busy;
    } cases[] = {
        {"tunnel cache",
         [&](long round) {
             KYLibCurl session;
             std::string prefix = "http://127.0.0.1:" + std::to_string(1024 + round % 1000);
             session.TppmUrlMapInfo(busyUrl, prefix, KYLibCurl::TPPM_CACHE_ADD);
             session.TppmUrlMapInfo(busyUrl, prefix, KYLibCurl::TPPM_CACHE_GET);
             session.TppmUrlMapInfo(busyUrl, prefix, KYLibCurl::TPPM_CACHE_REMOVE);
         }},
        {"logger",
         [](long round) {
             EvDebug busyLog(nullptr);
             busyLog.DebugLvl("Busy", 2, "round %ld", round);
         }},
        {"initialisation",
         [](long) {
             if (KYLibCurlGlobal::Init()) KYLibCurlGlobal::DeInit();
         }},
        {"routed requests",
         [&](long) {
             KYLibCurl session;
             if (!session.KYLibCurlInit()) return;
             session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 10);
             session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, busyUrl.c_str(), nullptr, 0, true, kBusyClient,
                                           true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ForkWhileBusy(c.busy);
        log.clear();
    }
}

}  // namespace
}  // namespace kytest
