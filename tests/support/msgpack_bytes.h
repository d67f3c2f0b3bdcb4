// msgpack written byte by byte, so that a test decides the exact format of
// every value: fixint or int 64, float 32 or 64, str or bin keys, and headers
// that promise more than follows.
#ifndef FELTWISE_TESTS_SUPPORT_MSGPACK_BYTES_H
#define FELTWISE_TESTS_SUPPORT_MSGPACK_BYTES_H

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

namespace feltwise_test {

class MsgpackBytes {
 public:
  // Headers in their smallest format.
  MsgpackBytes& array(std::uint32_t elements) { return header(0x90, 0xdc, 0xdd, elements); }
  MsgpackBytes& map(std::uint32_t pairs) { return header(0x80, 0xde, 0xdf, pairs); }

  MsgpackBytes& str(std::string_view text) {
    const auto size = static_cast<std::uint32_t>(text.size());
    if (size < 32) {
      byte(0xa0 | size);
    } else {
      byte(0xdb);
      big_endian(size, 4);
    }
    bytes_.append(text);
    return *this;
  }
  MsgpackBytes& bin(std::string_view data) {
    byte(0xc6);
    big_endian(static_cast<std::uint32_t>(data.size()), 4);
    bytes_.append(data);
    return *this;
  }

  // The smallest integer format for the value.
  MsgpackBytes& integer(std::int64_t value) {
    if (value >= 0 && value < 128) return byte(static_cast<std::uint8_t>(value));
    if (value < 0 && value >= -32) return byte(static_cast<std::uint8_t>(value & 0xff));
    if (value >= 0) return uint64(static_cast<std::uint64_t>(value));
    return int64(value);
  }
  // Integers in a format of our choosing.
  MsgpackBytes& uint8(std::uint8_t value) { return byte(0xcc).big_endian(value, 1); }
  MsgpackBytes& uint32(std::uint32_t value) { return byte(0xce).big_endian(value, 4); }
  MsgpackBytes& uint64(std::uint64_t value) { return byte(0xcf).big_endian(value, 8); }
  MsgpackBytes& int8(std::int8_t value) { return byte(0xd0).big_endian(static_cast<std::uint8_t>(value), 1); }
  MsgpackBytes& int32(std::int32_t value) { return byte(0xd2).big_endian(static_cast<std::uint32_t>(value), 4); }
  MsgpackBytes& int64(std::int64_t value) { return byte(0xd3).big_endian(static_cast<std::uint64_t>(value), 8); }

  MsgpackBytes& float32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return byte(0xca).big_endian(bits, 4);
  }
  MsgpackBytes& float64(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return byte(0xcb).big_endian(bits, 8);
  }
  MsgpackBytes& nil() { return byte(0xc0); }
  MsgpackBytes& boolean(bool value) { return byte(value ? 0xc3 : 0xc2); }

  // Anything else, as it is.
  MsgpackBytes& raw(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) byte(b);
    return *this;
  }
  MsgpackBytes& append(const MsgpackBytes& other) {
    bytes_ += other.bytes_;
    return *this;
  }

  const std::string& bytes() const { return bytes_; }

 private:
  MsgpackBytes& byte(unsigned value) {
    bytes_.push_back(static_cast<char>(value & 0xff));
    return *this;
  }
  MsgpackBytes& big_endian(std::uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) byte(static_cast<unsigned>(value >> shift));
    return *this;
  }
  MsgpackBytes& header(unsigned fix, unsigned sixteen, unsigned thirty_two, std::uint32_t count) {
    if (count < 16) return byte(fix | count);
    if (count <= 0xffff) return byte(sixteen).big_endian(count, 2);
    return byte(thirty_two).big_endian(count, 4);
  }

  std::string bytes_;
};

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_MSGPACK_BYTES_H
