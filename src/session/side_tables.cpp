#include "session/side_tables.h"

#include "kylibcurl.h"

namespace kylibcurl::detail {

namespace {

// An open-addressing set of session addresses. A slot is empty (never used: a search ends there), holds
// a session, or is free again. Freed slots are never emptied, so a search looks at most kProbes slots from
// a session's home: over a long process its cost stays bounded. A session that finds no slot there is not
// noted, and a length without data is refused for it.
constexpr size_t kSlots = 16384;
constexpr size_t kProbes = 64;
std::atomic<uintptr_t> g_slots[kSlots];
constexpr uintptr_t kEmpty = 0;
constexpr uintptr_t kFreed = 1;
// Sessions in the set: while there are none, nothing is searched.
std::atomic<size_t> g_held{0};

uintptr_t Key(const KYLibCurl& session) { return reinterpret_cast<uintptr_t>(&session); }

size_t Home(uintptr_t key) { return (key >> 4) * 0x9E3779B97F4A7C15ull % kSlots; }

// The slot that holds the session, or null. A session is only ever added or removed by the one thread
// that uses it, so it cannot appear while this searches.
std::atomic<uintptr_t>* Find(uintptr_t key) {
    if (g_held.load(std::memory_order_acquire) == 0) return nullptr;
    for (size_t probe = 0, slot = Home(key); probe < kProbes; ++probe, slot = (slot + 1) % kSlots) {
        const uintptr_t held = g_slots[slot].load(std::memory_order_acquire);
        if (held == key) return &g_slots[slot];
        if (held == kEmpty) return nullptr;
    }
    return nullptr;
}

// Takes the first empty or freed slot from the session's home on; other threads may take slots at once.
void Add(uintptr_t key) {
    for (size_t probe = 0, slot = Home(key); probe < kProbes; ++probe, slot = (slot + 1) % kSlots) {
        uintptr_t held = g_slots[slot].load(std::memory_order_acquire);
        while (held == kEmpty || held == kFreed) {
            if (g_slots[slot].compare_exchange_weak(held, key, std::memory_order_acq_rel)) {
                g_held.fetch_add(1, std::memory_order_release);
                return;
            }
        }
    }
}

}  // namespace

void NoteCallerReadFunction(const KYLibCurl& session, bool installed) {
    std::atomic<uintptr_t>* slot = Find(Key(session));
    if (installed && !slot) return Add(Key(session));
    if (installed || !slot) return;
    slot->store(kFreed, std::memory_order_release);
    g_held.fetch_sub(1, std::memory_order_release);
}

bool HasCallerReadFunction(const KYLibCurl& session) { return Find(Key(session)) != nullptr; }

namespace {

EndRecord g_records[kRecords];
// Raised when an end could not be forgotten in its record: every record noted before is void.
std::atomic<uint64_t> g_generation{0};
std::atomic<size_t> g_walked{0};

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

EndRecord& RecordFor(const KYLibCurl& session) {
    const auto address = reinterpret_cast<uintptr_t>(&session);
    return g_records[(address >> 4) * 0x9E3779B97F4A7C15ull % kRecords];
}

}  // namespace kylibcurl::detail
