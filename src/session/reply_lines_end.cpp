#include "session/reply_lines_end.h"

#include <atomic>
#include <cstdint>

#include "kylibcurl.h"

namespace kylibcurl::detail {

namespace {

struct EndRecord {
    std::atomic<bool> inUse{false};
    const KYLibCurl* session = nullptr;
    const curl_slist* head = nullptr;
    curl_slist* last = nullptr;
    uint64_t generation = 0;
};

// Sessions share records by their address; two sessions that meet in one record take turns in it.
constexpr size_t kRecords = 256;
EndRecord g_records[kRecords];
// Raised when an end could not be forgotten in its record: every record noted before is void.
std::atomic<uint64_t> g_generation{0};
std::atomic<size_t> g_walked{0};

EndRecord& RecordFor(const KYLibCurl& session) {
    const auto address = reinterpret_cast<uintptr_t>(&session);
    return g_records[(address >> 4) * 0x9E3779B97F4A7C15ull % kRecords];
}

// Never waits: a record in use by another thread is left alone.
class RecordTurn {
  public:
    explicit RecordTurn(EndRecord& record)
        : m_record(record), m_taken(!record.inUse.exchange(true, std::memory_order_acquire)) {}
    ~RecordTurn() {
        if (m_taken) m_record.inUse.store(false, std::memory_order_release);
    }
    RecordTurn(const RecordTurn&) = delete;
    RecordTurn& operator=(const RecordTurn&) = delete;
    bool taken() const { return m_taken; }

  private:
    EndRecord& m_record;
    const bool m_taken;
};

curl_slist* NotedEnd(const KYLibCurl& session) {
    EndRecord& record = RecordFor(session);
    const RecordTurn turn(record);
    if (!turn.taken() || record.session != &session || record.head != session.m_respHeaders ||
        record.generation != g_generation.load(std::memory_order_acquire))
        return nullptr;
    return record.last;
}

// Lines appended after the noted end (by a transfer performed without the library's perform step) are
// passed over from there.
curl_slist* WalkToEnd(curl_slist* line) {
    size_t walked = 0;
    for (; line && line->next; line = line->next) ++walked;
    if (walked) g_walked.fetch_add(walked, std::memory_order_relaxed);
    return line;
}

}  // namespace

curl_slist* ReplyLinesEnd(const KYLibCurl& session) {
    if (!session.m_respHeaders) return nullptr;
    curl_slist* noted = NotedEnd(session);
    return WalkToEnd(noted ? noted : session.m_respHeaders);
}

void NoteReplyLinesEnd(const KYLibCurl& session, const curl_slist* head, curl_slist* last) {
    EndRecord& record = RecordFor(session);
    const RecordTurn turn(record);
    if (!turn.taken()) return;
    record.session = &session;
    record.head = head;
    record.last = last;
    record.generation = g_generation.load(std::memory_order_acquire);
}

void ForgetReplyLinesEnd(const KYLibCurl& session) {
    EndRecord& record = RecordFor(session);
    const RecordTurn turn(record);
    if (!turn.taken()) {
        g_generation.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    if (record.session == &session) record.session = nullptr;
}

size_t ReplyLinesWalked() { return g_walked.load(std::memory_order_relaxed); }

}  // namespace kylibcurl::detail
