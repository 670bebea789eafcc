// How the logger puts one line into its destination: whole or not at all in a file, in full on anything
// else.
#ifndef WZUTILS_LINE_WRITE_H
#define WZUTILS_LINE_WRITE_H

#include <cstddef>

namespace wzutils {

// Writes every byte, going on after interruptions and short writes; false at the first write that fails or
// writes nothing.
bool writeAll(int fd, const char* data, size_t size);

// Appends a line to a file opened with O_APPEND in one write: true when all of it went out. A write cut
// short (a full file system, a file-size limit) is taken back while nothing was appended after it, so the
// file never holds part of a line. A descriptor that is not a regular file gets writeAll.
bool appendWholeLine(int fd, const char* data, size_t size);

}  // namespace wzutils

#endif
