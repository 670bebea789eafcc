// The relay's buffers: mapped when a flow needs one, kept for reuse up to a few, unmapped beyond, so that
// the memory of a burst of connections goes back to the system once they have closed.
#ifndef WZNETWORK_BUFFER_POOL_H
#define WZNETWORK_BUFFER_POOL_H

#include <atomic>
#include <cstddef>

namespace kyfw {

// The relay thread's alone; only the count of bytes held may be read by any thread.
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
    std::atomic<size_t> m_keptCount{0};
    std::atomic<size_t> m_inUse{0};
};

}  // namespace kyfw

#endif
