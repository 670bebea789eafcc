// Facts about the built and installed library file: companions, run-time search path, build stamp,
// exported symbols, and a consumer built against an installed tree.
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/process_kit.h"

namespace kytest {
namespace {

struct CommandResult {
    int status = -1;
    std::string out;
};

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buf{};
    size_t n = 0;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0) result.out.append(buf.data(), n);
    int raw = pclose(pipe);
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return result;
}

std::vector<std::string> DynamicEntries(const std::string& file, const std::string& kind) {
    CommandResult r = RunCommand("readelf -d '" + file + "'");
    std::vector<std::string> values;
    std::regex entry("\\(" + kind + "\\)\\s+[^\\[]*\\[([^\\]]*)\\]");
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), entry), end; it != end; ++it) {
        values.push_back((*it)[1]);
    }
    return values;
}

std::string StampOf(const std::string& file) {
    kytest::TempDir dir;
    std::string out = dir.file("stamp");
    CommandResult r = RunCommand("objcopy --dump-section KyVersion='" + out + "' '" + file + "' '" +
                                 dir.file("copy") + "'");
    if (r.status != 0) return {};
    return RunCommand("cat '" + out + "'").out;
}

void ExpectLibraryFacts(const std::string& file) {
    std::vector<std::string> needed = DynamicEntries(file, "NEEDED");
    for (const char* companion : {"libKyLib.so", "libWzUtils.so", "libWzNetwork.so"}) {
        EXPECT_NE(std::find(needed.begin(), needed.end(), companion), needed.end()) << companion;
    }
    EXPECT_EQ(DynamicEntries(file, "RUNPATH"), std::vector<std::string>{"$ORIGIN:$ORIGIN/../Base64"});
    EXPECT_TRUE(DynamicEntries(file, "RPATH").empty());

    std::string stamp = StampOf(file);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d+\.\d+\.\d+\.\d+ \d\d/\d\d/\d\d \d\d:\d\d:\d\d\n)")))
        << "stamp: [" << stamp << "]";
    EXPECT_EQ(stamp.rfind(KY_PROJECT_VERSION " ", 0), 0u) << stamp;

    // Not loaded: the section has no SHF_ALLOC flag. Fields after the type: address, offset, size, entry
    // size, flags (absent when none), link, info, alignment.
    CommandResult sections = RunCommand("readelf -W -S '" + file + "'");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(sections.out, m, std::regex(R"(KyVersion\s+PROGBITS([^\n]*))")))
        << sections.out;
    std::istringstream fields(m[1].str());
    std::vector<std::string> tokens{std::istream_iterator<std::string>(fields), {}};
    ASSERT_GE(tokens.size(), 7u) << m[0];
    std::string flags = tokens.size() == 8 ? tokens[4] : "";
    EXPECT_EQ(flags.find('A'), std::string::npos) << m[0];
}

TEST(BuildArtifacts, LibraryInBuildTree) { ExpectLibraryFacts(KYLIBCURL_FILE); }

TEST(BuildArtifacts, ExportsExactlyThePublicSurface) {
    CommandResult r = RunCommand("nm -D --defined-only '" + std::string(KYLIBCURL_FILE) + "' | c++filt");
    ASSERT_EQ(r.status, 0) << r.out;
    std::istringstream lines(r.out);
    std::string line;
    std::set<std::string> symbols;
    while (std::getline(lines, line)) {
        std::string name = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        symbols.insert(name);
        bool ours = name.rfind("KYLibCurl::", 0) == 0 || name.rfind("KYLibCurlGlobal::", 0) == 0 ||
                    name == "UrlEncode";
        EXPECT_TRUE(ours) << "unexpected export: " << name;
    }
    for (const char* expected :
         {"UrlEncode", "KYLibCurlGlobal::Init()", "KYLibCurlGlobal::DeInit()",
          "KYLibCurlGlobal::m_global_init", "KYLibCurlGlobal::refCounter", "KYLibCurlGlobal::m_mutex",
          "KYLibCurl::KYLibCurl()", "KYLibCurl::libcurl_callback(void*, unsigned long, unsigned long, void*)",
          "KYLibCurl::libcurl_headercallback(void*, unsigned long, unsigned long, void*)",
          "KYLibCurl::KYCurlTracer(void*, curl_infotype, char*, unsigned long, void*)",
          "KYLibCurl::GetHttpReqTypeString(_http_req_type_)"}) {
        EXPECT_EQ(symbols.count(expected), 1u) << "missing export: " << expected;
    }
}

// The names an nm listing of file gives, by symbol type letter; versions ("@VER") are cut off.
std::vector<std::pair<char, std::string>> DynamicSymbols(const std::string& file, const std::string& which) {
    CommandResult r = RunCommand("nm -D " + which + " '" + file + "'");
    std::vector<std::pair<char, std::string>> symbols;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> tokens{std::istream_iterator<std::string>(fields), {}};
        if (tokens.size() < 2 || tokens[tokens.size() - 2].size() != 1) continue;
        const std::string name = tokens.back();
        symbols.emplace_back(tokens[tokens.size() - 2][0], name.substr(0, name.find('@')));
    }
    return symbols;
}

std::string Demangled(const std::string& name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string readable = status == 0 && text ? text : name;
    free(text);
    const std::string longString =
        "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >";
    for (size_t at; (at = readable.find(longString)) != std::string::npos;)
        readable.replace(at, longString.size(), "std::string");
    return readable;
}

// What the library takes from the three companion libraries: the undefined symbols of the library that
// one of them defines for others to use (weak definitions, such as the standard library's templates, are
// anyone's).
std::set<std::string> ImportsFromCompanions() {
    std::set<std::string> offered;
    for (const char* companion : {KYLIB_FILE, WZUTILS_FILE, WZNETWORK_FILE})
        for (const auto& [type, name] : DynamicSymbols(companion, "--defined-only"))
            if (std::string("TDBRG").find(type) != std::string::npos) offered.insert(name);
    std::set<std::string> imports;
    for (const auto& [type, name] : DynamicSymbols(KYLIBCURL_FILE, "--undefined-only"))
        if (offered.count(name)) imports.insert(Demangled(name));
    return imports;
}

// The real companion libraries export only what the library's contract with them names: the library
// must take nothing else from ours, or it would not load beside them. Everything else they may offer is
// looked up at run time and optional.
TEST(BuildArtifacts, ImportsFromTheCompanionsOnlyWhatTheirContractsName) {
    const std::set<std::string> required = {
        "CurlWrapper::gCurlWrapper",
        "CurlWrapper::Curl_global_init(long)",
        "CurlWrapper::Curl_easy_init()",
        "CurlWrapper::Curl_easy_setopt(void*, CURLoption, long)",
        "CurlWrapper::Curl_easy_setopt(void*, CURLoption, int)",
        "CurlWrapper::Curl_easy_setopt(void*, CURLoption, void*)",
        "CurlWrapper::Curl_easy_setopt(void*, CURLoption, char const*)",
        "CurlWrapper::Curl_easy_perform(void*)",
        "CurlWrapper::Curl_easy_getinfo(void*, CURLINFO, long*)",
        "CurlWrapper::Curl_easy_cleanup(void*)",
        "CurlWrapper::Curl_easy_strerror(CURLcode)",
        "CurlWrapper::Curl_slist_append(curl_slist*, char const*)",
        "CurlWrapper::Curl_slist_free_all(curl_slist*)",
        "CurlWrapper::Curl_easy_escape(void*, char const*, int)",
        "CurlWrapper::Curl_free(void*)",
        "CurlWrapper::SignSHA256withRSA(char const*, char const*, int, char const*, unsigned char*, unsigned "
        "int*)",
        "EvDebug::EvDebug(EvDebugFileInstance*)",
        "EvDebug::DebugLvl(char const*, int, char const*, ...)",
        "EvDebug::Debug(char const*, char const*, ...)",
        "KyFwClient::isFirewalled(char const*, char const*, KyFwError*)",
        "KyFwClient::setupTPPM(char const*, int, char const*, KyFwError*)",
        "MangleHostName[abi:cxx11](char const*, char const*, int, int)",
        "DemangleHostName(char const*, std::string&, std::string&, int&, int&)",
        "KyCriticalSectionH::KyCriticalSectionH()",
        "KyCriticalSectionH::enter(bool)",
        "KyCriticalSectionH::leave()",
        "FXString::Format[abi:cxx11](char const*, ...)",
    };
    // Named too, but the library may do without them: it trims in place, and the stand-ins define these
    // destructors inline.
    const std::set<std::string> optional = {
        "FXString::Trim(std::string&, char const*)",
        "EvDebug::~EvDebug()",
        "KyCriticalSectionH::~KyCriticalSectionH()",
    };
    const std::set<std::string> imports = ImportsFromCompanions();
    for (const std::string& name : imports)
        EXPECT_TRUE(required.count(name) || optional.count(name)) << "not in the contract: " << name;
    for (const std::string& name : required) EXPECT_EQ(imports.count(name), 1u) << "not imported: " << name;
}

// A sanitizer build's library needs the sanitizer's run-time loaded first, so its consumers get the flags.
std::string SanitizerFlags() {
    switch (kytest::kSanitizer) {
        case kytest::Sanitizer::Address:
            return "-fsanitize=address,undefined";
        case kytest::Sanitizer::Thread:
            return "-fsanitize=thread";
        case kytest::Sanitizer::None:
            break;
    }
    return "";
}
const std::string kConsumerFlags = SanitizerFlags();

TEST(BuildArtifacts, InstalledTreeServesCMakeAndPkgConfigConsumers) {
    kytest::TempDir dir;
    std::string prefix = dir.file("prefix");
    CommandResult install = RunCommand("cmake --install '" KY_BINARY_DIR "' --prefix '" + prefix + "'");
    ASSERT_EQ(install.status, 0) << install.out;
    ExpectLibraryFacts(prefix + "/lib/libKyLibCurl.so");

    std::string consumerBuild = dir.file("consumer");
    CommandResult configure =
        RunCommand("cmake -S '" KY_SOURCE_DIR "/tests/consumer' -B '" + consumerBuild +
                   "' -DCMAKE_PREFIX_PATH='" + prefix + "' -DCMAKE_CXX_FLAGS='" + kConsumerFlags + "'");
    ASSERT_EQ(configure.status, 0) << configure.out;
    CommandResult build = RunCommand("cmake --build '" + consumerBuild + "'");
    ASSERT_EQ(build.status, 0) << build.out;
    CommandResult run = RunCommand("'" + consumerBuild + "/consumer'");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "PATCH a+b\n");

    std::string pkgProgram = dir.file("pkg-consumer");
    CommandResult pkgBuild =
        RunCommand("c++ -std=c++17 " + kConsumerFlags + " '" KY_SOURCE_DIR "/tests/consumer/main.cpp' -o '" +
                   pkgProgram + "' $(PKG_CONFIG_PATH='" + prefix +
                   "/lib/pkgconfig' pkg-config --cflags --libs kylibcurl)");
    ASSERT_EQ(pkgBuild.status, 0) << pkgBuild.out;
    CommandResult pkgRun = RunCommand("'" + pkgProgram + "'");
    EXPECT_EQ(pkgRun.status, 0);
    EXPECT_EQ(pkgRun.out, "PATCH a+b\n");
}

}  // namespace
}  // namespace kytest
