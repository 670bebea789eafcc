// What -v, --trace and --trace-ascii show of the exchange, through libcurl's debug callback on the
// session's handle: -v writes curl's "* ", "> " and "< " lines to standard error; the traces write every
// record with the library's dumpTrace (hex or text rows). Credentials in request headers are masked, and
// a routed request names the URL it really went to.
#ifndef KYCURL_EXCHANGE_TRACE_H
#define KYCURL_EXCHANGE_TRACE_H

#include <curl/curl.h>

#include <cstdio>
#include <string>

#include "options.h"

class KYLibCurl;

namespace kycurl {

class ExchangeTrace {
  public:
    ExchangeTrace(TraceMode mode, FILE* out, bool bodyOnTerminal)
        : m_mode(mode), m_out(out), m_bodyOnTerminal(bodyOnTerminal) {}

    bool Install(KYLibCurl& session);
    // Before each attempt of a request; client is null for a direct request.
    void StartRequest(const std::string& url, const char* client);

    static int Callback(CURL* handle, curl_infotype type, char* data, size_t size, void* userdata);

  private:
    void AnnounceRoute(CURL* handle);
    // A record as this trace shows it: -v's lines, or the dump of --trace and --trace-ascii.
    void Show(curl_infotype type, const char* data, size_t size);
    void Verbose(curl_infotype type, const char* data, size_t size);
    void VerboseLines(curl_infotype type, const char* data, size_t size);
    void Dump(curl_infotype type, const char* data, size_t size);

    TraceMode m_mode;
    FILE* m_out;
    bool m_bodyOnTerminal;
    std::string m_url;
    std::string m_client;
    bool m_routed = false;
    std::string m_announced;
    long m_announcedPort = 0;  // the connection port m_announced was worked out from
    bool m_midLine = false;    // the last verbose record did not end its line
    bool m_dataShown = false;  // "[N bytes data]" already written for this run of data records
};

}  // namespace kycurl

#endif
