// Writes a whole buffer to a descriptor, going on after interruptions and short writes.
#ifndef KYLIBCURL_PLATFORM_WRITE_ALL_H
#define KYLIBCURL_PLATFORM_WRITE_ALL_H

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace kylibcurl::detail {

// True when every byte was written; false at the first write that fails (errno tells why) or writes nothing.
inline bool WriteAll(int fd, const char* data, size_t left) {
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace kylibcurl::detail

#endif
