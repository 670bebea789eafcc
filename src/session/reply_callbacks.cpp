#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kylibcurl.h"
#include "session/curl_result.h"
#include "session/fxstring_helpers.h"
#include "session/reply_growth.h"

// Appends the bytes to the reply buffer, keeping one zero byte after them. When the buffer cannot grow it
// stays as it was and the transfer is stopped (returning less than given makes libcurl fail with
// CURLE_WRITE_ERROR); the note tells the performer that the body is incomplete.
size_t KYLibCurl::libcurl_callback(void* ptr, size_t size, size_t nmemb, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (size == 0 || nmemb == 0 || !session) return 0;
    if (nmemb > SIZE_MAX / size) {
        NoteReplyGrowthFailed(session);
        return 0;
    }
    size_t n = size * nmemb;
    if (n > SIZE_MAX - 1 - session->m_respSize) {
        NoteReplyGrowthFailed(session);
        return 0;
    }
    char* grown = static_cast<char*>(realloc(session->m_respData, session->m_respSize + n + 1));
    if (!grown) {
        NoteReplyGrowthFailed(session);
        return 0;
    }
    session->m_respData = grown;
    memset(grown + session->m_respSize, 0, n + 1);
    memcpy(grown + session->m_respSize, ptr, n);
    session->m_respSize += n;
    return n;
}

size_t KYLibCurl::libcurl_headercallback(void* ptr, size_t size, size_t nitems, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (!session || (size != 0 && nitems > SIZE_MAX / size)) return 0;
    size_t n = size * nitems;
    // No exception may cross libcurl's frames: a line that cannot be copied stops the transfer.
    try {
        std::string line(static_cast<const char*>(ptr), n);
        FXString::TrimWhiteSpace(line);
        if (line.empty()) return n;
        // A failed append leaves the list as it was; losing one line beats losing them all.
        curl_slist* head = session::Curl().Curl_slist_append(session->m_respHeaders, line.c_str());
        if (head) session->m_respHeaders = head;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return n;
}
