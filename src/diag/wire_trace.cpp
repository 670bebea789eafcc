// The wire trace: toggleTrace switches it on a session's handle, KYCurlTracer appends one record to "log.txt"
// per call of libcurl's debug callback, and dumpTrace formats a data record. Each record is built in memory
// and handed to one write() on a descriptor opened for appending, so the records of transfers tracing on
// several threads at once never mix. A data record is a header line, then rows of offset, hex cells (hex
// mode) and characters; text mode has wider rows and turns every CR LF into a row end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CurlWrapper.h"
#include "diag/trace_labels.h"
#include "kylibcurl.h"
#include "platform/write_all.h"

namespace {

// One byte holding 1, handed to libcurl as the trace's debug data, so every trace switched on by toggleTrace
// is written in text mode. It lives as long as the library, since libcurl keeps its address while tracing is
// on.
char g_traceTextOnly = 1;

using namespace kylibcurl::detail;

constexpr const char* kTraceFileName = "log.txt";

// The trace holds whole header blocks, credentials and cookies included, so a new file is readable by its
// owner only; an existing file keeps the permissions it has. Only a regular file of the process's own user
// is written, and never through a link: a symbolic or hard link planted at "log.txt", or a file someone
// else left there for everyone to write, would lead the trace into a file of the planter's choice. A FIFO is
// refused without waiting for a reader. A refused file leaves the record unwritten.
bool IsOwnPlainFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == geteuid();
}

int OpenTraceFile() {
    const int fd =
        open(kTraceFileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    if (!IsOwnPlainFile(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

// One record, gathered in memory. A record that could not be built whole is not written, and one the file
// cannot take whole (a full file system) leaves nothing of it behind.
class Record {
  public:
    Record() : m_stream(open_memstream(&m_data, &m_size)) {}
    ~Record() {
        if (m_stream) fclose(m_stream);
        free(m_data);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    FILE* stream() const { return m_stream; }

    void WriteTo(int fd) {
        if (!m_stream || fflush(m_stream) != 0 || ferror(m_stream)) return;
        AppendWhole(fd, m_data, m_size);
    }

  private:
    char* m_data = nullptr;
    size_t m_size = 0;
    FILE* m_stream;
};

// libcurl's messages end with their own line break. The text is read within its size: libcurl does not
// promise a terminating zero, and the record ends at the first zero byte, as a C string would.
void PutInfoRecord(FILE* stream, const char* data, size_t size) {
    fputs(kTraceInfoPrefix, stream);
    if (data) fwrite(data, 1, strnlen(data, size), stream);
}

// The record of one call: a data record when label is set, else an informational one.
void AppendRecord(int fd, const char* label, char* data, size_t size, const void* traceData) {
    Record record;
    if (!record.stream()) return;
    if (label) {
        const char textOnly = traceData ? *static_cast<const char*>(traceData) : char{0};
        KYLibCurl::dumpTrace(label, record.stream(), reinterpret_cast<unsigned char*>(data), size, textOnly);
    } else {
        PutInfoRecord(record.stream(), data, size);
    }
    record.WriteTo(fd);
}

}  // namespace

int KYLibCurl::KYCurlTracer(void* /*handle*/, curl_infotype type, char* data, size_t size, void* traceData) {
    const int fd = OpenTraceFile();
    if (fd < 0) return 0;

    // Unsigned, so that negative info types count as unknown too: they leave the file as it was.
    const unsigned kind = static_cast<unsigned>(type);
    const char* label = TraceDataLabel(kind);
    if (label || kind == CURLINFO_TEXT) AppendRecord(fd, label, data, size, traceData);
    close(fd);
    return 0;
}

// Switches the wire trace of this session's transfer handle on or off.
void KYLibCurl::toggleTrace(bool on) {
    void* tracer = on ? reinterpret_cast<void*>(&KYLibCurl::KYCurlTracer) : nullptr;
    void* textMode = on ? static_cast<void*>(&g_traceTextOnly) : nullptr;
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_DEBUGFUNCTION, tracer);
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_DEBUGDATA, textMode);
    CurlWrapper::gCurlWrapper.Curl_easy_setopt(m_curlHandle, CURLOPT_VERBOSE, on ? 1 : 0);
}

namespace {

constexpr size_t kHexRowWidth = 16;
constexpr size_t kTextRowWidth = 64;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr char kLowerHexDigits[] = "0123456789abcdef";

// Room for the widest offset of a 64-bit size, the hex cells, the character column and the line feed.
constexpr size_t kRowCapacity = 16 + 2 + 3 * kHexRowWidth + kTextRowWidth + 1;

bool IsCrLfAt(const unsigned char* data, size_t size, size_t pos) {
    return pos + 1 < size && data[pos] == kCr && data[pos + 1] == kLf;
}

// Printable ASCII and DEL stand for themselves; everything else would garble the text file.
char CharColumnForm(unsigned char byte) {
    return (byte >= 0x20 && byte <= 0x7F) ? static_cast<char>(byte) : '.';
}

// The offset as "%4.4lx: " writes it: lower-case hex, at least four digits.
size_t PutOffset(char* out, size_t offset) {
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = kLowerHexDigits[offset & 0xF];
        offset >>= 4;
    } while (offset != 0);
    size_t n = 0;
    for (size_t pad = count; pad < 4; ++pad) out[n++] = '0';
    while (count > 0) out[n++] = digits[--count];
    out[n++] = ':';
    out[n++] = ' ';
    return n;
}

// Sixteen cells of "%02x " for the bytes inside the block, three spaces past its end.
size_t PutHexColumn(char* out, const unsigned char* data, size_t size, size_t rowStart) {
    size_t n = 0;
    for (size_t c = 0; c < kHexRowWidth; ++c) {
        const bool inside = rowStart + c < size;
        const unsigned char byte = inside ? data[rowStart + c] : 0;
        out[n++] = inside ? kLowerHexDigits[byte >> 4] : ' ';
        out[n++] = inside ? kLowerHexDigits[byte & 0xF] : ' ';
        out[n++] = ' ';
    }
    return n;
}

// Puts the character column of the row starting at rowStart; sets next to where the next row starts.
size_t PutCharColumn(char* out, const unsigned char* data, size_t size, size_t rowStart, size_t width,
                     bool textOnly, size_t& next) {
    size_t n = 0;
    next = rowStart + width;
    for (size_t c = 0; c < width && rowStart + c < size; ++c) {
        const size_t pos = rowStart + c;
        if (textOnly && IsCrLfAt(data, size, pos)) {
            next = pos + 2;
            break;
        }
        out[n++] = CharColumnForm(data[pos]);
        // A CR LF right after this byte belongs to this row, even after its last character.
        if (textOnly && IsCrLfAt(data, size, pos + 1)) {
            next = pos + 3;
            break;
        }
    }
    return n;
}

}  // namespace

void KYLibCurl::dumpTrace(const char* label, FILE* stream, unsigned char* data, size_t size, char textOnly) {
    if (!stream) return;
    const bool text = textOnly != 0;
    const size_t width = text ? kTextRowWidth : kHexRowWidth;

    fprintf(stream, "%s, %10.10ld bytes (0x%8.8lx)\n", label, static_cast<long>(size),
            static_cast<unsigned long>(size));
    char row[kRowCapacity];
    size_t rowStart = 0;
    while (rowStart < size) {
        size_t n = PutOffset(row, rowStart);
        if (!text) n += PutHexColumn(row + n, data, size, rowStart);
        size_t next = 0;
        n += PutCharColumn(row + n, data, size, rowStart, width, text, next);
        row[n++] = '\n';
        fwrite(row, 1, n, stream);
        rowStart = next;
    }
    fflush(stream);
}
