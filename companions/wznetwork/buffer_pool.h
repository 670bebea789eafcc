// The relay's buffers: mapped when a flow needs one, kept for reuse up to a few, unmapped beyond, so that
// the memory of a burst of connections goes back to the system once they have closed.
#ifndef WZNETWORK_BUFFER_POOL_H
#define WZNETWORK_BUFFER_POOL_H

#include <cstddef>

namespace kyfw {

// Not locked: the relay uses it under its own lock.
class BufferPool {
  public:
    BufferPool() = default;
    ~BufferPool();
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;

    // A buffer of kRelayBufferSize bytes, or null when no memory could be had.
    char* take();
    void giveBack(char* buffer);
    // Bytes of the buffers in use and of those kept for reuse.
    size_t bytesHeld() const;

  private:
    struct FreeBuffer {
        FreeBuffer* next;
    };

    FreeBuffer* m_kept = nullptr;
    size_t m_keptCount = 0;
    size_t m_inUse = 0;
};

}  // namespace kyfw

#endif
