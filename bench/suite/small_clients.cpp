#include "small_clients.h"

#include <cstring>

namespace kybench {
namespace {

// The content-type line the session adds to every request, so both clients send the same bytes.
constexpr char kContentTypeLine[] = "Content-Type: application/x-www-form-urlencoded";

size_t AppendToString(char* data, size_t size, size_t count, void* reply) {
    static_cast<std::string*>(reply)->append(data, size * count);
    return size * count;
}

}  // namespace

const char kFormBody[] = "user=kybench&action=update&item=4711&value=0123456789&note=small+request";

SessionSmallClient::SessionSmallClient(const SmallRequest& request) : m_request(request) {
    m_ready = m_session.KYLibCurlInit(nullptr, false, false, nullptr);
    if (m_ready && request.noSignal) m_ready = m_session.KYLibCurlSetAdditionalOptions(CURLOPT_NOSIGNAL);
}

bool SessionSmallClient::Send() {
    const char* clientName = m_request.clientName.empty() ? nullptr : m_request.clientName.c_str();
    if (m_request.post)
        return m_session.KYLibCurlSendHttpReq(HTTP_REQ_POST, m_request.url.c_str(), kFormBody,
                                              strlen(kFormBody), true, clientName);
    return m_session.KYLibCurlSendHttpReq(HTTP_REQ_GET, m_request.url.c_str(), nullptr, 0, true, clientName);
}

RawSmallClient::RawSmallClient(const SmallRequest& request)
    : m_request(request),
      m_handle(curl_easy_init()),
      m_headers(curl_slist_append(nullptr, kContentTypeLine)) {
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &m_reply);
    if (request.noSignal) curl_easy_setopt(m_handle, CURLOPT_NOSIGNAL, 1L);
    if (request.post) {
        curl_easy_setopt(m_handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(strlen(kFormBody)));
        curl_easy_setopt(m_handle, CURLOPT_POSTFIELDS, kFormBody);
    }
}

RawSmallClient::~RawSmallClient() {
    curl_easy_cleanup(m_handle);
    curl_slist_free_all(m_headers);
}

bool RawSmallClient::Send() {
    m_reply.clear();
    curl_easy_setopt(m_handle, CURLOPT_URL, m_request.url.c_str());
    if (curl_easy_perform(m_handle) != CURLE_OK) return false;
    long status = 0;
    curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status);
    return status == 200;
}

bool SendBatch(SmallClient& client, int count) {
    bool ok = true;
    for (int i = 0; i < count; ++i) ok = client.Send() && ok;
    return ok;
}

}  // namespace kybench
