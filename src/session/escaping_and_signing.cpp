// The session's two services around requests: percent-escaping a URL part with libcurl's escaping, and
// signing data through the facade.
#include <climits>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/globals.h"
#include "platform/no_throw.h"

void KYLibCurl::KYLibCurlUrlEscape(const std::string& in, std::string& out) {
    constexpr char kTag[] = "KYLibCurl::KYLibCurlUrlEscape";
    // libcurl takes the length as an int; a longer text would be cut short.
    char* escaped = in.size() > INT_MAX ? nullptr
                                        : CurlWrapper::gCurlWrapper.Curl_easy_escape(
                                              m_curlHandle, in.c_str(), static_cast<int>(in.size()));
    if (!escaped) {
        m_dbg.DebugLvl(kTag, -1, "Failed to call curl_easy_escape()!");
        out.clear();
        return;
    }
    const bool copied = kylibcurl::detail::UnlessOutOfMemory(kTag, false, [&] {
        out = escaped;
        return true;
    });
    if (!copied) out.clear();
    CurlWrapper::gCurlWrapper.Curl_free(escaped);
}

// The facade signs; the session hands it the texts and the data with its length, and returns its result.
int KYLibCurl::SignSHA256withRSA(const std::string& first, const std::string& data, const std::string& third,
                                 unsigned char* signature, unsigned int& signatureLen) {
    return CurlWrapper::gCurlWrapper.SignSHA256withRSA(
        first.c_str(), data.data(), static_cast<int>(data.size()), third.c_str(), signature, &signatureLen);
}
