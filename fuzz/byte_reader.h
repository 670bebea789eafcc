// Cuts a fuzz input into the values a target needs. Every read succeeds: past the end it gives zeros and
// empty strings, so any input is a valid sequence of values.
#ifndef KYFUZZ_BYTE_READER_H
#define KYFUZZ_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kyfuzz {

class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }

    uint8_t Byte() { return empty() ? 0 : m_data[m_pos++]; }

    int32_t Int() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
        return static_cast<int32_t>(value);
    }

    // A string of up to 255 bytes, its length in the byte before it.
    std::string ShortString() { return Take(Byte()); }

    // A string of up to 65535 bytes, its length in the two bytes before it.
    std::string LongString() {
        size_t length = Byte();
        length = (length << 8) | Byte();
        return Take(length);
    }

    // Whatever is left.
    std::string Rest() { return Take(Left()); }

  private:
    size_t Left() const { return empty() ? 0 : m_size - m_pos; }

    std::string Take(size_t length) {
        if (length > Left()) length = Left();
        if (length == 0) return std::string();
        std::string text(reinterpret_cast<const char*>(m_data + m_pos), length);
        m_pos += length;
        return text;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace kyfuzz

#endif
