// Reads the fields of a fuzz input in order; past the end every field reads
// as zero and every byte run as empty, so any input is a valid one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() { return u16() | (static_cast<std::uint32_t>(u16()) << 16); }
  // Up to n of the following bytes.
  std::vector<std::uint8_t> bytes(std::size_t n) {
    const std::size_t take = n < size_ - pos_ ? n : size_ - pos_;
    std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }
  std::vector<std::uint8_t> rest() { return bytes(size_ - pos_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace fuzz
