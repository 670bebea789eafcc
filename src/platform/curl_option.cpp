#include "platform/curl_option.h"

#include <cstdio>

#include "CurlWrapper.h"
#include "platform/curl_result.h"
#include "platform/globals.h"

namespace kylibcurl::detail {

namespace {

// How a failure line names an option. Two names read as their lines always have: the error buffer's has
// no space before "err", the cookie jar's has one inside its brackets. The method options are named by
// their number, as is any option not listed (a request of an unknown type sets one that names no option).
struct OptionName {
    CURLoption option;
    const char* name;  // null: named by number
    bool spaceBeforeErr = true;
};

constexpr OptionName kOptionNames[] = {
    {CURLOPT_ERRORBUFFER, "CURLOPT_ERRORBUFFER", false},
    {CURLOPT_WRITEFUNCTION, "CURLOPT_WRITEFUNCTION"},
    {CURLOPT_WRITEDATA, "CURLOPT_WRITEDATA"},
    {CURLOPT_HEADERFUNCTION, "CURLOPT_HEADERFUNCTION"},
    {CURLOPT_HEADERDATA, "CURLOPT_HEADERDATA"},
    {CURLOPT_NOSIGNAL, "CURLOPT_NOSIGNAL"},
    {CURLOPT_OPENSOCKETFUNCTION, "CURLOPT_OPENSOCKETFUNCTION"},
    {CURLOPT_SSL_VERIFYPEER, "CURLOPT_SSL_VERIFYPEER"},
    {CURLOPT_SSL_VERIFYHOST, "CURLOPT_SSL_VERIFYHOST"},
    {CURLOPT_USE_SSL, "CURLOPT_USE_SSL"},
    {CURLOPT_READFUNCTION, "CURLOPT_READFUNCTION"},
    {CURLOPT_READDATA, "CURLOPT_READDATA"},
    {CURLOPT_USERPWD, "CURLOPT_USERPWD"},
    {CURLOPT_CAINFO, "CURLOPT_CAINFO"},
    {CURLOPT_COOKIEFILE, "CURLOPT_COOKIEFILE"},
    {CURLOPT_COOKIEJAR, "CURLOPT_COOKIEJAR "},
    {CURLOPT_URL, "CURLOPT_URL"},
    {CURLOPT_CONNECT_TO, "CURLOPT_CONNECT_TO"},
    {CURLOPT_POSTFIELDSIZE_LARGE, "CURLOPT_POSTFIELDSIZE_LARGE"},
    {CURLOPT_POSTFIELDS, "CURLOPT_POSTFIELDS"},
    {CURLOPT_MAXCONNECTS, "CURLOPT_MAXCONNECTS"},
    {CURLOPT_SHARE, "CURLOPT_SHARE"},
    {CURLOPT_HTTPGET, nullptr},
    {CURLOPT_POST, nullptr},
    {CURLOPT_CUSTOMREQUEST, nullptr},
    {CURLOPT_NOBODY, nullptr},
};

constexpr char kFailure[] = "failed to set curl option:[%s]%serr:[%s]";

// The option's name in its failure line, and what stands between the name's bracket and "err".
class LoggedName {
  public:
    explicit LoggedName(CURLoption option) : m_row(Row(option)), m_number() {
        if (!m_row || !m_row->name) std::snprintf(m_number, sizeof m_number, "%d", static_cast<int>(option));
    }
    const char* name() const { return m_row && m_row->name ? m_row->name : m_number; }
    const char* gap() const { return !m_row || m_row->spaceBeforeErr ? " " : ""; }

  private:
    static const OptionName* Row(CURLoption option) {
        for (const OptionName& row : kOptionNames)
            if (row.option == option) return &row;
        return nullptr;
    }

    const OptionName* m_row;
    char m_number[16];
};

}  // namespace

bool CurlOptionSucceeded(CURLcode res, const char* tag, CURLoption option) {
    if (res == CURLE_OK) return true;
    const LoggedName logged(option);
    m_dbg.DebugLvl(tag, -1, kFailure, logged.name(), logged.gap(), CurlErrorText(res));
    return false;
}

bool SetCurlOption(void* handle, CURLoption option, long value, const char* tag) {
    return CurlOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, value), tag,
                               option);
}

bool SetCurlOption(void* handle, CURLoption option, int value, const char* tag) {
    return CurlOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, value), tag,
                               option);
}

bool SetCurlOption(void* handle, CURLoption option, void* value, const char* tag) {
    return CurlOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, value), tag,
                               option);
}

bool SetCurlOption(void* handle, CURLoption option, const char* value, const char* tag) {
    return CurlOptionSucceeded(CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, value), tag,
                               option);
}

bool SetCurlOptionReportedOnStdout(void* handle, CURLoption option, const char* value) {
    const CURLcode res = CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, option, value);
    if (res == CURLE_OK) return true;
    const LoggedName logged(option);
    std::printf(kFailure, logged.name(), logged.gap(), CurlErrorText(res));
    std::fflush(stdout);
    return false;
}

}  // namespace kylibcurl::detail
