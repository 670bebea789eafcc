// The library's process-wide locks across fork().
#ifndef KYLIBCURL_PLATFORM_FORK_HANDLERS_H
#define KYLIBCURL_PLATFORM_FORK_HANDLERS_H

namespace kylibcurl::detail {

// Registers, once, handlers that hold the initialisation lock and the tunnel cache lock across fork(), so
// that the parent's state is settled when the child is made, and that give the child both locks free:
// only the forking thread lives on there, and a lock held by any other thread would be held for ever.
void RegisterForkHandlers();

}  // namespace kylibcurl::detail

#endif
