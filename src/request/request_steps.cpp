#include "request/request_steps.h"

#include <cstdint>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_option.h"
#include "platform/globals.h"

namespace kylibcurl::detail {

namespace {

// Names no libcurl option, so installing it fails and a request of an unknown type never goes out.
constexpr CURLoption kNoMethodOption = static_cast<CURLoption>(10265);

constexpr RequestMethod kMethods[] = {
    {"GET", false, BodyStep::EmptyBody, false, CURLOPT_HTTPGET, false, 1},
    {"POST", false, BodyStep::CallerBody, true, CURLOPT_POST, false, 1},
    {"PUT", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
    {"DELETE", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
    {"HEAD", false, BodyStep::CallerBody, false, CURLOPT_NOBODY, false, 1},
    {"PATCH", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
};

constexpr RequestMethod kHttpReqUnknown = {"UNKNOWN", true, BodyStep::NoBody, false, kNoMethodOption,
                                           false,     1};
constexpr RequestMethod kOutOfRange = {"UNKNOWN", false, BodyStep::NoBody, false, kNoMethodOption, false, 1};

}  // namespace

const RequestMethod& RequestMethodFor(_http_req_type_ type) {
    // Compared unsigned, so negative values count as above the known range.
    const auto index = static_cast<uint32_t>(type);
    if (index < sizeof kMethods / sizeof kMethods[0]) return kMethods[index];
    if (index == static_cast<uint32_t>(HTTP_REQ_UNKNOWN)) return kHttpReqUnknown;
    return kOutOfRange;
}

}  // namespace kylibcurl::detail

const char* KYLibCurl::GetHttpReqTypeString(_http_req_type_ type) {
    return kylibcurl::detail::RequestMethodFor(type).text;
}

namespace kylibcurl::detail {

namespace {

void ClearMethodText(void* handle) {
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, static_cast<void*>(nullptr));
}

// HEAD's NOBODY would make a text method a HEAD request: libcurl keeps the option until POST, HTTPGET or
// NOBODY 0 resets it, and of those a text method sets none by itself. The other methods leave the method
// text alone: the library's own text never outlives its request (MethodTextGuard), so a text on the
// handle is the caller's, set through the raw option setter to send a method the library has no type for.
void ResetEarlierMethod(void* handle, const RequestMethod& method) {
    if (method.isText) CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, CURLOPT_NOBODY, 0);
}

}  // namespace

bool InstallMethodOption(void* handle, const RequestMethod& method) {
    ResetEarlierMethod(handle, method);

    CURLcode rc;
    if (method.isText) {
        m_dbg.DebugLvl(kDispatchTag, 2, "--> setting curl_option [%d] -> [%s]", method.option, method.text);
        rc = CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, method.option, method.text);
    } else {
        rc = CurlWrapper::gCurlWrapper.Curl_easy_setopt(handle, method.option, method.value);
    }
    return CurlOptionSucceeded(rc, kDispatchTag, method.option);
}

MethodTextGuard::MethodTextGuard(void* handle, const RequestMethod& method)
    : m_handle(handle), m_active(method.isText) {}

MethodTextGuard::~MethodTextGuard() {
    if (m_active) ClearMethodText(m_handle);
}

}  // namespace kylibcurl::detail

namespace kylibcurl::detail {

namespace {

struct PseudoStatus {
    CURLcode result;
    long status;
};

constexpr PseudoStatus kPseudoStatuses[] = {
    {CURLE_COULDNT_CONNECT, HTTP_RESP_CONNECT_FAILED},
    {CURLE_RECV_ERROR, HTTP_RESP_CONNECT_FAILED},
    {CURLE_OPERATION_TIMEDOUT, HTTP_RESP_TIMED_OUT},
};

}  // namespace

long PseudoStatusFor(CURLcode result) {
    for (const PseudoStatus& entry : kPseudoStatuses) {
        if (entry.result == result) return entry.status;
    }
    return 0;
}

}  // namespace kylibcurl::detail

using kylibcurl::detail::SetCurlOption;

namespace {

constexpr char kPrepPostTag[] = "KYLibCurl::prepPost";

// libcurl's "size unknown": with no body pointer it reads the body from the read callback.
constexpr long kSizeFromReadCallback = -1;

}  // namespace

// Installs the body of the next transfer. libcurl keeps only the pointer: the bytes stay the caller's
// and must outlive the request.
bool KYLibCurl::prepPost(const void* data, size_t len) {
    // A chunked body comes from the caller's read callback. Installing no pointer and an unknown size,
    // rather than leaving the options alone, keeps an earlier request's body (freed by now, perhaps) off
    // the wire and lets every method that sends a body read it, not only POST.
    const long size = m_chunked ? kSizeFromReadCallback : static_cast<long>(len);
    const void* body = m_chunked ? nullptr : data;
    return SetCurlOption(m_curlHandle, CURLOPT_POSTFIELDSIZE_LARGE, size, kPrepPostTag) &&
           SetCurlOption(m_curlHandle, CURLOPT_POSTFIELDS, const_cast<void*>(body), kPrepPostTag);
}
