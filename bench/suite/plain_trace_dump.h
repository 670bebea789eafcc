// The baseline of the trace figure: the same record dumpTrace writes, built row by row in a local buffer
// and handed to the stream with one fwrite per row instead of one stdio call per byte.
#ifndef KYBENCH_SUITE_PLAIN_TRACE_DUMP_H
#define KYBENCH_SUITE_PLAIN_TRACE_DUMP_H

#include <cstddef>
#include <cstdio>

namespace kybench {

void PlainTraceDump(const char* label, FILE* stream, const unsigned char* data, size_t size, bool textOnly);

}  // namespace kybench

#endif
