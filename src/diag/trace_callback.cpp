// libcurl's debug callback for the wire trace: one record appended to "log.txt" per call.
#include <fcntl.h>
#include <unistd.h>

#include "diag/trace_text_mode.h"
#include "kylibcurl.h"

char g_traceTextOnly = 1;

namespace {

constexpr const char* kTraceFileName = "log.txt";

// The trace holds whole header blocks, credentials and cookies included, so a new file is readable by its
// owner only. An existing file keeps the permissions it has.
FILE* OpenTraceFile() {
    int fd = open(kTraceFileName, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "a+");
    if (!file) close(fd);
    return file;
}

// Label of a data record, or null when the info type carries no data block.
const char* DataRecordLabel(unsigned type) {
    switch (type) {
        case CURLINFO_HEADER_IN:
            return "<= Recv header";
        case CURLINFO_HEADER_OUT:
            return "=> Send header";
        case CURLINFO_DATA_IN:
            return "<= Recv data";
        case CURLINFO_DATA_OUT:
            return "=> Send data";
        case CURLINFO_SSL_DATA_IN:
            return "<= Recv SSL data";
        case CURLINFO_SSL_DATA_OUT:
            return "=> Send SSL data";
        default:
            return nullptr;
    }
}

}  // namespace

int KYLibCurl::KYCurlTracer(void* /*handle*/, curl_infotype type, char* data, size_t size, void* traceData) {
    FILE* file = OpenTraceFile();
    if (!file) return 0;

    // Unsigned, so that negative info types count as unknown too.
    const unsigned kind = static_cast<unsigned>(type);
    if (kind == CURLINFO_TEXT) {
        // libcurl's messages end with their own line break.
        fprintf(file, "== Info: %s", data ? data : "");
    } else if (const char* label = DataRecordLabel(kind)) {
        const char textOnly = traceData ? *static_cast<const char*>(traceData) : char{0};
        dumpTrace(label, file, reinterpret_cast<unsigned char*>(data), size, textOnly);
    }
    fclose(file);
    return 0;
}
