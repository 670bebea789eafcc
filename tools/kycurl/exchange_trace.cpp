#include "exchange_trace.h"

#include "diag/credential_hiding.h"
#include "diag/trace_labels.h"
#include "kylibcurl.h"
#include "route_url.h"
#include "secrets.h"

namespace kycurl {

namespace {

// curl's line prefixes, by libcurl's info type.
const char* const kVerbosePrefix[] = {"* ", "< ", "> ", "{ ", "} ", "{ ", "} "};

}  // namespace

bool ExchangeTrace::Install(KYLibCurl& session) {
    CURL* handle = session.m_curlHandle;
    auto callback = &ExchangeTrace::Callback;
    return curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, callback) == CURLE_OK &&
           curl_easy_setopt(handle, CURLOPT_DEBUGDATA, this) == CURLE_OK &&
           session.KYLibCurlSetAdditionalOptions(CURLOPT_VERBOSE);
}

void ExchangeTrace::StartRequest(const std::string& url, const char* client) {
    m_url = url;
    m_routed = client != nullptr;
    m_client = client ? client : "";
    m_announced.clear();
    m_announcedPort = 0;
}

int ExchangeTrace::Callback(CURL* handle, curl_infotype type, char* data, size_t size, void* userdata) {
    ExchangeTrace* self = static_cast<ExchangeTrace*>(userdata);
    if (type > CURLINFO_SSL_DATA_OUT) return 0;
    if (self->m_routed) self->AnnounceRoute(handle);
    std::string masked;
    if (type == CURLINFO_HEADER_OUT || type == CURLINFO_TEXT) {
        masked.assign(data, size);
        if (type == CURLINFO_TEXT) {
            masked = RedactUrlsInText(masked);
        } else {
            kylibcurl::detail::MaskCredentialHeaderLines(masked);
        }
        data = masked.data();
        size = masked.size();
    }
    self->Show(type, data, size);
    return 0;
}

// The library resolves a routed URL inside the request; the handle shows where it went, before a
// redirect is followed (a reconnect through a fresh tunnel shows again).
void ExchangeTrace::AnnounceRoute(CURL* handle) {
    long redirects = 0;
    curl_easy_getinfo(handle, CURLINFO_REDIRECT_COUNT, &redirects);
    if (redirects > 0) return;
    // Worked out again only when the connection changed: not for every record of one exchange.
    long port = 0;
    curl_easy_getinfo(handle, CURLINFO_PRIMARY_PORT, &port);
    if (!m_announced.empty() && port == m_announcedPort) return;
    const std::string routed = RoutedUrlOf(handle, m_url);
    if (routed.empty()) return;
    m_announcedPort = port;
    if (m_announced == routed) return;
    m_announced = routed;
    std::string line =
        m_announced == m_url
            ? "Client '" + m_client + "' reached directly at " + RedactUrl(m_url) + "\n"
            : "Client '" + m_client + "' reached through tunnel URL " + RedactUrl(m_announced) + "\n";
    Show(CURLINFO_TEXT, line.data(), line.size());
}

void ExchangeTrace::Show(curl_infotype type, const char* data, size_t size) {
    if (m_mode == TraceMode::Verbose) {
        Verbose(type, data, size);
        return;
    }
    Dump(type, data, size);
}

// As curl -v: text and header records line by line with their prefix, data records as a count unless
// the body itself is going to the terminal.
void ExchangeTrace::Verbose(curl_infotype type, const char* data, size_t size) {
    switch (type) {
        case CURLINFO_TEXT:
        case CURLINFO_HEADER_IN:
        case CURLINFO_HEADER_OUT:
            VerboseLines(type, data, size);
            m_dataShown = false;
            break;
        default:
            if (m_dataShown || m_bodyOnTerminal) break;
            if (!m_midLine) fputs(kVerbosePrefix[type], m_out);
            fprintf(m_out, "[%zu bytes data]\n", size);
            m_midLine = false;
            m_dataShown = true;
            break;
    }
}

void ExchangeTrace::VerboseLines(curl_infotype type, const char* data, size_t size) {
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != '\n' && i + 1 < size) continue;
        if (!m_midLine) fputs(kVerbosePrefix[type], m_out);
        fwrite(data + start, 1, i + 1 - start, m_out);
        m_midLine = data[i] != '\n';
        start = i + 1;
    }
}

void ExchangeTrace::Dump(curl_infotype type, const char* data, size_t size) {
    if (type == CURLINFO_TEXT) {
        fputs(kylibcurl::detail::kTraceInfoPrefix, m_out);
        fwrite(data, 1, size, m_out);
        return;
    }
    char textOnly = m_mode == TraceMode::Ascii ? 1 : 0;
    KYLibCurl::dumpTrace(kylibcurl::detail::TraceDataLabel(type), m_out,
                         reinterpret_cast<unsigned char*>(const_cast<char*>(data)), size, textOnly);
}

}  // namespace kycurl
