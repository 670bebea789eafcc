#include "bulk_clients.h"

#include <cstdlib>
#include <cstring>

#include "clocks.h"

namespace kybench {
namespace {

size_t AppendToString(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

}  // namespace

SessionBulkClient::SessionBulkClient(const char* clientName, bool keepBody)
    : m_clientName(clientName), m_keepBody(keepBody) {
    m_ready =
        m_session.KYLibCurlInit(nullptr, false, false, keepBody ? nullptr : &SessionBulkClient::CountBytes);
    if (m_ready && !keepBody) m_ready = m_session.KYLibCurlSetWriteData(&m_counted);
}

bool SessionBulkClient::Fetch(const std::string& url, size_t expected) {
    m_counted = 0;
    if (!m_session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, m_clientName))
        return false;
    size_t length = m_counted;
    if (m_keepBody) m_session.GetHttpResponse(length, false);
    return length == expected;
}

size_t SessionBulkClient::CountBytes(void*, size_t size, size_t count, void* counted) {
    *static_cast<size_t*>(counted) += size * count;
    return size * count;
}

void SessionBulkClient::Release() { m_session.KYLibCurlFreeHttpHeaderList(); }

RawBulkClient::RawBulkClient() : m_handle(curl_easy_init()) {}

RawBulkClient::~RawBulkClient() { curl_easy_cleanup(m_handle); }

bool RawBulkClient::Fetch(const std::string& url, size_t expected) {
    if (!m_installed) Install(m_handle);
    m_installed = true;
    curl_easy_setopt(m_handle, CURLOPT_URL, url.c_str());
    if (curl_easy_perform(m_handle) != CURLE_OK) return false;
    long status = 0;
    curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status);
    return status == 200 && Received() == expected;
}

void StringBulkClient::Install(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &m_body);
}

void StringBulkClient::Release() { std::string().swap(m_body); }

ReallocBulkClient::~ReallocBulkClient() { free(m_data); }

void ReallocBulkClient::Install(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &ReallocBulkClient::Append);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
}

void ReallocBulkClient::Release() {
    free(m_data);
    m_data = nullptr;
    m_size = 0;
}

size_t ReallocBulkClient::Append(char* data, size_t size, size_t count, void* client) {
    ReallocBulkClient& self = *static_cast<ReallocBulkClient*>(client);
    size_t n = size * count;
    char* grown = static_cast<char*>(realloc(self.m_data, self.m_size + n + 1));
    if (!grown) return 0;
    memcpy(grown + self.m_size, data, n);
    grown[self.m_size + n] = '\0';
    self.m_data = grown;
    self.m_size += n;
    return n;
}

Measurement TransferRate(BulkClient& client, const std::string& url, size_t bytes, bool& ok) {
    return [&client, url, bytes, &ok] {
        client.Release();
        int64_t start = WallNs();
        ok = client.Fetch(url, bytes) && ok;
        int64_t elapsed = WallNs() - start;
        client.Release();
        return static_cast<double>(bytes) * 1e9 / static_cast<double>(elapsed);
    };
}

}  // namespace kybench
