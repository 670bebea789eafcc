#include "session_lists.h"

#include "kylibcurl.h"

namespace kycurl {

SessionLists::~SessionLists() {
    curl_slist_free_all(m_resolve);
    curl_slist_free_all(m_connectTo);
    curl_slist_free_all(m_proxyHeaders);
}

bool SessionLists::Install(KYLibCurl& session, const Options& o, std::string& error) {
    if (!Set(session, CURLOPT_RESOLVE, o.resolve, m_resolve, error) ||
        !Set(session, CURLOPT_CONNECT_TO, o.connectTo, m_connectTo, error) ||
        !Set(session, CURLOPT_PROXYHEADER, o.proxyHeaders, m_proxyHeaders, error)) {
        return false;
    }
    // As curl: with lines of its own the proxy no longer receives the -H lines.
    if (m_proxyHeaders &&
        curl_easy_setopt(session.m_curlHandle, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE) != CURLE_OK) {
        error = "the session refused to keep the proxy's header lines apart";
        return false;
    }
    return true;
}

bool SessionLists::Set(KYLibCurl& session, CURLoption option, const std::vector<std::string>& lines,
                       curl_slist*& list, std::string& error) {
    if (lines.empty()) return true;
    for (const std::string& line : lines) {
        curl_slist* longer = curl_slist_append(list, line.c_str());
        if (!longer) {
            error = "no memory for the line '" + line + "'";
            return false;
        }
        list = longer;
    }
    if (curl_easy_setopt(session.m_curlHandle, option, list) == CURLE_OK) return true;
    error = "the session refused the line '" + lines.front() + "'";
    return false;
}

}  // namespace kycurl
