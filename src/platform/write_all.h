// Writes a whole buffer to a descriptor, going on after interruptions and short writes; or appends a whole
// record to a file, or nothing of it.
#ifndef KYLIBCURL_PLATFORM_WRITE_ALL_H
#define KYLIBCURL_PLATFORM_WRITE_ALL_H

#include <sys/stat.h>
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

// Appends data to a regular file opened with O_APPEND in one write: true when all of it went out. A write
// cut short (a full file system, a file-size limit) is taken back, so that the file never holds part of a
// record and the next one starts where a record ends. The bytes are taken back only while nothing was
// appended after them (the file still ends where the write ended), since another writer's record would go
// with them. A descriptor that is not a regular file gets WriteAll: nothing written there can be taken back.
inline bool AppendWhole(int fd, const char* data, size_t size) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return WriteAll(fd, data, size);
    ssize_t written = 0;
    do {
        written = write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    if (written >= 0 && static_cast<size_t>(written) == size) return true;
    if (written <= 0) return false;
    // After an append the descriptor's offset is the end of what this write put in the file.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= written && fstat(fd, &info) == 0 && info.st_size == end) {
        const int ignored = ftruncate(fd, end - written);
        static_cast<void>(ignored);
    }
    return false;
}

}  // namespace kylibcurl::detail

#endif
