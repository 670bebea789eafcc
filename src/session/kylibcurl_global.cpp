#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "platform/file_objects.h"

// m_global_init is read without the lock by KYLibCurl::KYLibCurlInit, so it is only ever stored
// atomically, and only here under m_mutex.
bool KYLibCurlGlobal::Init() {
    m_mutex.enter(true);
    if (m_global_init) {
        ++refCounter;
        m_mutex.leave();
        return true;
    }
    CURLcode res = CurlWrapper::gCurlWrapper.Curl_global_init(CURL_GLOBAL_ALL);
    if (res != CURLE_OK) {
        m_dbg.DebugLvl("KYLibCurlGlobal::Init", -1, "curl_global_init failed res: [%s]",
                       CurlWrapper::gCurlWrapper.Curl_easy_strerror(res));
    } else {
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
    if (m_global_init) --refCounter;
    m_mutex.leave();
    return true;
}
