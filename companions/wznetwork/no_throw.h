// Nothing the firewall client does throws into its caller or ends the relay thread: an allocation that
// fails is turned into the failure of the one call, tunnel or connection that needed it.
#ifndef WZNETWORK_NO_THROW_H
#define WZNETWORK_NO_THROW_H

#include <new>

namespace kyfw {

// Gives call's result, or failed when an allocation inside call failed.
template <typename Result, typename Call>
Result UnlessOutOfMemory(Result failed, Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return failed;
    }
}

// Short enough to be kept without an allocation of its own.
inline constexpr char kOutOfMemory[] = "out of memory";

}  // namespace kyfw

#endif
