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

std::string CopyOfLibrary(const kytest::TempDir& dir) {
    std::string copy = dir.file("libKyLibCurl.so");
    std::ifstream in(KYLIBCURL_FILE, std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
    return copy;
}

}  // namespace

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
