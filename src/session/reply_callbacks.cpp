#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "CurlWrapper.h"
#include "kylibcurl.h"
#include "session/reply_note.h"

using kylibcurl::detail::NoteReplyNotStored;

namespace {

// A header line is short as a rule: it is copied to the stack, zero-terminated, for the list to copy.
constexpr size_t kShortLine = 256;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Appends the length bytes at text, up to the first zero byte among them, as one line. A failed append
// leaves the list as it was: losing one line beats losing them all.
void AppendLine(curl_slist*& list, const char* text, size_t length) {
    char shortLine[kShortLine];
    std::string longLine;
    const char* line = shortLine;
    if (length < sizeof shortLine) {
        memcpy(shortLine, text, length);
        shortLine[length] = '\0';
    } else {
        longLine.assign(text, length);
        line = longLine.c_str();
    }
    curl_slist* head = CurlWrapper::gCurlWrapper.Curl_slist_append(list, line);
    if (head) list = head;
}

}  // namespace

// Appends the bytes to the reply buffer, keeping one zero byte after them. When the buffer cannot grow it
// stays as it was and the transfer is stopped (returning less than given makes libcurl fail with
// CURLE_WRITE_ERROR); the note tells the performer that the body is incomplete.
size_t KYLibCurl::libcurl_callback(void* ptr, size_t size, size_t nmemb, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (size == 0 || nmemb == 0 || !session) return 0;
    if (nmemb > SIZE_MAX / size) {
        NoteReplyNotStored(session);
        return 0;
    }
    size_t n = size * nmemb;
    if (n > SIZE_MAX - 1 - session->m_respSize) {
        NoteReplyNotStored(session);
        return 0;
    }
    char* grown = static_cast<char*>(realloc(session->m_respData, session->m_respSize + n + 1));
    if (!grown) {
        NoteReplyNotStored(session);
        return 0;
    }
    // Each new byte is written once: the copy, then the one zero byte after it.
    session->m_respData = grown;
    memcpy(grown + session->m_respSize, ptr, n);
    session->m_respSize += n;
    grown[session->m_respSize] = '\0';
    return n;
}

size_t KYLibCurl::libcurl_headercallback(void* ptr, size_t size, size_t nitems, void* userdata) {
    KYLibCurl* session = static_cast<KYLibCurl*>(userdata);
    if (!session || (size != 0 && nitems > SIZE_MAX / size)) return 0;
    size_t n = size * nitems;
    // Trimmed where it lies, as FXString::TrimWhiteSpace trims a copy: spaces and tabs leave both ends,
    // line-end characters stay.
    const char* begin = static_cast<const char*>(ptr);
    const char* end = begin + n;
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
    if (begin == end) return n;
    // No exception may cross libcurl's frames: a line that cannot be copied stops the transfer.
    try {
        AppendLine(session->m_respHeaders, begin, static_cast<size_t>(end - begin));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return n;
}
