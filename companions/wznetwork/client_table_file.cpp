#include "client_table_file.h"

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

void reportUnreadable(const std::string& path, int error) {
    fprintf(stderr, "kyfw: cannot read client table %s: %s\n", path.c_str(), strerror(error));
}

}  // namespace

ClientMap readClientTableFile(const std::string& path) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "re"));
    if (!file) {
        reportUnreadable(path, errno);
        return {};
    }
    ClientMap table;
    char* raw = nullptr;
    size_t capacity = 0;
    size_t lineNumber = 0;
    ssize_t length;
    while ((length = getline(&raw, &capacity, file.get())) >= 0) {
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
    if (ferror(file.get())) {
        reportUnreadable(path, readError);
        return {};
    }
    return table;
}

}  // namespace kyfw
