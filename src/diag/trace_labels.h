// The labels of the wire trace's records, shared by the library's trace and kycurl's --trace, so that both
// write records alike.
#ifndef KYLIBCURL_DIAG_TRACE_LABELS_H
#define KYLIBCURL_DIAG_TRACE_LABELS_H

#include <curl/curl.h>

namespace kylibcurl::detail {

// The start of a record of one of libcurl's own messages (CURLINFO_TEXT).
constexpr char kTraceInfoPrefix[] = "== Info: ";

// The label of a data record, or null when the info type carries no data block.
inline const char* TraceDataLabel(unsigned type) {
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

}  // namespace kylibcurl::detail

#endif
