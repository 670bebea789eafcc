// kycurl: a command-line HTTP(S) client on libKyLibCurl.
#include <csignal>
#include <cstdio>
#include <vector>

#include "help.h"
#include "kylibcurl.h"
#include "messages.h"
#include "operations.h"
#include "options.h"
#include "request_runner.h"
#include "session_setup.h"

namespace {

int PrintUrlEncoding(const std::string& text) {
    std::vector<char> encoded;
    printf("%s\n", UrlEncode(text.c_str(), encoded));
    return kycurl::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    kycurl::ParseResult parsed = kycurl::ParseOptions(argc, argv);
    if (!parsed.ok) {
        kycurl::PrintUsageError(parsed.error);
        return kycurl::kExitUsage;
    }
    const kycurl::Options& options = parsed.options;
    kycurl::ConfigureLibraryLog(options.libraryLog);
    // A reader that goes away shows as a failed write (exit 23), not as a killed process.
    signal(SIGPIPE, SIG_IGN);
    switch (options.mode) {
        case kycurl::Mode::Help:
            fputs(kycurl::HelpText(options.helpTopic).c_str(), stdout);
            return kycurl::kExitOk;
        case kycurl::Mode::Version:
            printf("kycurl %s (libKyLibCurl %s, libcurl %s)\n", KYCURL_VERSION, KYCURL_VERSION,
                   curl_version_info(CURLVERSION_NOW)->version);
            return kycurl::kExitOk;
        case kycurl::Mode::UrlEncode:
            return PrintUrlEncoding(options.urlEncodeText);
        case kycurl::Mode::Probe:
            return kycurl::RunProbe(options);
        case kycurl::Mode::Request:
            break;
    }
    return kycurl::RunOperations(parsed);
}
