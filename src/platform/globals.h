// The library's file-level objects. They are all defined in globals.cpp, in one translation unit,
// so that they are built in the order KYLibCurlGlobal::m_mutex, g_handlerLock, m_dbg and destroyed in
// reverse; the tunnel cache, a function-local static built later, is destroyed before all three. While
// the library is loaded, the initialisation lock, the tunnel cache lock and the share pool's lock are held
// across fork(), so that the parent's state is settled when the child is made, and the child gets all
// three free: only the forking thread lives on there, and a lock held by any other thread would be held
// for ever.
#ifndef KYLIBCURL_PLATFORM_GLOBALS_H
#define KYLIBCURL_PLATFORM_GLOBALS_H

#include "EvDebug.h"
#include "platform/fx_critical_section.h"

extern FXCriticalSection g_handlerLock;  // guards the tunnel cache
extern EvDebug m_dbg;                    // every log line of the library

#endif
