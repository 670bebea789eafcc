#include <dlfcn.h>

#include "diag/log_text.h"

namespace kylibcurl::detail {

namespace {

using LevelQuery = int (*)();

// The logger's contract is DebugLvl, Debug and its constructor; a logger may also tell its threshold
// through a static EvDebug::Level(). It is looked up by name among the objects this library was loaded
// with (its own dependencies first, also when it was loaded on its own with dlopen), so that the library
// still loads beside a logger that has no such call.
LevelQuery FindLevelQuery() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&FindLevelQuery), &self) == 0 || !self.dli_fname) return nullptr;
    void* library = dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return nullptr;
    void* query = dlsym(library, "_ZN7EvDebug5LevelEv");
    dlclose(library);
    return reinterpret_cast<LevelQuery>(query);
}

// Found while the library loads, before any thread of the caller's can log through it.
const LevelQuery g_levelQuery = FindLevelQuery();

}  // namespace

bool LoggerDropsLevel(int level) { return g_levelQuery && level > g_levelQuery(); }

}  // namespace kylibcurl::detail
