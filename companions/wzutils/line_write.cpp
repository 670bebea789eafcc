#include "line_write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace wzutils {

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool appendWholeLine(int fd, const char* data, size_t size) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return writeAll(fd, data, size);
    ssize_t written = 0;
    do {
        written = write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    if (written >= 0 && static_cast<size_t>(written) == size) return true;
    if (written <= 0) return false;
    // The offset after an append is the end of what this write put in the file; another writer's line
    // after it would go with the cut, so the file must still end there.
    const off_t end = lseek(fd, 0, SEEK_CUR);
    if (end >= written && fstat(fd, &info) == 0 && info.st_size == end) {
        const int ignored = ftruncate(fd, end - written);
        static_cast<void>(ignored);
    }
    return false;
}

}  // namespace wzutils
