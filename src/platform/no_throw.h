// No call of the library throws. Where the standard library's strings and containers allocate, an
// allocation that fails is turned into the call's own failure at the public boundary and in each callback
// libcurl calls (no exception may cross libcurl's C frames).
#ifndef KYLIBCURL_PLATFORM_NO_THROW_H
#define KYLIBCURL_PLATFORM_NO_THROW_H

#include <new>

#include "platform/globals.h"

namespace kylibcurl::detail {

// Gives call's result, or failed when an allocation inside call failed; tag, when not null, names the
// call in the one line that reports it.
template <typename Result, typename Call>
Result UnlessOutOfMemory(const char* tag, Result failed, Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        if (tag) m_dbg.DebugLvl(tag, -1, "out of memory");
        return failed;
    }
}

}  // namespace kylibcurl::detail

#endif
