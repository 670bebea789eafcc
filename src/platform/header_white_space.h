// The white space of a header line: spaces and tabs, trimmed from the ends of a line and of a field's value
// and standing between the words of a credential scheme. Line-end characters are not blank: they stay.
#ifndef KYLIBCURL_PLATFORM_HEADER_WHITE_SPACE_H
#define KYLIBCURL_PLATFORM_HEADER_WHITE_SPACE_H

namespace kylibcurl::detail {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace kylibcurl::detail

#endif
