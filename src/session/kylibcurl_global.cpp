#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/curl_result.h"

using kylibcurl::detail::CurlSucceeded;

// m_global_init is read without the lock by KYLibCurl::KYLibCurlInit, so it is only ever stored
// atomically, and only here under m_mutex.
bool KYLibCurlGlobal::Init() {
    constexpr char kTag[] = "KYLibCurlGlobal::Init";
    m_mutex.enter(true);
    if (m_global_init) {
        ++refCounter;
        m_mutex.leave();
        return true;
    }
    if (CurlSucceeded(CurlWrapper::gCurlWrapper.Curl_global_init(CURL_GLOBAL_ALL), kTag,
                      "curl_global_init failed res: [%s]")) {
        refCounter = 1;
        __atomic_store_n(&m_global_init, true, __ATOMIC_RELEASE);
    }
    bool initialised = m_global_init;
    m_mutex.leave();
    return initialised;
}

// libcurl is never torn down once initialised, so this only keeps the count.
bool KYLibCurlGlobal::DeInit() {
    m_mutex.enter(true);
    // Extra calls leave the count at zero: it counts Init calls not yet matched.
    if (m_global_init && refCounter > 0) --refCounter;
    m_mutex.leave();
    return true;
}
