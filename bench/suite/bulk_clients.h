// The clients of the large-body figures, each on its own keep-alive connection: the session with its
// reply buffer, and raw libcurl appending to a std::string or growing a malloc block exactly.
#ifndef KYBENCH_SUITE_BULK_CLIENTS_H
#define KYBENCH_SUITE_BULK_CLIENTS_H

#include <curl/curl.h>

#include <cstddef>
#include <string>

#include "kylibcurl.h"
#include "rounds.h"

namespace kybench {

class BulkClient {
  public:
    virtual ~BulkClient() = default;
    // Receives the whole body at url; false unless exactly expected bytes arrived.
    virtual bool Fetch(const std::string& url, size_t expected) = 0;
    // Gives the received body back to the allocator.
    virtual void Release() = 0;
};

// A session request with fresh lists (KYLibCurlSendHttpReq, freeHeaderList true), a direct one or one
// routed through a named client.
class SessionBulkClient : public BulkClient {
  public:
    // Without keepBody the session is given a write callback that only counts the bytes, so that a
    // figure about the way to the server is not also one about growing the reply buffer.
    explicit SessionBulkClient(const char* clientName = nullptr, bool keepBody = true);
    bool ready() const { return m_ready; }
    bool Fetch(const std::string& url, size_t expected) override;
    void Release() override;

  private:
    static size_t CountBytes(void* data, size_t size, size_t count, void* counted);

    KYLibCurl m_session;
    const char* m_clientName;
    bool m_keepBody;
    size_t m_counted = 0;
    bool m_ready;
};

class RawBulkClient : public BulkClient {
  public:
    RawBulkClient();
    ~RawBulkClient() override;
    RawBulkClient(const RawBulkClient&) = delete;
    RawBulkClient& operator=(const RawBulkClient&) = delete;
    bool Fetch(const std::string& url, size_t expected) override;

  protected:
    virtual void Install(CURL* handle) = 0;
    virtual size_t Received() const = 0;

  private:
    CURL* m_handle;
    bool m_installed = false;
};

// Appends every piece to a std::string, which grows by doubling and copying.
class StringBulkClient : public RawBulkClient {
  public:
    void Release() override;

  protected:
    void Install(CURL* handle) override;
    size_t Received() const override { return m_body.size(); }

  private:
    std::string m_body;
};

// Grows one malloc block with realloc to exactly the bytes received plus a terminating zero, the way
// the session's reply buffer grows.
class ReallocBulkClient : public RawBulkClient {
  public:
    ~ReallocBulkClient() override;
    void Release() override;

  protected:
    void Install(CURL* handle) override;
    size_t Received() const override { return m_size; }

  private:
    static size_t Append(char* data, size_t size, size_t count, void* client);
    char* m_data = nullptr;
    size_t m_size = 0;
};

// Bytes per second of one whole transfer of bytes at url; false goes to ok when it fails. The body of the
// previous round is released before, outside the clock, so every client starts from an empty buffer.
Measurement TransferRate(BulkClient& client, const std::string& url, size_t bytes, bool& ok);

}  // namespace kybench

#endif
