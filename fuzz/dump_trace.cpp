// dumpTrace on an arbitrary label and block, in hex mode and in text mode. Properties: the record equals
// one written by a reference that follows the record layout rule by rule; in text mode the character
// columns, joined, are the block with every CR LF taken out and each byte in its column form, and no row
// holds more than 64 characters; in hex mode there is one row per 16 bytes. The block is handed over in
// a buffer of exactly its size, so a read past its end is caught.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"

namespace kyfuzz {
namespace {

constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;

char ColumnForm(unsigned char byte) { return (byte >= 0x20 && byte <= 0x7F) ? static_cast<char>(byte) : '.'; }

bool CrLfAt(const std::string& block, size_t pos) {
    return pos + 1 < block.size() && static_cast<unsigned char>(block[pos]) == kCr &&
           static_cast<unsigned char>(block[pos + 1]) == kLf;
}

std::string Printf(const char* format, unsigned long value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// The record, built from the layout rules; also collects the character column of each row.
std::string ReferenceRecord(const std::string& label, const std::string& block, bool textOnly,
                            std::vector<std::string>& columns) {
    char header[600];
    snprintf(header, sizeof header, "%s, %10.10ld bytes (0x%8.8lx)\n", label.c_str(),
             static_cast<long>(block.size()), static_cast<unsigned long>(block.size()));
    std::string record = header;
    const size_t width = textOnly ? 64 : 16;
    size_t row = 0;
    while (row < block.size()) {
        record += Printf("%4.4lx: ", row);
        for (size_t c = 0; !textOnly && c < 16; ++c)
            record +=
                row + c < block.size() ? Printf("%02x ", static_cast<unsigned char>(block[row + c])) : "   ";
        std::string column;
        size_t next = row + width;
        for (size_t c = 0; c < width && row + c < block.size(); ++c) {
            if (textOnly && CrLfAt(block, row + c)) {
                next = row + c + 2;
                break;
            }
            column += ColumnForm(static_cast<unsigned char>(block[row + c]));
            if (textOnly && CrLfAt(block, row + c + 1)) {
                next = row + c + 3;
                break;
            }
        }
        record += column + "\n";
        columns.push_back(column);
        row = next;
    }
    return record;
}

std::string WithoutCrLf(const std::string& block) {
    std::string text;
    for (size_t i = 0; i < block.size(); ++i) {
        if (CrLfAt(block, i)) {
            ++i;
            continue;
        }
        text += ColumnForm(static_cast<unsigned char>(block[i]));
    }
    return text;
}

std::string Dump(const std::string& label, const std::string& block, char textOnly) {
    // An exactly sized heap copy: a read past the block's end lands outside it.
    std::vector<unsigned char> copy(block.begin(), block.end());
    char* text = nullptr;
    size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    KYFUZZ_CHECK(stream != nullptr);
    KYLibCurl::dumpTrace(label.c_str(), stream, copy.empty() ? nullptr : copy.data(), copy.size(), textOnly);
    fclose(stream);
    std::string record(text, length);
    free(text);
    return record;
}

// Any nonzero textOnly selects text mode.
void CheckMode(const std::string& label, const std::string& block, char textOnly) {
    std::vector<std::string> columns;
    const std::string expected = ReferenceRecord(label, block, textOnly != 0, columns);
    KYFUZZ_CHECK(Dump(label, block, textOnly) == expected);
    if (!textOnly) {
        KYFUZZ_CHECK(columns.size() == (block.size() + 15) / 16);
        return;
    }
    std::string joined;
    for (const std::string& column : columns) {
        KYFUZZ_CHECK(column.size() <= 64);
        joined += column;
    }
    KYFUZZ_CHECK(joined == WithoutCrLf(block));
}

}  // namespace

int FuzzDumpTrace(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    const uint8_t mode = in.Byte();
    const std::string label = in.ShortString().c_str();
    const std::string block = in.Rest();
    CheckMode(label, block, 0);
    CheckMode(label, block, static_cast<char>(mode == 0 ? 1 : mode));
    return 0;
}

}  // namespace kyfuzz
