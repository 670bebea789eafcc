#include "request_body.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kylibcurl.h"

namespace kycurl {

namespace {

bool ReadStream(FILE* in, std::string& out) {
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) out.append(chunk, n);
    return !ferror(in);
}

bool ReadItem(const std::string& item, std::string& out, std::string& error) {
    if (item.empty() || item[0] != '@') {
        out += item;
        return true;
    }
    std::string path = item.substr(1);
    if (path == "-") {
        if (ReadStream(stdin, out)) return true;
        error = std::string("cannot read standard input: ") + strerror(errno);
        return false;
    }
    FILE* file = fopen(path.c_str(), "rb");
    bool read = file && ReadStream(file, out);
    int savedErrno = errno;
    if (file) fclose(file);
    if (!read) error = "cannot read '" + path + "': " + strerror(savedErrno);
    return read;
}

}  // namespace

bool BuildBody(const std::vector<std::string>& items, std::string& body, std::string& error) {
    body.clear();
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) body += '&';
        if (!ReadItem(items[i], body, error)) return false;
    }
    return true;
}

bool ChunkedBodyReader::Install(KYLibCurl& session) {
    return session.KYLibCurlSetCallbackReadFunction(&ChunkedBodyReader::Read) &&
           session.KYLibCurlSetReadData(this);
}

size_t ChunkedBodyReader::Read(void* buffer, size_t size, size_t nitems, void* userdata) {
    ChunkedBodyReader* self = static_cast<ChunkedBodyReader*>(userdata);
    size_t room = size * nitems;
    size_t n = std::min(room, self->m_body.size() - self->m_offset);
    memcpy(buffer, self->m_body.data() + self->m_offset, n);
    self->m_offset += n;
    return n;
}

}  // namespace kycurl
