#include "platform/left_behind.h"

#include <new>

namespace kylibcurl::detail {

struct LeftBehindNote {
    const void* lock;
    LeftBehindNote* next;
};

namespace {

// Written only in a child right after fork(), where the forking thread is the only one.
LeftBehindNote* g_leftBehind = nullptr;

}  // namespace

LeftBehind::LeftBehind(const void* lock) noexcept
    : m_note(new (std::nothrow) LeftBehindNote{lock, nullptr}) {}

LeftBehind::~LeftBehind() { delete m_note; }

void LeftBehind::Keep() {
    if (!m_note) return;
    m_note->next = g_leftBehind;
    g_leftBehind = m_note;
    m_note = nullptr;
}

}  // namespace kylibcurl::detail
