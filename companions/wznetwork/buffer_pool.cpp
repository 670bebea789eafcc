#include "buffer_pool.h"

#include <sys/mman.h>

#include "KyFwControl.h"

namespace kyfw {
namespace {

// Enough for a few bulk flows to trade buffers without a system call, little against the memory of a
// busy relay.
constexpr size_t kMostKept = 16;

}  // namespace

BufferPool::~BufferPool() {
    while (m_kept) {
        FreeBuffer* next = m_kept->next;
        munmap(m_kept, kRelayBufferSize);
        m_kept = next;
    }
}

char* BufferPool::take() {
    if (m_kept) {
        FreeBuffer* buffer = m_kept;
        m_kept = buffer->next;
        --m_keptCount;
        ++m_inUse;
        return reinterpret_cast<char*>(buffer);
    }
    // A mapping of its own, unlike a heap block of this size, is given back whole when it is freed.
    void* mapped =
        mmap(nullptr, kRelayBufferSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    ++m_inUse;
    return static_cast<char*>(mapped);
}

void BufferPool::giveBack(char* buffer) {
    if (!buffer) return;
    --m_inUse;
    if (m_keptCount == kMostKept) {
        munmap(buffer, kRelayBufferSize);
        return;
    }
    auto* kept = reinterpret_cast<FreeBuffer*>(buffer);
    kept->next = m_kept;
    m_kept = kept;
    ++m_keptCount;
}

size_t BufferPool::bytesHeld() const { return (m_inUse + m_keptCount) * kRelayBufferSize; }

}  // namespace kyfw
