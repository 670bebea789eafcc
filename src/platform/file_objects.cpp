#include "platform/file_objects.h"

#include "kylibcurl.h"

bool KYLibCurlGlobal::m_global_init = false;
int KYLibCurlGlobal::refCounter = 0;

// Construction order within this one translation unit is the order of definition.
KyCriticalSection KYLibCurlGlobal::m_mutex;
FXCriticalSection g_handlerLock;
EvDebug m_dbg(nullptr);
