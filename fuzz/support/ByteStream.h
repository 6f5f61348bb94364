// The byte stream a fuzz input is read from. Fields are taken in order; a stream that runs dry reads as
// zeros, so every input, however short, is a complete case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }

  uint8_t U8() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t low = U16();
    return low | (static_cast<uint32_t>(U16()) << 16);
  }
  // `count` bytes, zeros past the end.
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
      byte = U8();
    }
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Text of `length` characters repeating `pattern` (which must not be empty), so that a long argument
// costs only a few input bytes.
template <typename Char>
std::basic_string<Char> Repeat(const std::vector<Char>& pattern, size_t length) {
  std::basic_string<Char> text(pattern.begin(), pattern.end());
  while (text.size() < length) {
    text += text;
  }
  text.resize(length);
  return text;
}

}  // namespace fuzzing
