#include <climits>

#include "kylibcurl.h"
#include "platform/file_objects.h"
#include "session/curl_result.h"

void KYLibCurl::KYLibCurlUrlEscape(const std::string& in, std::string& out) {
    // libcurl takes the length as an int; a longer text would be cut short.
    char* escaped = in.size() > INT_MAX ? nullptr
                                        : session::Curl().Curl_easy_escape(m_curlHandle, in.c_str(),
                                                                           static_cast<int>(in.size()));
    if (!escaped) {
        m_dbg.DebugLvl("KYLibCurl::KYLibCurlUrlEscape", -1, "Failed to call curl_easy_escape()!");
        out.clear();
        return;
    }
    out = escaped;
    session::Curl().Curl_free(escaped);
}

int KYLibCurl::SignSHA256withRSA(const std::string& first, const std::string& data, const std::string& third,
                                 unsigned char* signature, unsigned int& signatureLen) {
    return session::Curl().SignSHA256withRSA(first.c_str(), data.data(), static_cast<int>(data.size()),
                                             third.c_str(), signature, &signatureLen);
}
