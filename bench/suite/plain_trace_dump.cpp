#include "plain_trace_dump.h"

namespace kybench {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsCrLfAt(const unsigned char* data, size_t size, size_t pos) {
    return pos + 1 < size && data[pos] == 0x0D && data[pos + 1] == 0x0A;
}

char CharForm(unsigned char byte) { return byte >= 0x20 && byte <= 0x7F ? static_cast<char>(byte) : '.'; }

}  // namespace

void PlainTraceDump(const char* label, FILE* stream, const unsigned char* data, size_t size, bool textOnly) {
    const size_t width = textOnly ? 64 : 16;
    fprintf(stream, "%s, %10.10ld bytes (0x%8.8lx)\n", label, static_cast<long>(size),
            static_cast<unsigned long>(size));
    char row[256];
    for (size_t start = 0; start < size;) {
        int used = snprintf(row, sizeof row, "%4.4lx: ", static_cast<unsigned long>(start));
        char* out = row + used;
        if (!textOnly) {
            for (size_t c = 0; c < 16; ++c) {
                bool inside = start + c < size;
                *out++ = inside ? kHex[data[start + c] >> 4] : ' ';
                *out++ = inside ? kHex[data[start + c] & 0x0F] : ' ';
                *out++ = ' ';
            }
        }
        size_t next = start + width;
        for (size_t c = 0; c < width && start + c < size; ++c) {
            size_t pos = start + c;
            if (textOnly && IsCrLfAt(data, size, pos)) {
                next = pos + 2;
                break;
            }
            *out++ = CharForm(data[pos]);
            if (textOnly && IsCrLfAt(data, size, pos + 1)) {
                next = pos + 3;
                break;
            }
        }
        *out++ = '\n';
        fwrite(row, 1, static_cast<size_t>(out - row), stream);
        start = next;
    }
    fflush(stream);
}

}  // namespace kybench
