#include "CurlWrapper.h"
#include "kylibcurl.h"

// The facade signs; the session hands it the texts and the data with its length, and returns its result.
int KYLibCurl::SignSHA256withRSA(const std::string& first, const std::string& data, const std::string& third,
                                 unsigned char* signature, unsigned int& signatureLen) {
    return CurlWrapper::gCurlWrapper.SignSHA256withRSA(
        first.c_str(), data.data(), static_cast<int>(data.size()), third.c_str(), signature, &signatureLen);
}
