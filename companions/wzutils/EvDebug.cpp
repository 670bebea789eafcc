// Debug logger. Every line is built whole in memory and handed to one write(), so lines from many threads
// never interleave in a file opened for appending. The file is opened for every line, so a file that is
// moved away or deleted is simply created again.
#include "EvDebug.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "evdebug_settings.h"
#include "line_write.h"
#include "vformat.h"

using wzutils::EvDebugSettings;

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Local time comes from an offset to UTC looked up at most once per quarter hour (zone transitions fall on
// quarter hours of UTC), not from localtime_r for every line: a process forked while another thread was
// inside the C library's time-zone code inherits that code's lock held, and a child that called
// localtime_r would wait for ever. The logger's own lookups run under g_clockMutex, which is held across
// fork() with the offset brought up to date, so a child finds the lock free and its first lines need no
// lookup.
constexpr time_t kOffsetPeriod = time_t{15} * 60;

std::mutex g_clockMutex;
time_t g_offsetPeriod = -1;  // the quarter hour g_offset was looked up for; guarded by g_clockMutex
long g_offset = 0;           // seconds east of UTC

long offsetFromUtcLocked(time_t now) {
    const time_t period = now / kOffsetPeriod;
    if (period == g_offsetPeriod) return g_offset;
    tm local{};
    g_offset = localtime_r(&now, &local) ? local.tm_gmtoff : 0;
    g_offsetPeriod = period;
    return g_offset;
}

long offsetFromUtc(time_t now) {
    const std::lock_guard<std::mutex> hold(g_clockMutex);
    return offsetFromUtcLocked(now);
}

struct CivilDate {
    long year;
    unsigned month, day;
};

// The proleptic Gregorian date of a count of days since 1970-01-01.
CivilDate civilFromDays(long days) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned long>(days - era * 146097);
    const unsigned long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned long shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
    CivilDate date;
    date.day = static_cast<unsigned>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    date.month = static_cast<unsigned>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    date.year = static_cast<long>(yearOfEra) + era * 400 + (date.month <= 2 ? 1 : 0);
    return date;
}

// Local time with milliseconds, then the thread: "YYYY-MM-DD HH:MM:SS.mmm <thread-id>".
void appendTimeAndThread(std::string& line) {
    constexpr long kDay = 24L * 60 * 60;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long local = static_cast<long>(now.tv_sec) + offsetFromUtc(now.tv_sec);
    const long days = local >= 0 ? local / kDay : (local - kDay + 1) / kDay;
    const long secondOfDay = local - days * kDay;
    const CivilDate date = civilFromDays(days);
    char text[96];
    std::snprintf(text, sizeof text, "%04ld-%02u-%02u %02ld:%02ld:%02ld.%03ld %ld", date.year, date.month,
                  date.day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60,
                  now.tv_nsec / 1000000, static_cast<long>(syscall(SYS_gettid)));
    line += text;
}

// Every lock a logging thread can hold is held across fork(): a child never inherits one held by a
// thread it lacks. The handlers are registered while the library loads, before those of the libraries
// that log through it, so that its locks are taken last and released first.
void takeLocksBeforeFork() {
    EvDebugSettings::instance().lockForFork();
    g_clockMutex.lock();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    offsetFromUtcLocked(now.tv_sec);
}

void releaseLocksAfterFork() {
    g_clockMutex.unlock();
    EvDebugSettings::instance().unlockAfterFork();
}

struct ForkHandlers {
    ForkHandlers() { pthread_atfork(takeLocksBeforeFork, releaseLocksAfterFork, releaseLocksAfterFork); }
};
const ForkHandlers g_forkHandlers;

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

// A file that cannot take the line must not cost the line or break the program: it goes to standard error,
// and the file keeps no part of it (a full file system takes part of a line, then no more).
// The destination is opened without waiting, so a FIFO without a reader (or one whose reader stalls) is a
// destination that cannot take the line rather than a logger that blocks for ever.
void emitTo(const std::string& path, const std::string& line) {
    if (!path.empty()) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd >= 0) {
            const bool written = wzutils::appendWholeLine(fd, line.data(), line.size());
            close(fd);
            if (written) return;
        }
    }
    wzutils::writeAll(STDERR_FILENO, line.data(), line.size());
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
        wzutils::writeAll(STDERR_FILENO, kNotice, sizeof kNotice - 1);
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
