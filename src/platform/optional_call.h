// Calls a companion library may or may not have: looked up by name at run time, so that the library still
// loads and works beside companions without them.
#ifndef KYLIBCURL_PLATFORM_OPTIONAL_CALL_H
#define KYLIBCURL_PLATFORM_OPTIONAL_CALL_H

#include <dlfcn.h>

namespace kylibcurl::detail {

// The symbol name as the loaded object that holds anchor finds it (that object first, then what it was
// loaded with); null when there is none. Only the reference taken here is dropped: the object stays loaded.
inline void* FindCallBeside(const void* anchor, const char* name) {
    Dl_info info{};
    if (dladdr(anchor, &info) == 0 || !info.dli_fname) return nullptr;
    void* object = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!object) return nullptr;
    void* found = dlsym(object, name);
    dlclose(object);
    return found;
}

}  // namespace kylibcurl::detail

#endif
