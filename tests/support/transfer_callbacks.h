// Callbacks a test installs on a session in place of its own: body writers and a body reader.
#ifndef KYTEST_TRANSFER_CALLBACKS_H
#define KYTEST_TRANSFER_CALLBACKS_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace kytest {

// Appends the body to the std::string its data points at.
inline size_t CollectInto(void* ptr, size_t size, size_t nmemb, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(ptr), size * nmemb);
    return size * nmemb;
}

// Takes the body and keeps nothing.
inline size_t Discard(void*, size_t size, size_t nmemb, void*) { return size * nmemb; }

// Takes nothing: the transfer ends with libcurl's write error (result 23).
inline size_t RefuseBody(void*, size_t, size_t, void*) { return 0; }

// A request body for the read callback: Read hands out text from offset on, at most `piece` bytes a call
// (0: as much as libcurl asks for), so that a body can go out as several chunks.
struct BodySource {
    std::string text;
    size_t offset = 0;
    size_t piece = 0;

    static size_t Read(void* buffer, size_t size, size_t nitems, void* userdata) {
        BodySource* source = static_cast<BodySource*>(userdata);
        size_t n = std::min(size * nitems, source->text.size() - source->offset);
        if (source->piece != 0) n = std::min(n, source->piece);
        memcpy(buffer, source->text.data() + source->offset, n);
        source->offset += n;
        return n;
    }
};

}  // namespace kytest

#endif
