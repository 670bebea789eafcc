// Texts as they go into the library's log lines. Callers and servers hand over texts of any size (a URL,
// a client name, a request body, an error reply), so each one is cut to a bounded prefix that shows how
// much was left out; a line is never built from an unbounded copy.
#ifndef KYLIBCURL_DIAG_LOG_TEXT_H
#define KYLIBCURL_DIAG_LOG_TEXT_H

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

namespace kylibcurl::detail {

// Bytes of a text that a line shows; what follows them is counted, not shown.
constexpr size_t kLogTextLimit = 4096;
// What a line shows in place of a secret.
constexpr char kHidden[] = "***";
// Distinct secrets a text is searched for at most: a text that would need more is withheld whole, so that a
// URL or body holding thousands of credential fields cannot make a line costly to build.
constexpr size_t kMaxSecrets = 64;

// The length bytes at text, cut after kLogTextLimit bytes with the mark "...[N more bytes]" when N bytes
// were left out. No byte past length is read.
std::string BoundedText(const char* text, size_t length);
std::string BoundedText(const std::string& text);

// The same, with every occurrence of a secret in the text shown as "***" (the longest secret first where
// two start at one byte). A secret that starts within the shown part is hidden whole, wherever it ends.
// An occurrence counts where it stands as a word: a letter or digit at its edge touches none beside it.
std::string BoundedTextWithout(const char* text, size_t length, const std::vector<std::string>& secrets);

// True when the logger loaded beside the library is known to drop lines of this level. Only a logger that
// tells its threshold is asked (looked up once, when the library loads); any other is given every line.
bool LoggerDropsLevel(int level);

// Runs write, which builds and writes one or more lines at level, unless the logger is known to drop lines
// of that level: their texts are then never built. A line that cannot be built for want of memory is
// dropped: logging never throws into the caller's request.
//
// The rule for every line of the library: a line whose text is built for it (any argument made as a
// std::string: BoundedText, BoundedTextWithout, LoggedUrl, a URL or key put together for the line) is
// built and written inside LogSafely, so that an allocation that fails while building it never escapes a
// noexcept path or a libcurl callback, and never turns the step it reports on into a failure of its own.
// A line whose arguments are literals, numbers and texts that already exist (libcurl's error text, a
// method's name, a stored C string) is a bare m_dbg.DebugLvl call: the logger itself never throws, and
// it drops the lines of levels it does not write.
template <typename Write>
void LogSafely(int level, Write&& write) noexcept {
    try {
        if (LoggerDropsLevel(level)) return;
        write();
    } catch (const std::exception&) {
    }
}

}  // namespace kylibcurl::detail

#endif
