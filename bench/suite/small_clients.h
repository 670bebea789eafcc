// The two clients of the small-request figures, each on its own keep-alive connection: a session sending
// KYLibCurlSendHttpReq with fresh lists, and raw libcurl on one reused easy handle sending the same bytes.
#ifndef KYBENCH_SUITE_SMALL_CLIENTS_H
#define KYBENCH_SUITE_SMALL_CLIENTS_H

#include <curl/curl.h>

#include <string>

#include "kylibcurl.h"

namespace kybench {

struct SmallRequest {
    bool post = false;
    bool noSignal = false;  // CURLOPT_NOSIGNAL set by the caller
    std::string url;
    std::string clientName;  // routes the session's requests through this client; empty sends directly
};

// A form body, like the ones callers post.
extern const char kFormBody[];

class SmallClient {
  public:
    virtual ~SmallClient() = default;
    // One request and its reply; false when it failed.
    virtual bool Send() = 0;
};

class SessionSmallClient : public SmallClient {
  public:
    explicit SessionSmallClient(const SmallRequest& request);
    bool Send() override;
    bool ready() const { return m_ready; }

  private:
    SmallRequest m_request;
    KYLibCurl m_session;
    bool m_ready;
};

// What a program using libcurl directly does for the same request: options set once, then per request
// the URL, a perform with the body appended to a reused buffer, and the status.
class RawSmallClient : public SmallClient {
  public:
    explicit RawSmallClient(const SmallRequest& request);
    ~RawSmallClient() override;
    RawSmallClient(const RawSmallClient&) = delete;
    RawSmallClient& operator=(const RawSmallClient&) = delete;
    bool Send() override;

  private:
    SmallRequest m_request;
    CURL* m_handle;
    curl_slist* m_headers;
    std::string m_reply;
};

// Sends count requests; false when any failed.
bool SendBatch(SmallClient& client, int count);

}  // namespace kybench

#endif
