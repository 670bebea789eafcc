#include <new>

#include "KyCriticalSectionH.h"
#include "kylibcurl.h"
#include "platform/left_behind.h"

KyCriticalSection::KyCriticalSection() : m_cs(new (std::nothrow) KyCriticalSectionH()) {
    if (!m_cs) throw "Not enough memory to initialize KyCriticalSection";
}

KyCriticalSection::~KyCriticalSection() {
    delete m_cs;
    m_cs = nullptr;
}

void KyCriticalSection::enter(bool wait) { m_cs->enter(wait); }

void KyCriticalSection::leave() { m_cs->leave(); }

// The inherited inner lock is left behind: it cannot be released or destroyed safely while a thread of
// the parent may have held it.
bool KyCriticalSection::renewInChild() {
    kylibcurl::detail::LeftBehind leftBehind(m_cs);
    KyCriticalSectionH* fresh = leftBehind.ready() ? new (std::nothrow) KyCriticalSectionH() : nullptr;
    if (!fresh) return false;
    leftBehind.Keep();
    m_cs = fresh;
    return true;
}
