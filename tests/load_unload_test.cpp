// Loading and unloading a fresh copy of the library: the file-level objects are built at load, the tunnel
// cache on first use, and at unload the cache goes first, then the logger and the locks it needs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/read_file.h"
#include "support/test_server.h"

namespace kytest {
namespace {

// Itanium C++ ABI forms of the members the test calls through dlsym: a class argument taken by value is
// passed by address, an enumeration as its underlying integer.
using CtorFn = void (*)(KYLibCurl*);
using DtorFn = void (*)(KYLibCurl*);
using CacheFn = bool (*)(KYLibCurl*, std::string*, std::string&, int32_t);

constexpr char kCtor[] = "_ZN9KYLibCurlC1Ev";
constexpr char kDtor[] = "_ZN9KYLibCurlD1Ev";
constexpr char kCache[] =
    "_ZN9KYLibCurl14TppmUrlMapInfoENSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERS5_NS_17TPPM_CACHE_"
    "OPTYPEE";

using InitFn = bool (*)(KYLibCurl*, const char*, bool, bool, KYLibCurl::DataCallback);
using SetUrlFn = bool (*)(KYLibCurl*, const char*);
using SubmitFn = bool (*)(KYLibCurl*);

constexpr char kInit[] = "_ZN9KYLibCurl13KYLibCurlInitEPKcbbPFmPvmmS2_E";
constexpr char kSetUrl[] = "_ZN9KYLibCurl12KYCurlSetUrlEPKc";
constexpr char kSubmit[] = "_ZN9KYLibCurl20KYCurlPostSubmitFormEv";

bool Mapped(const std::string& path) {
    return kytest::ReadFile("/proc/self/maps").find(path) != std::string::npos;
}

// Loads the copy, adds one cache entry through a session of that copy, then unloads it. Returns a
// process exit code: 0 when every step held.
int LoadUseUnload(const std::string& path, const std::string& host) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 10;
    auto ctor = reinterpret_cast<CtorFn>(dlsym(lib, kCtor));
    auto dtor = reinterpret_cast<DtorFn>(dlsym(lib, kDtor));
    auto cache = reinterpret_cast<CacheFn>(dlsym(lib, kCache));
    if (!ctor || !dtor || !cache) return 11;

    alignas(KYLibCurl) unsigned char storage[sizeof(KYLibCurl)];
    auto* session = reinterpret_cast<KYLibCurl*>(storage);
    ctor(session);
    std::string url = "http://" + host + "/x";
    std::string prefix = "http://127.0.0.1:1";
    cache(session, &url, prefix, KYLibCurl::TPPM_CACHE_ADD);
    dtor(session);

    if (dlclose(lib) != 0) return 12;
    return Mapped(path) ? 13 : 0;
}

// Loads the copy, sends one request through a session of that copy, which leaves its connection kept for
// the sessions after it, and unloads the copy with the connection still open. Returns a process exit code:
// 0 when every step held.
int LoadRequestUnload(const std::string& path, const std::string& url) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return 20;
    auto ctor = reinterpret_cast<CtorFn>(dlsym(lib, kCtor));
    auto dtor = reinterpret_cast<DtorFn>(dlsym(lib, kDtor));
    auto init = reinterpret_cast<InitFn>(dlsym(lib, kInit));
    auto setUrl = reinterpret_cast<SetUrlFn>(dlsym(lib, kSetUrl));
    auto submit = reinterpret_cast<SubmitFn>(dlsym(lib, kSubmit));
    if (!ctor || !dtor || !init || !setUrl || !submit) return 21;

    alignas(KYLibCurl) unsigned char storage[sizeof(KYLibCurl)];
    auto* session = reinterpret_cast<KYLibCurl*>(storage);
    ctor(session);
    const bool sent =
        init(session, nullptr, true, false, nullptr) && setUrl(session, url.c_str()) && submit(session);
    dtor(session);
    if (!sent) return 22;

    if (dlclose(lib) != 0) return 23;
    return Mapped(path) ? 24 : 0;
}

// Two load, request and unload rounds against one HTTPS server of this process; 0 when both held and
// each round opened a connection of its own (the first round's share went with its copy).
int TwoRoundsWithKeptConnections(const std::string& path) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    const int first = LoadRequestUnload(path, server.url("/first"));
    if (first != 0) return first;
    const int second = LoadRequestUnload(path, server.url("/second"));
    if (second != 0) return second;
    return server.requestCount() == 2 && server.connectionCount() == 2 ? 0 : 25;
}

std::string CopyOfLibrary(const kytest::TempDir& dir) {
    std::string copy = dir.file("libKyLibCurl.so");
    std::ifstream in(KYLIBCURL_FILE, std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
    return copy;
}

TEST(LoadUnload, FreshCopyLoadsUsesAndUnloadsTwice) {
    kytest::TempDir dir;
    const std::string copy = CopyOfLibrary(dir);
    kytest::LogCapture log;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int first = LoadUseUnload(copy, "first-load");
        _exit(first != 0 ? first : LoadUseUnload(copy, "second-load"));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Each load logged through its own logger, built at load and alive while the cache was used.
    EXPECT_TRUE(log.containsLine("-1", "TppmUrlMapInfo", "Key:[first-load:80] added to cache"));
    EXPECT_TRUE(log.containsLine("-1", "TppmUrlMapInfo", "Key:[second-load:80] added to cache"));
}

TEST(LoadUnload, ProcessExitAfterUseEndsCleanly) {
    kytest::LogCapture log;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        KYLibCurl session;
        std::string prefix = "http://127.0.0.1:2";
        session.TppmUrlMapInfo("http://exit-host/x", prefix, KYLibCurl::TPPM_CACHE_ADD);
        // exit() runs the destructors: the cache, then the file-level objects in reverse order.
        exit(session.KYLibCurlInit(nullptr, false, false, nullptr) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(log.containsLine("-1", "TppmUrlMapInfo", "Key:[exit-host:80] added to cache"));
}

// The share of a loaded copy keeps the connection its session left; unloading the copy ends the share with
// the connection still open. The child ends with _exit, as above: a second copy of the library binds the
// exported static members of KYLibCurlGlobal to the first copy's, so exit() would destroy them twice.
TEST(LoadUnload, UnloadWithKeptTlsConnectionsEndsCleanly) {
    kytest::TempDir dir;
    const std::string copy = CopyOfLibrary(dir);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        _exit(TwoRoundsWithKeptConnections(copy));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A session still alive at exit keeps the share in use; one destroyed before leaves its TLS connection
// kept. Either way exit() ends the process cleanly.
KYLibCurl* g_aliveAtExit = nullptr;

int RequestsThenKeep(bool keepOneSession) {
    kytest::TestServer server(kytest::TestServer::Scheme::Https);
    {
        KYLibCurl session;
        if (!session.KYLibCurlInit(nullptr, true, false, nullptr)) return 30;
        if (!session.KYCurlSetUrl(server.url("/").c_str()) || !session.KYCurlPostSubmitForm()) return 31;
    }
    if (!keepOneSession) return 0;
    g_aliveAtExit = new KYLibCurl;
    if (!g_aliveAtExit->KYLibCurlInit(nullptr, true, false, nullptr)) return 32;
    if (!g_aliveAtExit->KYCurlSetUrl(server.url("/").c_str()) || !g_aliveAtExit->KYCurlPostSubmitForm())
        return 33;
    return server.connectionCount() == 1 ? 0 : 34;
}

TEST(LoadUnload, ExitWithKeptTlsConnectionsEndsCleanly) {
    for (bool keepOneSession : {false, true}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(60);
            exit(RequestsThenKeep(keepOneSession));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << keepOneSession << ": the child died of signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << keepOneSession;
    }
}

}  // namespace
}  // namespace kytest
