// One data record of the wire trace: a header line, then rows of offset, hex cells (hex mode) and
// characters. Text mode has wider rows and turns every CR LF into a row end. Each row is built in a
// buffer and written with one call: the trace runs inside the transfer, once per block.
#include <cstdio>

#include "kylibcurl.h"

namespace {

constexpr size_t kHexRowWidth = 16;
constexpr size_t kTextRowWidth = 64;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr char kHexDigits[] = "0123456789abcdef";

// Room for the widest offset of a 64-bit size, the hex cells, the character column and the line feed.
constexpr size_t kRowCapacity = 16 + 2 + 3 * kHexRowWidth + kTextRowWidth + 1;

bool IsCrLfAt(const unsigned char* data, size_t size, size_t pos) {
    return pos + 1 < size && data[pos] == kCr && data[pos + 1] == kLf;
}

// Printable ASCII and DEL stand for themselves; everything else would garble the text file.
char CharColumnForm(unsigned char byte) {
    return (byte >= 0x20 && byte <= 0x7F) ? static_cast<char>(byte) : '.';
}

// The offset as "%4.4lx: " writes it: lower-case hex, at least four digits.
size_t PutOffset(char* out, size_t offset) {
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = kHexDigits[offset & 0xF];
        offset >>= 4;
    } while (offset != 0);
    size_t n = 0;
    for (size_t pad = count; pad < 4; ++pad) out[n++] = '0';
    while (count > 0) out[n++] = digits[--count];
    out[n++] = ':';
    out[n++] = ' ';
    return n;
}

// Sixteen cells of "%02x " for the bytes inside the block, three spaces past its end.
size_t PutHexColumn(char* out, const unsigned char* data, size_t size, size_t rowStart) {
    size_t n = 0;
    for (size_t c = 0; c < kHexRowWidth; ++c) {
        const bool inside = rowStart + c < size;
        const unsigned char byte = inside ? data[rowStart + c] : 0;
        out[n++] = inside ? kHexDigits[byte >> 4] : ' ';
        out[n++] = inside ? kHexDigits[byte & 0xF] : ' ';
        out[n++] = ' ';
    }
    return n;
}

// Puts the character column of the row starting at rowStart; sets next to where the next row starts.
size_t PutCharColumn(char* out, const unsigned char* data, size_t size, size_t rowStart, size_t width,
                     bool textOnly, size_t& next) {
    size_t n = 0;
    next = rowStart + width;
    for (size_t c = 0; c < width && rowStart + c < size; ++c) {
        const size_t pos = rowStart + c;
        if (textOnly && IsCrLfAt(data, size, pos)) {
            next = pos + 2;
            break;
        }
        out[n++] = CharColumnForm(data[pos]);
        // A CR LF right after this byte belongs to this row, even after its last character.
        if (textOnly && IsCrLfAt(data, size, pos + 1)) {
            next = pos + 3;
            break;
        }
    }
    return n;
}

}  // namespace

void KYLibCurl::dumpTrace(const char* label, FILE* stream, unsigned char* data, size_t size, char textOnly) {
    if (!stream) return;
    const bool text = textOnly != 0;
    const size_t width = text ? kTextRowWidth : kHexRowWidth;

    fprintf(stream, "%s, %10.10ld bytes (0x%8.8lx)\n", label, static_cast<long>(size),
            static_cast<unsigned long>(size));
    char row[kRowCapacity];
    size_t rowStart = 0;
    while (rowStart < size) {
        size_t n = PutOffset(row, rowStart);
        if (!text) n += PutHexColumn(row + n, data, size, rowStart);
        size_t next = 0;
        n += PutCharColumn(row + n, data, size, rowStart, width, text, next);
        row[n++] = '\n';
        fwrite(row, 1, n, stream);
        rowStart = next;
    }
    fflush(stream);
}
