#include "session/caller_read_function.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

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

}  // namespace kylibcurl::detail
