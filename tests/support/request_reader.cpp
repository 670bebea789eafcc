#include "support/request_reader.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>

namespace kytest {

namespace {

constexpr size_t kHeadLimit = 256 * 1024;
constexpr size_t kLineLimit = 8 * 1024;
constexpr size_t kBodyLimit = size_t(512) * 1024 * 1024;

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool containsToken(const std::string& value, const char* token) {
    std::string lower;
    for (char c : value) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(token) != std::string::npos;
}

// Digits only, within the body limit.
bool parseLength(const std::string& text, size_t base, size_t& value) {
    if (text.empty() || text.size() > 16) return false;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, static_cast<int>(base));
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    if (parsed > kBodyLimit) return false;
    value = static_cast<size_t>(parsed);
    return true;
}

}  // namespace

bool RequestReader::fill(size_t size) {
    while (m_buffer.size() < size) {
        if (!m_connection.readSome(m_buffer)) return false;
    }
    return true;
}

// Finds the CRLF that ends the line starting at from, reading more as needed; end is the CR's offset.
bool RequestReader::lineEnd(size_t from, size_t& end) {
    for (;;) {
        size_t found = m_buffer.find("\r\n", from);
        if (found != std::string::npos) {
            end = found;
            return true;
        }
        if (m_buffer.size() - from > kLineLimit) return false;
        if (!m_connection.readSome(m_buffer)) return false;
    }
}

bool RequestReader::parseHead(size_t headEnd, ReceivedRequest& request) {
    size_t lineStop = m_buffer.find("\r\n");
    std::string requestLine = m_buffer.substr(0, lineStop);
    size_t firstSpace = requestLine.find(' ');
    size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace) return false;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    if (requestLine.compare(lastSpace + 1, 5, "HTTP/") != 0) return false;

    size_t at = lineStop + 2;
    while (at < headEnd) {
        size_t stop = m_buffer.find("\r\n", at);
        std::string line = m_buffer.substr(at, stop - at);
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
        at = stop + 2;
    }
    return true;
}

// libcurl holds a large or chunked body back for a while unless the server invites it.
void RequestReader::answerExpectContinue(const ReceivedRequest& request, size_t bodyStart) {
    if (!containsToken(request.header("Expect"), "100-continue")) return;
    if (m_buffer.size() > bodyStart) return;
    m_connection.writeAll("HTTP/1.1 100 Continue\r\n\r\n");
}

RequestReader::Result RequestReader::readChunkedBody(size_t& at, std::string& body) {
    for (;;) {
        size_t end = 0;
        if (!lineEnd(at, end)) return Result::Closed;
        std::string sizeText = m_buffer.substr(at, end - at);
        sizeText = trimmed(sizeText.substr(0, sizeText.find(';')));
        size_t size = 0;
        if (!parseLength(sizeText, 16, size) || body.size() + size > kBodyLimit) return Result::Malformed;
        at = end + 2;
        if (size == 0) break;
        if (!fill(at + size + 2)) return Result::Closed;
        if (m_buffer.compare(at + size, 2, "\r\n") != 0) return Result::Malformed;
        body.append(m_buffer, at, size);
        at += size + 2;
    }
    // Trailer lines, up to the empty line.
    for (;;) {
        size_t end = 0;
        if (!lineEnd(at, end)) return Result::Closed;
        bool empty = end == at;
        at = end + 2;
        if (empty) return Result::Request;
    }
}

RequestReader::Result RequestReader::readSizedBody(const std::string& length, size_t& at, std::string& body) {
    size_t size = 0;
    if (!length.empty() && !parseLength(length, 10, size)) return Result::Malformed;
    if (!fill(at + size)) return Result::Closed;
    body.assign(m_buffer, at, size);
    at += size;
    return Result::Request;
}

RequestReader::Result RequestReader::read(ReceivedRequest& request) {
    request = ReceivedRequest();
    size_t headEnd = std::string::npos;
    while ((headEnd = m_buffer.find("\r\n\r\n")) == std::string::npos) {
        if (m_buffer.size() > kHeadLimit) return Result::Malformed;
        if (!m_connection.readSome(m_buffer)) return Result::Closed;
    }
    if (!parseHead(headEnd + 2, request)) return Result::Malformed;

    size_t at = headEnd + 4;
    answerExpectContinue(request, at);
    bool chunked = containsToken(request.header("Transfer-Encoding"), "chunked");
    Result result = chunked ? readChunkedBody(at, request.body)
                            : readSizedBody(request.header("Content-Length"), at, request.body);
    if (result != Result::Request) return result;
    request.raw = m_buffer.substr(0, at);
    m_buffer.erase(0, at);
    return Result::Request;
}

}  // namespace kytest
