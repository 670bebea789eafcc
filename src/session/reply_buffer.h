// How the reply body buffer grows. It keeps its contract (a C-allocator block holding the body and one
// zero byte, released with free) while a body costs O(its size) to store in any process: within a
// transfer the block grows geometrically, never beyond the end the reply announced when that end holds
// what arrived, and the perform step gives back the room left over once the transfer is done.
#ifndef KYLIBCURL_SESSION_REPLY_BUFFER_H
#define KYLIBCURL_SESSION_REPLY_BUFFER_H

#include <cstddef>

class KYLibCurl;

namespace kylibcurl::detail {

// Makes the session's block hold at least need bytes; false when it cannot grow, the block unchanged.
bool MakeReplyRoom(KYLibCurl& session, size_t need);

// Shrinks the block to the body and its zero byte when it holds notably more; a block that cannot shrink
// stays as it is.
void TrimReplyBuffer(KYLibCurl& session);

}  // namespace kylibcurl::detail

#endif
