#include "client_table_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kyfw {
namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
struct LineFree {
    void operator()(char* line) const { free(line); }
};

// A table is a short text file; anything larger is no table this client reads.
constexpr off_t kTableSizeLimit = 1 << 20;

void reportUnreadable(const std::string& path, const std::string& reason) {
    fprintf(stderr, "kyfw: cannot read client table %s: %s\n", path.c_str(), reason.c_str());
}

// The table's file, open for reading, or null after one report. The open itself never waits (a FIFO
// without a writer), and only a regular file of a sane size is read: a FIFO, a device such as /dev/zero
// or a huge file would block the first routed request or read until memory runs out.
FILE* openTable(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reportUnreadable(path, strerror(errno));
        return nullptr;
    }
    struct stat info {};
    std::string problem;
    if (fstat(fd, &info) != 0) {
        problem = strerror(errno);
    } else if (S_ISDIR(info.st_mode)) {
        problem = strerror(EISDIR);
    } else if (!S_ISREG(info.st_mode)) {
        problem = "not a regular file";
    } else if (info.st_size > kTableSizeLimit) {
        problem = "larger than " + std::to_string(kTableSizeLimit) + " bytes";
    }
    FILE* file = problem.empty() ? fdopen(fd, "r") : nullptr;
    if (file) return file;
    if (problem.empty()) problem = strerror(errno);
    close(fd);
    reportUnreadable(path, problem);
    return nullptr;
}

}  // namespace

ClientMap readClientTableFile(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(openTable(path));
    if (!file) return {};
    ClientMap table;
    char* raw = nullptr;
    size_t capacity = 0;
    size_t lineNumber = 0;
    off_t total = 0;  // a file that grows while it is read stays bounded as well
    ssize_t length;
    while ((length = getline(&raw, &capacity, file.get())) >= 0) {
        total += length;
        if (total > kTableSizeLimit) break;
        ++lineNumber;
        ClientLine line = parseClientLine(std::string(raw, static_cast<size_t>(length)));
        if (line.kind == LineKind::Malformed) {
            fprintf(stderr, "kyfw: %s:%zu: %s, line skipped\n", path.c_str(), lineNumber,
                    line.problem.c_str());
        } else if (line.kind == LineKind::Entry) {
            table[line.host] = line.entry;
        }
    }
    int readError = errno;
    std::unique_ptr<char, LineFree> owned(raw);
    if (total > kTableSizeLimit) {
        reportUnreadable(path, "larger than " + std::to_string(kTableSizeLimit) + " bytes");
        return {};
    }
    if (ferror(file.get())) {
        reportUnreadable(path, strerror(readError));
        return {};
    }
    return table;
}

}  // namespace kyfw
