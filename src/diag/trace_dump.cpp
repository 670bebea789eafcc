// One data record of the wire trace: a header line, then rows of offset, hex cells (hex mode) and
// characters. Text mode has wider rows and turns every CR LF into a row end.
#include "kylibcurl.h"

namespace {

constexpr size_t kHexRowWidth = 16;
constexpr size_t kTextRowWidth = 64;
constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;

bool IsCrLfAt(const unsigned char* data, size_t size, size_t pos) {
    return pos + 1 < size && data[pos] == kCr && data[pos + 1] == kLf;
}

// Printable ASCII and DEL stand for themselves; everything else would garble the text file.
int CharColumnForm(unsigned char byte) { return (byte >= 0x20 && byte <= 0x7F) ? byte : '.'; }

void WriteHexColumn(FILE* stream, const unsigned char* data, size_t size, size_t rowStart) {
    for (size_t c = 0; c < kHexRowWidth; ++c) {
        if (rowStart + c < size)
            fprintf(stream, "%02x ", data[rowStart + c]);
        else
            fputs("   ", stream);
    }
}

// Writes the character column of the row starting at rowStart; returns where the next row starts.
size_t WriteCharColumn(FILE* stream, const unsigned char* data, size_t size, size_t rowStart, size_t width,
                       bool textOnly) {
    for (size_t c = 0; c < width && rowStart + c < size; ++c) {
        size_t pos = rowStart + c;
        if (textOnly && IsCrLfAt(data, size, pos)) return pos + 2;
        fputc(CharColumnForm(data[pos]), stream);
        // A CR LF right after this byte belongs to this row, even after its last character.
        if (textOnly && IsCrLfAt(data, size, pos + 1)) return pos + 3;
    }
    return rowStart + width;
}

}  // namespace

void KYLibCurl::dumpTrace(const char* label, FILE* stream, unsigned char* data, size_t size, char textOnly) {
    if (!stream) return;
    const bool text = textOnly != 0;
    const size_t width = text ? kTextRowWidth : kHexRowWidth;

    fprintf(stream, "%s, %10.10ld bytes (0x%8.8lx)\n", label, static_cast<long>(size),
            static_cast<unsigned long>(size));
    size_t rowStart = 0;
    while (rowStart < size) {
        fprintf(stream, "%4.4lx: ", static_cast<unsigned long>(rowStart));
        if (!text) WriteHexColumn(stream, data, size, rowStart);
        size_t next = WriteCharColumn(stream, data, size, rowStart, width, text);
        fputc('\n', stream);
        rowStart = next;
    }
    fflush(stream);
}
