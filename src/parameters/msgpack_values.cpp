#include "parameters/msgpack_values.h"

#include <cstring>
#include <limits>

#include "parameters/parameter_type_error.h"

namespace feltwise_comm {

namespace type = msgpack::v1::type;

std::int32_t to_int32(const msgpack::v1::object& value) {
  constexpr auto kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr auto kHighest = std::numeric_limits<std::int32_t>::max();
  switch (value.type) {
    case type::POSITIVE_INTEGER:
      if (value.via.u64 > static_cast<std::uint64_t>(kHighest)) throw ParameterTypeError();
      return static_cast<std::int32_t>(value.via.u64);
    case type::NEGATIVE_INTEGER:
      if (value.via.i64 < kLowest) throw ParameterTypeError();
      return static_cast<std::int32_t>(value.via.i64);
    default:
      throw ParameterTypeError();
  }
}

double to_double(const msgpack::v1::object& value) {
  switch (value.type) {
    case type::POSITIVE_INTEGER:
      return static_cast<double>(value.via.u64);
    case type::NEGATIVE_INTEGER:
      return static_cast<double>(value.via.i64);
    case type::FLOAT32:  // msgpack-c has already widened it into f64
    case type::FLOAT64:
      return value.via.f64;
    default:
      throw ParameterTypeError();
  }
}

std::int32_t to_int32(const PackedValue& value) { return to_int32(value.head()); }

double to_double(const PackedValue& value) { return to_double(value.head()); }

std::vector<double> to_double_vector(const PackedValue& value) {
  const msgpack::v1::object head = value.head();
  if (head.type != type::ARRAY) throw ParameterTypeError();
  std::vector<double> result;
  // Every element the header declares takes a byte or more of a file that
  // holds them all: the reservation is bounded by the file's size.
  result.reserve(head.via.array.size);
  value.for_each_element([&result](const msgpack::v1::object& element) {
    result.push_back(to_double(element));
    return true;
  });
  return result;
}

std::map<std::int32_t, std::int32_t> to_int32_map(const PackedValue& value) {
  if (value.head().type != type::MAP) throw ParameterTypeError();
  std::map<std::int32_t, std::int32_t> result;
  bool is_key = true;
  std::int32_t key = 0;
  value.for_each_element([&](const msgpack::v1::object& element) {
    if (is_key) {
      key = to_int32(element);
    } else {
      result[key] = to_int32(element);
    }
    is_key = !is_key;
    return true;
  });
  return result;
}

std::uint32_t map_size(const PackedValue& value) {
  const msgpack::v1::object head = value.head();
  if (head.type != type::MAP) throw ParameterTypeError();
  return head.via.map.size;
}

namespace {

bool same_bytes(const char* bytes, std::uint32_t size, std::string_view name) {
  return size == name.size() && (size == 0 || std::memcmp(bytes, name.data(), size) == 0);
}

}  // namespace

bool is_str_key(const msgpack::v1::object& key, std::string_view name) {
  return key.type == type::STR && same_bytes(key.via.str.ptr, key.via.str.size, name);
}

bool is_str_or_bin_key(const msgpack::v1::object& key, std::string_view name) {
  if (key.type == type::BIN) return same_bytes(key.via.bin.ptr, key.via.bin.size, name);
  return is_str_key(key, name);
}

}  // namespace feltwise_comm
