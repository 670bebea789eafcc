#include <kylibcurl.h>

#include <cstdio>

int main() {
    KYLibCurl session;
    if (!session.KYLibCurlInit(nullptr, false, false, nullptr)) return 1;
    std::vector<char> encoded;
    std::printf("%s %s\n", KYLibCurl::GetHttpReqTypeString(HTTP_REQ_PATCH), UrlEncode("a b", encoded));
    return 0;
}
