// libcurl's debug callback for the wire trace: one record appended to "log.txt" per call. Each record is
// built in memory and handed to one write() on a descriptor opened for appending, so the records of
// transfers tracing on several threads at once never mix.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/trace_labels.h"
#include "diag/trace_text_mode.h"
#include "kylibcurl.h"
#include "platform/write_all.h"

char g_traceTextOnly = 1;

namespace {

using kylibcurl::detail::kTraceInfoPrefix;
using kylibcurl::detail::TraceDataLabel;
using kylibcurl::detail::WriteAll;

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

// One record, gathered in memory. A record that could not be built whole is not written.
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
        WriteAll(fd, m_data, m_size);
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
