#include "session/side_tables.h"

#include "kylibcurl.h"

namespace kylibcurl::detail {

namespace {

// Where a session's address lands in a table of the given size: the low four bits of an address vary
// little between objects, and the multiplication (Fibonacci hashing) spreads the rest over the table.
size_t HomeOf(uintptr_t address, size_t size) { return (address >> 4) * 0x9E3779B97F4A7C15ull % size; }

// An open-addressing set of session addresses. A slot is empty (never used: a search ends there), holds
// a session, or is free again. Freed slots are never emptied, so a search looks at most kProbes slots from
// a session's home: over a long process its cost stays bounded. A session that finds no slot there is not
// noted.
constexpr size_t kSlots = 16384;
constexpr size_t kProbes = 64;
constexpr uintptr_t kEmpty = 0;
constexpr uintptr_t kFreed = 1;
constexpr size_t kNoSlot = kSlots;

uintptr_t Key(const KYLibCurl& session) { return reinterpret_cast<uintptr_t>(&session); }

size_t Home(uintptr_t key) { return HomeOf(key, kSlots); }

struct AddressSet {
    std::atomic<uintptr_t> slots[kSlots];
    // Sessions in the set: while there are none, nothing is searched.
    std::atomic<size_t> held{0};

    // The slot that holds the session, or kNoSlot. A session is only ever added or removed by the one
    // thread that uses it, so it cannot appear while this searches.
    size_t Find(uintptr_t key) const {
        if (held.load(std::memory_order_acquire) == 0) return kNoSlot;
        for (size_t probe = 0, slot = Home(key); probe < kProbes; ++probe, slot = (slot + 1) % kSlots) {
            const uintptr_t found = slots[slot].load(std::memory_order_acquire);
            if (found == key) return slot;
            if (found == kEmpty) return kNoSlot;
        }
        return kNoSlot;
    }

    // Takes the first empty or freed slot from the session's home on; other threads may take slots at
    // once. kNoSlot when none is left there.
    size_t Add(uintptr_t key) {
        for (size_t probe = 0, slot = Home(key); probe < kProbes; ++probe, slot = (slot + 1) % kSlots) {
            uintptr_t found = slots[slot].load(std::memory_order_acquire);
            while (found == kEmpty || found == kFreed) {
                if (slots[slot].compare_exchange_weak(found, key, std::memory_order_acq_rel)) {
                    held.fetch_add(1, std::memory_order_release);
                    return slot;
                }
            }
        }
        return kNoSlot;
    }

    void Remove(size_t slot) {
        slots[slot].store(kFreed, std::memory_order_release);
        held.fetch_sub(1, std::memory_order_release);
    }
};

// Sessions whose handle has a read callback of the caller's; without a slot a length without data is
// refused for the session.
AddressSet g_callerReaders;

// Sessions with a transfer result noted, and each one's result in the slot of the same index.
AddressSet g_resultHolders;
std::atomic<int> g_results[kSlots];

}  // namespace

void NoteCallerReadFunction(const KYLibCurl& session, bool installed) {
    const size_t slot = g_callerReaders.Find(Key(session));
    if (installed && slot == kNoSlot) {
        g_callerReaders.Add(Key(session));
        return;
    }
    if (installed || slot == kNoSlot) return;
    g_callerReaders.Remove(slot);
}

bool HasCallerReadFunction(const KYLibCurl& session) { return g_callerReaders.Find(Key(session)) != kNoSlot; }

void NoteTransferResult(const KYLibCurl& session, CURLcode result) {
    size_t slot = g_resultHolders.Find(Key(session));
    if (slot == kNoSlot) slot = g_resultHolders.Add(Key(session));
    if (slot != kNoSlot) g_results[slot].store(result, std::memory_order_release);
}

void ForgetTransferResult(const KYLibCurl& session) {
    const size_t slot = g_resultHolders.Find(Key(session));
    if (slot != kNoSlot) g_resultHolders.Remove(slot);
}

CURLcode NotedTransferResult(const KYLibCurl& session) {
    const size_t slot = g_resultHolders.Find(Key(session));
    if (slot == kNoSlot) return CURLE_FAILED_INIT;
    return static_cast<CURLcode>(g_results[slot].load(std::memory_order_acquire));
}

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

EndRecord& RecordFor(const KYLibCurl& session) { return g_records[HomeOf(Key(session), kRecords)]; }

}  // namespace kylibcurl::detail
