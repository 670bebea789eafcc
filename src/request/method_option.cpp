#include "request/method_option.h"

#include "CurlWrapper.h"
#include "platform/curl_result.h"
#include "platform/file_objects.h"
#include "request/dispatch_tag.h"

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
    return CurlSucceeded(rc, kDispatchTag, "failed to set curl option:[%d] err:[%s]", method.option);
}

MethodTextGuard::MethodTextGuard(void* handle, const RequestMethod& method)
    : m_handle(handle), m_active(method.isText) {}

MethodTextGuard::~MethodTextGuard() {
    if (m_active) ClearMethodText(m_handle);
}

}  // namespace kylibcurl::detail
