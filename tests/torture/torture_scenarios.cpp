#include "torture/torture_scenarios.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <thread>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"

namespace kytest {

namespace {

const char* volatile g_step = "start";
const char* g_firstDifference = nullptr;

void Step(const char* name) { g_step = name; }

const char kForm[] = "name=torture&password=secret";
const char kPlainForm[] = "a=1&b=2";
const char kEncodeInput[] = "a b~c\xC3\xA9*";
const char kEncoded[] = "a+b%7Ec%C3%A9*";
const char kReplyLine[] = "X-Torture-Reply";

int Differs(bool expected, bool actual) {
    if (expected == actual) return 0;
    if (!g_firstDifference) g_firstDifference = g_step;
    return 1;
}

void PrepareNothing(const Setting&) {}

int RunDirect(const Setting& setting) {
    int wrong = 0;
    Step("KYLibCurl");
    KYLibCurl session;
    Step("KYLibCurlInit");
    wrong += Differs(true, session.KYLibCurlInit(nullptr, false, false, nullptr));
    Step("KYLibCurlAppendHeader(HTTP_HDR_HEADER)");
    wrong += Differs(true, session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, "X-Torture: kept"));
    Step("KYLibCurlAppendHeader(HTTP_HDR_USERPWD)");
    wrong += Differs(true, session.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, "torture:secret"));
    Step("POST with credentials");
    wrong += Differs(true, session.KYLibCurlSendHttpReq(HTTP_REQ_POST, setting.echoUrl, kForm,
                                                        sizeof kForm - 1, false, nullptr));
    Step("GET, reply kept");
    wrong += Differs(true, session.KYLibCurlSendHttpReq(HTTP_REQ_GET, setting.headerUrl.c_str(), nullptr, 0,
                                                        false, nullptr));
    Step("GetHttpResponseHeader");
    const char* line = session.GetHttpResponseHeader(kReplyLine);
    wrong += Differs(true, line && std::strncmp(line, "X-Torture-Reply: one", 20) == 0);
    Step("GetHttpResponseHeaders");
    std::list<std::string> lines;
    wrong += Differs(true, session.GetHttpResponseHeaders(kReplyLine, lines));
    wrong += Differs(true, lines.size() == 2);
    Step("KYLibCurlUrlEscape");
    std::string escaped;
    session.KYLibCurlUrlEscape(setting.clientName, escaped);
    wrong += Differs(true, escaped == setting.clientName);
    Step("GetHttpResponse(detach)");
    size_t length = 0;
    char* body = session.GetHttpResponse(length, true);
    wrong += Differs(true, body != nullptr && length > 0);
    std::free(body);
    if (setting.tls) {
        Step("KYLibCurlAppendHeader(HTTP_HDR_CAINFO)");
        wrong += Differs(true, session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, setting.caFile.c_str()));
        Step("HTTPS GET, reply kept");
        wrong += Differs(
            true, session.KYLibCurlSendHttpReq(HTTP_REQ_GET, setting.secureUrl, nullptr, 0, false, nullptr));
    }
    Step("PUT, lists released");
    wrong += Differs(true, session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, setting.echoUrl, kPlainForm,
                                                        sizeof kPlainForm - 1, true, nullptr));
    Step("KYLibCurlDeInit");
    session.KYLibCurlDeInit();
    Step("~KYLibCurl");
    return wrong;
}

void PrepareRouted(const Setting& setting) {
    kyfw::setRoute(setting.clientName, kyfw::Route::Tunnel);
    kyfw::setRoute("", kyfw::Route::Tunnel);
    KYLibCurl cache;
    std::string stale = setting.stalePrefix;
    cache.TppmUrlMapInfo(setting.dynamicUrl, stale, KYLibCurl::TPPM_CACHE_ADD);
}

int RunRouted(const Setting& setting) {
    int wrong = 0;
    const char* client = setting.clientName.c_str();
    Step("KYLibCurl");
    KYLibCurl session;
    Step("KYLibCurlInit");
    wrong += Differs(true, session.KYLibCurlInit(nullptr, false, false, nullptr));
    Step("routed POST, ordinary route");
    wrong += Differs(true, session.KYLibCurlSendHttpReq(HTTP_REQ_POST, setting.routedUrl, kPlainForm,
                                                        sizeof kPlainForm - 1, true, client));
    Step("routed GET, dynamic route, stale tunnel");
    wrong += Differs(true, session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, setting.dynamicUrl.c_str(), nullptr, 0,
                                                         true, client, true));
    Step("routed GET, cached tunnel");
    wrong += Differs(true, session.KYLibCurlSendHttpReqLog(HTTP_REQ_GET, setting.routedUrl, nullptr, 0, false,
                                                           true, client));
    if (setting.tls) {
        Step("KYLibCurlAppendHeader(HTTP_HDR_CAINFO)");
        wrong += Differs(true, session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, setting.caFile.c_str()));
        Step("routed HTTPS GET, ordinary route");
        wrong += Differs(true, session.KYLibCurlSendHttpReq(HTTP_REQ_GET, setting.secureRoutedUrl, nullptr, 0,
                                                            true, client));
    }
    Step("KYLibCurlDynamiceTppmCheck");
    bool dynamic = true;
    wrong +=
        Differs(true, session.KYLibCurlDynamiceTppmCheck(setting.routedUrl, setting.clientName, dynamic));
    wrong += Differs(true, dynamic);
    Step("~KYLibCurl");
    return wrong;
}

void PrepareFailing(const Setting&) { unlink("log.txt"); }

int RunFailing(const Setting& setting) {
    int wrong = 0;
    Step("KYLibCurl");
    KYLibCurl session;
    Step("KYLibCurlInit");
    wrong += Differs(true, session.KYLibCurlInit(nullptr, false, false, nullptr));
    Step("toggleTrace(true)");
    session.toggleTrace(true);
    Step("failing POST, long failure line");
    wrong +=
        Differs(false, session.KYLibCurlSendHttpReqLog(HTTP_REQ_POST, setting.failingUrl.c_str(), kPlainForm,
                                                       sizeof kPlainForm - 1, true, true, nullptr));
    wrong += Differs(true, session.m_httpRespCode == 500);
    Step("failing POST with credentials, short failure line");
    wrong += Differs(false, session.KYLibCurlSendHttpReq(HTTP_REQ_POST, setting.missingUrl, kForm,
                                                         sizeof kForm - 1, true, nullptr));
    wrong += Differs(true, session.m_httpRespCode == 404);
    Step("refused GET");
    wrong += Differs(false, session.KYLibCurlSendHttpReq(HTTP_REQ_GET, setting.refusedUrl.c_str(), nullptr, 0,
                                                         true, nullptr));
    wrong += Differs(true, session.m_httpRespCode == 601);
    Step("toggleTrace(false)");
    session.toggleTrace(false);
    Step("UrlEncode");
    std::vector<char> encoded;
    const char* text = UrlEncode(kEncodeInput, encoded);
    wrong += Differs(true, text != nullptr && std::strcmp(text, kEncoded) == 0);
    Step("~KYLibCurl");
    return wrong;
}

}  // namespace

const Scenario kScenarios[] = {
    {"direct", PrepareNothing, RunDirect},
    {"routed", PrepareRouted, RunRouted},
    {"failing", PrepareFailing, RunFailing},
};
const int kScenarioCount = sizeof kScenarios / sizeof kScenarios[0];

const char* CurrentStep() { return g_step; }

const char* FirstDifference() { return g_firstDifference ? g_firstDifference : "none"; }

void ForgetDifferences() { g_firstDifference = nullptr; }

void Settle(const Setting& setting) {
    Step("settling");
    kyfw::closeAllTunnels();
    kyfw::resetRoutes();
    for (int i = 0; i < 200 && kyfw::liveConnectionCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    KYLibCurl cache;
    std::string unused;
    cache.TppmUrlMapInfo(setting.routedUrl, unused, KYLibCurl::TPPM_CACHE_REMOVE);
    cache.TppmUrlMapInfo(setting.dynamicUrl, unused, KYLibCurl::TPPM_CACHE_REMOVE);
    cache.TppmUrlMapInfo(setting.secureRoutedUrl, unused, KYLibCurl::TPPM_CACHE_REMOVE);
    KYLibCurlGlobal::ShareConnections(false);
    KYLibCurlGlobal::ShareConnections(true);
    unlink("log.txt");
}

}  // namespace kytest
