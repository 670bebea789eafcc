// Debug logger. Every line is built whole in memory and handed to one write(), so lines from many threads
// never interleave in a file opened for appending. The destination and the level threshold are read from
// the environment for every line, so either can change while the program runs.
//
// A message that already ends with a line feed is written as given; any other message gets one. Line
// feeds inside a message are written as they are.
#include "EvDebug.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "vformat.h"

namespace {

constexpr int kDefaultLevel = 2;

// A missing or unparsable EVDEBUG_LEVEL gives the default. The caller's errno is left as it was.
int levelThreshold() {
    const char* text = std::getenv("EVDEBUG_LEVEL");
    if (!text || !*text) return kDefaultLevel;
    int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    long level = std::strtol(text, &end, 10);
    bool valid = errno == 0 && *end == '\0' && level >= INT_MIN && level <= INT_MAX;
    errno = savedErrno;
    return valid ? static_cast<int>(level) : kDefaultLevel;
}

// Local time with milliseconds: "YYYY-MM-DD HH:MM:SS.mmm".
std::string timeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

std::string composeLine(const char* tag, const std::string& level, const std::string& message) {
    std::string line = timeStamp();
    line += ' ';
    line += std::to_string(syscall(SYS_gettid));
    line += ' ';
    line += level;
    line += ' ';
    line += tag ? tag : "(null)";
    line += ": ";
    line += message;
    if (line.back() != '\n') line += '\n';
    return line;
}

void writeWhole(int fd, const std::string& line) {
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= static_cast<size_t>(written);
    }
}

const char* destinationPath(const EvDebugFileInstance* instance) {
    if (instance) return instance->path().c_str();
    const char* path = std::getenv("EVDEBUG_FILE");
    return path && *path ? path : nullptr;
}

// A file that cannot be opened must not cost the line or break the program: it goes to standard error.
void emit(const EvDebugFileInstance* instance, const std::string& line) {
    const char* path = destinationPath(instance);
    int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd < 0) {
        writeWhole(STDERR_FILENO, line);
        return;
    }
    writeWhole(fd, line);
    close(fd);
}

// Logging happens on failure paths, where the caller may still look at errno: keep it as it was.
void writeLine(const EvDebugFileInstance* instance, const char* tag, const std::string& level,
               const char* format, va_list args) {
    int savedErrno = errno;
    std::string message = format ? wzutils::VFormat(format, args) : "(null)";
    emit(instance, composeLine(tag, level, message));
    errno = savedErrno;
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}


void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    if (level > levelThreshold()) return;
    va_list args;
    va_start(args, format);
    writeLine(m_instance, tag, std::to_string(level), format, args);
    va_end(args);
}

void EvDebug::Debug(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(m_instance, tag, "-", format, args);
    va_end(args);
}
