// Pipes through which the relay splices bytes from one socket to another without copying them through
// user space. A flow takes one while bytes wait in it and gives it back empty; a few are kept for reuse.
#ifndef WZNETWORK_PIPE_POOL_H
#define WZNETWORK_PIPE_POOL_H

#include <atomic>
#include <cstddef>

namespace kyfw {

struct Pipe {
    int read = -1;
    int write = -1;
    size_t capacity = 0;
    explicit operator bool() const { return read >= 0; }
};

// The relay thread's alone; only the count of bytes held may be read by any thread.
class PipePool {
  public:
    PipePool() = default;
    ~PipePool() { trim(0); }
    PipePool(const PipePool&) = delete;
    PipePool& operator=(const PipePool&) = delete;

    // An empty pipe, or an empty record when none could be had (the process may be out of descriptors).
    Pipe take();
    // Takes back an empty pipe; one that still holds bytes is closed.
    void giveBack(Pipe& pipe, bool empty);
    // Closes the kept pipes beyond most, as when descriptors run short.
    void trim(size_t most);
    // The capacity of the pipes in use and of those kept.
    size_t bytesHeld() const { return m_inUse + m_keptBytes; }

  private:
    static constexpr size_t kMostKept = 4;
    Pipe m_kept[kMostKept];
    size_t m_keptCount = 0;
    std::atomic<size_t> m_inUse{0};
    std::atomic<size_t> m_keptBytes{0};
};

}  // namespace kyfw

#endif
