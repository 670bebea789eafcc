#include <new>

#include "KyCriticalSectionH.h"
#include "kylibcurl.h"

KyCriticalSection::KyCriticalSection() : m_cs(new (std::nothrow) KyCriticalSectionH()) {
    if (!m_cs) throw "Not enough memory to initialize KyCriticalSection";
}

KyCriticalSection::~KyCriticalSection() {
    delete m_cs;
    m_cs = nullptr;
}

bool KyCriticalSection::enter(bool wait) { return m_cs->enter(wait); }

void KyCriticalSection::leave() { m_cs->leave(); }

// The inherited inner lock is left behind, a few bytes once per child: it cannot be released or destroyed
// safely while a thread of the parent may have held it.
bool KyCriticalSection::renewInChild() {
    KyCriticalSectionH* fresh = new (std::nothrow) KyCriticalSectionH();
    if (!fresh) return false;
    m_cs = fresh;
    return true;
}
