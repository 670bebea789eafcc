// Debug logger. Every line is built whole in memory and handed to one write(), so lines from many threads
// never interleave in a file opened for appending. The file is opened for every line, so a file that is
// moved away or deleted is simply created again.
#include "EvDebug.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "evdebug_settings.h"
#include "platform/write_all.h"
#include "vformat.h"

using wzutils::EvDebugSettings;

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Local time with milliseconds, then the thread: "YYYY-MM-DD HH:MM:SS.mmm <thread-id>".
void appendTimeAndThread(std::string& line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld %ld", now.tv_nsec / 1000000,
                  static_cast<long>(syscall(SYS_gettid)));
    line += text;
}

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

void appendEscape(std::string& line, unsigned char byte) {
    line += '\\';
    switch (byte) {
        case '\n':
            line += 'n';
            break;
        case '\r':
            line += 'r';
            break;
        case '\t':
            line += 't';
            break;
        default:
            line += 'x';
            line += kHexDigits[byte >> 4];
            line += kHexDigits[byte & 0xF];
            break;
    }
}

// Control bytes would let a text start a line that reads like one of the logger's own. The bytes between
// them are appended a run at a time.
void appendEscaped(std::string& line, const char* text, size_t length) {
    size_t runStart = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!isControl(byte)) continue;
        line.append(text + runStart, i - runStart);
        appendEscape(line, byte);
        runStart = i + 1;
    }
    line.append(text + runStart, length - runStart);
}

// Built in one allocation unless control bytes need escaping: the room for the time, thread and level is
// reserved with the tag's and the message's.
std::string composeLine(const char* tag, const char* level, const std::string& message) {
    constexpr size_t kPrefixRoom = 64;
    const char* shownTag = tag ? tag : "(null)";
    const size_t tagLength = std::char_traits<char>::length(shownTag);
    size_t length = message.size();
    if (length > 0 && message[length - 1] == '\n') --length;  // the message's own line end
    std::string line;
    line.reserve(kPrefixRoom + tagLength + length);
    appendTimeAndThread(line);
    line += ' ';
    line += level;
    line += ' ';
    appendEscaped(line, shownTag, tagLength);
    line += ": ";
    appendEscaped(line, message.data(), length);
    line += '\n';
    return line;
}

// A file that cannot take the line must not cost the line or break the program: it goes to standard error.
void emitTo(const std::string& path, const std::string& line) {
    if (!path.empty()) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            const bool written = kylibcurl::detail::WriteAll(fd, line.data(), line.size());
            close(fd);
            if (written) return;
        }
    }
    kylibcurl::detail::WriteAll(STDERR_FILENO, line.data(), line.size());
}

void emit(const EvDebugFileInstance* instance, const std::string& line) {
    if (instance) {
        emitTo(instance->path(), line);
        return;
    }
    emitTo(EvDebugSettings::instance().destination(), line);
}

// Logging happens on failure paths, where the caller may still look at errno, and where memory may be
// short: keep errno as it was, and let nothing escape into the caller.
void writeLine(const EvDebugFileInstance* instance, const char* tag, const char* level, const char* format,
               va_list args) noexcept {
    int savedErrno = errno;
    try {
        std::string message = format ? wzutils::VFormat(format, args) : "(null)";
        emit(instance, composeLine(tag, level, message));
    } catch (...) {
        constexpr char kNotice[] = "EvDebug: a line was dropped, out of memory\n";
        kylibcurl::detail::WriteAll(STDERR_FILENO, kNotice, sizeof kNotice - 1);
    }
    errno = savedErrno;
}

bool passes(int level) noexcept {
    try {
        return level <= EvDebugSettings::instance().level();
    } catch (...) {
        return true;  // the settings could not be built: write rather than lose the line
    }
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
    if (!passes(level)) return;
    char levelText[16];
    std::snprintf(levelText, sizeof levelText, "%d", level);
    va_list args;
    va_start(args, format);
    writeLine(m_instance, tag, levelText, format, args);
    va_end(args);
}

void EvDebug::Debug(const char* tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeLine(m_instance, tag, "-", format, args);
    va_end(args);
}

void EvDebug::SetDestination(const std::string& path) { EvDebugSettings::instance().setDestination(path); }

std::string EvDebug::Destination() { return EvDebugSettings::instance().destination(); }

void EvDebug::SetLevel(int level) { EvDebugSettings::instance().setLevel(level); }

int EvDebug::Level() { return EvDebugSettings::instance().level(); }
