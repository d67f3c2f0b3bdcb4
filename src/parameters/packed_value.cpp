#include "parameters/packed_value.h"

#include <cstring>

namespace feltwise_comm {

msgpack::v1::object PackedValue::head() const {
  msgpack::v1::object value;
  auto take = [&value](const msgpack::v1::object& head) {
    value = head;
    return false;  // a container's elements are not wanted
  };
  detail::ElementEvents<decltype(take)> events(take, 0);
  std::size_t offset = offset_;
  msgpack::v2::parse(data_, size_, offset, events);
  return value;
}

PackedValue PackedValue::next() const {
  msgpack::v2::null_visitor skip;
  std::size_t offset = offset_;
  // Cannot fail on bytes that hold the whole value; should it, the value is
  // refused as msgpack-c would refuse it.
  if (!msgpack::v2::parse(data_, size_, offset, skip)) throw msgpack::v1::parse_error("parse error");
  return PackedValue(data_, size_, offset);
}

PackedValue PackedValue::first_element() const {
  const auto format = static_cast<unsigned char>(data_[offset_]);
  std::size_t header = 1;                            // fixmap 0x80-0x8f, fixarray 0x90-0x9f
  if (format == 0xdc || format == 0xde) header = 3;  // array 16, map 16
  if (format == 0xdd || format == 0xdf) header = 5;  // array 32, map 32
  return PackedValue(data_, size_, offset_ + header);
}

namespace {

class ExactPacking : public msgpack::v1::object_pack_visitor<msgpack::v1::sbuffer> {
 public:
  ExactPacking(msgpack::v1::packer<msgpack::v1::sbuffer>& packer, msgpack::v1::sbuffer& bytes)
      : object_pack_visitor(packer), bytes_(bytes) {}

  bool visit_float32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    write(0xca, bits, 4);
    return true;
  }
  bool visit_float64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    write(0xcb, bits, 8);
    return true;
  }

 private:
  void write(unsigned char format, std::uint64_t bits, int width) {
    char buffer[9];
    buffer[0] = static_cast<char>(format);
    for (int i = 0; i < width; ++i) buffer[1 + i] = static_cast<char>(bits >> (8 * (width - 1 - i)));
    bytes_.write(buffer, static_cast<std::size_t>(1 + width));
  }

  msgpack::v1::sbuffer& bytes_;
};

}  // namespace

msgpack::v1::sbuffer pack_exactly(const msgpack::v1::object& value) {
  msgpack::v1::sbuffer bytes;
  msgpack::v1::packer<msgpack::v1::sbuffer> packer(bytes);
  ExactPacking visitor(packer, bytes);
  msgpack::object_parser(msgpack::object(value)).parse(visitor);
  return bytes;
}

}  // namespace feltwise_comm
