#include <cstring>

#include "kylibcurl.h"
#include "session/fxstring_helpers.h"

namespace {

// A stored line matches when it begins with the name, ignoring case (or is a shorter beginning of it).
bool LineMatches(const char* name, const char* line) {
    return FXString::CompareLeftNoCase(name, line, strlen(name)) == 0;
}

}  // namespace

char* KYLibCurl::GetHttpResponse(size_t& len, bool detach) {
    char* data = m_respData;
    len = m_respSize;
    if (detach) {
        m_respData = nullptr;
        m_respSize = 0;
    }
    return data;
}

const char* KYLibCurl::GetHttpResponseHeader(const char* name) {
    if (!name) return nullptr;
    for (const curl_slist* line = m_respHeaders; line; line = line->next)
        if (LineMatches(name, line->data)) return line->data;
    return nullptr;
}

bool KYLibCurl::GetHttpResponseHeaders(const char* name, std::list<std::string>& out) {
    out.clear();
    for (const curl_slist* line = m_respHeaders; line; line = line->next)
        if (!name || LineMatches(name, line->data)) out.emplace_back(line->data);
    return !out.empty();
}
