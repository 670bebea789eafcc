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

void KyCriticalSection::enter(bool wait) { m_cs->enter(wait); }

void KyCriticalSection::leave() { m_cs->leave(); }
