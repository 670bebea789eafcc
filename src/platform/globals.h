// The library's file-level objects. They are all defined in globals.cpp, in one translation unit,
// so that they are built in the order KYLibCurlGlobal::m_mutex, g_handlerLock, m_dbg and destroyed in
// reverse; the tunnel cache, a function-local static built later, is destroyed before all three.
#ifndef KYLIBCURL_PLATFORM_GLOBALS_H
#define KYLIBCURL_PLATFORM_GLOBALS_H

#include "EvDebug.h"
#include "platform/fx_critical_section.h"

extern FXCriticalSection g_handlerLock;  // guards the tunnel cache
extern EvDebug m_dbg;                    // every log line of the library

#endif
