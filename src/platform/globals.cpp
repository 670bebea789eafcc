#include "platform/globals.h"

#include "kylibcurl.h"
#include "platform/fork_handlers.h"

bool KYLibCurlGlobal::m_global_init = false;
int KYLibCurlGlobal::refCounter = 0;

// Construction order within this one translation unit is the order of definition.
KyCriticalSection KYLibCurlGlobal::m_mutex;
FXCriticalSection g_handlerLock;
EvDebug m_dbg(nullptr);

namespace {

// After the locks it guards: the handlers use both.
struct ForkHandlerRegistration {
    ForkHandlerRegistration() { kylibcurl::detail::RegisterForkHandlers(); }
};
const ForkHandlerRegistration g_forkHandlerRegistration;

}  // namespace
