// Reads whole HTTP/1.1 requests off one connection, keeping any bytes of the next (pipelined) request.
#ifndef KYTEST_REQUEST_READER_H
#define KYTEST_REQUEST_READER_H

#include <string>

#include "support/connection.h"
#include "support/test_server.h"

namespace kytest {

class RequestReader {
  public:
    enum class Result { Request, Closed, Malformed };

    explicit RequestReader(Connection& connection) : m_connection(connection) {}

    // Closed: the stream ended (or the server stopped) before a whole request arrived.
    Result read(ReceivedRequest& request);

  private:
    bool fill(size_t size);
    bool lineEnd(size_t from, size_t& end);
    bool parseHead(size_t headEnd, ReceivedRequest& request);
    void answerExpectContinue(const ReceivedRequest& request, size_t bodyStart);
    Result readChunkedBody(size_t& at, std::string& body);
    Result readSizedBody(const std::string& length, size_t& at, std::string& body);

    Connection& m_connection;
    std::string m_buffer;
};

}  // namespace kytest

#endif
