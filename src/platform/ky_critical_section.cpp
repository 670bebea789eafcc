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

namespace {

// Inner locks left behind in forked children: never released, and kept reachable so that they do not
// read as leaks.
struct LeftBehind {
    KyCriticalSectionH* lock;
    LeftBehind* next;
};
LeftBehind* g_leftBehind = nullptr;

}  // namespace

// The inherited inner lock is left behind, a few bytes once per child: it cannot be released or destroyed
// safely while a thread of the parent may have held it.
bool KyCriticalSection::renewInChild() {
    auto* record = new (std::nothrow) LeftBehind{m_cs, g_leftBehind};
    KyCriticalSectionH* fresh = record ? new (std::nothrow) KyCriticalSectionH() : nullptr;
    if (!fresh) {
        delete record;
        return false;
    }
    g_leftBehind = record;
    m_cs = fresh;
    return true;
}
