#include "operations.h"

#include <curl/curl.h>

#include "request_runner.h"

namespace kycurl {

void ShareGlobalOptions(std::vector<Options>& operations) {
    Options global;
    for (const Options& o : operations) {
        if (o.trace != TraceMode::None) {
            global.trace = o.trace;
            global.traceFile = o.traceFile;
        }
        global.silent = global.silent || o.silent;
        global.showError = global.showError || o.showError;
        global.libraryLog = global.libraryLog || o.libraryLog;
        global.failEarly = global.failEarly || o.failEarly;
    }
    for (Options& o : operations) {
        o.appendTrace = &o != &operations.front();
        o.trace = global.trace;
        o.traceFile = global.traceFile;
        o.silent = global.silent;
        o.showError = global.showError;
        o.libraryLog = global.libraryLog;
        o.failEarly = global.failEarly;
    }
}

int RunOperations(const ParseResult& parsed) {
    int status = RunRequests(parsed.options);
    for (const Options& next : parsed.nextOperations) {
        if (status == CURLE_FAILED_INIT || status == CURLE_OUT_OF_MEMORY) break;
        if (status != CURLE_OK && next.failEarly) break;
        status = RunRequests(next);
    }
    return status;
}

}  // namespace kycurl
