// The logger formatting hostile arguments into the library's own line formats: arbitrary tags (null
// too), levels, texts of any length and bytes, and level thresholds. Properties: a line is written
// exactly when its level passes the threshold (Debug lines always); it is exactly one line, laid out as
// "YYYY-MM-DD HH:MM:SS.mmm <tid> <level> <tag>: <message>", with the whole message, never cut, its one
// trailing line feed taken as the line's end and every other control byte of tag and message escaped
// ("\n", "\r", "\t", "\xNN"), all other bytes as they are.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "EvDebug.h"
#include "byte_reader.h"
#include "fuzz_check.h"
#include "fuzz_targets.h"

namespace kyfuzz {
namespace {

// The log file: a memory file reopened by path for every line, as the logger does with a real one.
class MemoryLog {
  public:
    MemoryLog()
        : m_fd(memfd_create("kyfuzz-log", MFD_CLOEXEC)), m_path("/proc/self/fd/" + std::to_string(m_fd)) {
        KYFUZZ_CHECK(m_fd >= 0);
    }
    const std::string& path() const { return m_path; }
    void Clear() { KYFUZZ_CHECK(ftruncate(m_fd, 0) == 0); }
    std::string Content() const {
        struct stat info {};
        KYFUZZ_CHECK(fstat(m_fd, &info) == 0);
        std::string text(static_cast<size_t>(info.st_size), '\0');
        KYFUZZ_CHECK(pread(m_fd, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size()));
        return text;
    }

  private:
    int m_fd;
    std::string m_path;
};

// Thresholds, set through the logger's own call.
const int kThresholds[] = {2, -2, -1, 0, 4, 7, INT_MAX, INT_MIN};

// Puts the threshold back as it was before the input.
class ThresholdRestore {
  public:
    ThresholdRestore() : m_previous(EvDebug::Level()) {}
    ~ThresholdRestore() { EvDebug::SetLevel(m_previous); }
    ThresholdRestore(const ThresholdRestore&) = delete;
    ThresholdRestore& operator=(const ThresholdRestore&) = delete;

  private:
    int m_previous;
};

int SetThreshold(uint8_t choice) {
    const int threshold = kThresholds[choice % (sizeof kThresholds / sizeof kThresholds[0])];
    EvDebug::SetLevel(threshold);
    return threshold;
}

// The text as the logger writes it: control bytes escaped, everything else as it is.
std::string Escaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            escaped += "\\n";
        } else if (byte == '\r') {
            escaped += "\\r";
        } else if (byte == '\t') {
            escaped += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            char code[8];
            snprintf(code, sizeof code, "\\x%02x", byte);
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string Expected(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Expected(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

struct Arguments {
    std::string a, b, c, d;  // C strings: cut at the first NUL
    long number;
    int small;
};

// Writes one line in one of the library's formats; returns its level ("-" for Debug) and message.
std::string WriteLine(EvDebug& log, uint8_t choice, const char* tag, int level, const Arguments& x,
                      std::string& levelText) {
    levelText = std::to_string(level);
    switch (choice % 6) {
        case 0:
            log.DebugLvl(tag, level, "failed to set curl option:[CURLOPT_URL] err:[%s]", x.a.c_str());
            return Expected("failed to set curl option:[CURLOPT_URL] err:[%s]", x.a.c_str());
        case 1:
            log.DebugLvl(tag, level,
                         "curl-err:[%s] http-resp:[%ld] url:[%s] req-data:[%s] len:[%d] server-resp:[%s] "
                         "resp-size:[%d]",
                         x.a.c_str(), x.number, x.b.c_str(), x.c.c_str(), x.small, x.d.c_str(), x.small);
            return Expected(
                "curl-err:[%s] http-resp:[%ld] url:[%s] req-data:[%s] len:[%d] server-resp:[%s] "
                "resp-size:[%d]",
                x.a.c_str(), x.number, x.b.c_str(), x.c.c_str(), x.small, x.d.c_str(), x.small);
        case 2:
            log.DebugLvl(tag, level, "Not sure client \"%s\" firewalled or not, err:[%s]", x.a.c_str(),
                         x.b.c_str());
            return Expected("Not sure client \"%s\" firewalled or not, err:[%s]", x.a.c_str(), x.b.c_str());
        case 3:
            log.DebugLvl(tag, level, "failed to set curl option:[%d] err:[%s]", x.small, x.a.c_str());
            return Expected("failed to set curl option:[%d] err:[%s]", x.small, x.a.c_str());
        case 4:
            levelText = "-";
            log.Debug(tag, "type [%d] not implemented", x.small);
            return Expected("type [%d] not implemented", x.small);
        default:
            log.DebugLvl(tag, level, "%s", x.d.c_str());
            return x.d.c_str();
    }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD HH:MM:SS.mmm <tid> ": the part of a line before its level.
size_t StampAndThreadLength(const std::string& line) {
    const std::string layout = "dddd-dd-dd dd:dd:dd.ddd ";
    KYFUZZ_CHECK(line.size() > layout.size());
    for (size_t i = 0; i < layout.size(); ++i)
        KYFUZZ_CHECK(layout[i] == 'd' ? IsDigit(line[i]) : line[i] == layout[i]);
    const std::string tid = std::to_string(syscall(SYS_gettid)) + " ";
    KYFUZZ_CHECK(line.compare(layout.size(), tid.size(), tid) == 0);
    return layout.size() + tid.size();
}

}  // namespace

int FuzzLoggerFormat(const uint8_t* data, size_t size) {
    static MemoryLog file;
    static EvDebugFileInstance destination(file.path());
    EvDebug log(&destination);
    file.Clear();

    ByteReader in(data, size);
    const ThresholdRestore restore;
    const int threshold = SetThreshold(in.Byte());
    const uint8_t choice = in.Byte();
    const bool nullTag = (choice & 0x80) != 0;
    const std::string tag = in.ShortString().c_str();
    const int level = in.Int();
    Arguments x;
    const long high = in.Int();
    x.number = high * 65536 + in.Int();
    x.small = in.Int();
    x.a = in.ShortString().c_str();
    x.b = in.ShortString().c_str();
    x.c = in.ShortString().c_str();
    x.d = in.Rest().c_str();

    std::string levelText;
    const std::string message = WriteLine(log, choice, nullTag ? nullptr : tag.c_str(), level, x, levelText);
    const std::string line = file.Content();
    if (levelText != "-" && level > threshold) {
        KYFUZZ_CHECK(line.empty());
        return 0;
    }
    std::string shown = message;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    const std::string tail =
        levelText + " " + Escaped(nullTag ? "(null)" : tag) + ": " + Escaped(shown) + "\n";
    const size_t head = StampAndThreadLength(line);
    KYFUZZ_CHECK(line.compare(head, std::string::npos, tail) == 0);
    KYFUZZ_CHECK(line.find('\n') == line.size() - 1);
    return 0;
}

}  // namespace kyfuzz
