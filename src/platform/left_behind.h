// The locks a forked child inherits and can neither release nor destroy: a thread that does not exist in
// the child may hold them. Each is left behind, a few bytes once per child, and kept reachable for good
// so that it does not read as a leak.
#ifndef KYLIBCURL_PLATFORM_LEFT_BEHIND_H
#define KYLIBCURL_PLATFORM_LEFT_BEHIND_H

namespace kylibcurl::detail {

struct LeftBehindNote;

// Makes room to note one lock as left behind, before its replacement is made, so that a lock is only ever
// replaced when it can be kept; the room goes again unless Keep is called.
class LeftBehind {
  public:
    explicit LeftBehind(const void* lock) noexcept;
    ~LeftBehind();
    LeftBehind(const LeftBehind&) = delete;
    LeftBehind& operator=(const LeftBehind&) = delete;

    // False when there was no memory for the note: the inherited lock must then stay in use.
    bool ready() const { return m_note != nullptr; }
    // The lock has been replaced: it stays noted for the rest of the process.
    void Keep();

  private:
    LeftBehindNote* m_note;
};

}  // namespace kylibcurl::detail

#endif
