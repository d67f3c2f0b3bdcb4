#include "parameters/msgpack_values.h"

#include <cstring>
#include <limits>

#include "parameters/parameter_type_error.h"

namespace feltwise_comm {

namespace type = msgpack::v1::type;

std::int32_t to_int32(const msgpack::v1::object& value) {
  constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
  constexpr auto highest = std::numeric_limits<std::int32_t>::max();
  switch (value.type) {
    case type::POSITIVE_INTEGER:
      if (value.via.u64 > static_cast<std::uint64_t>(highest)) throw ParameterTypeError();
      return static_cast<std::int32_t>(value.via.u64);
    case type::NEGATIVE_INTEGER:
      if (value.via.i64 < lowest) throw ParameterTypeError();
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

std::vector<double> to_double_vector(const msgpack::v1::object& value) {
  const msgpack::v1::object_array& array = as_array(value);
  std::vector<double> result;
  result.reserve(array.size);
  for (std::uint32_t i = 0; i < array.size; ++i) result.push_back(to_double(array.ptr[i]));
  return result;
}

std::map<std::int32_t, std::int32_t> to_int32_map(const msgpack::v1::object& value) {
  const msgpack::v1::object_map& map = as_map(value);
  std::map<std::int32_t, std::int32_t> result;
  for (std::uint32_t i = 0; i < map.size; ++i) {
    const std::int32_t key = to_int32(map.ptr[i].key);
    result[key] = to_int32(map.ptr[i].val);
  }
  return result;
}

const msgpack::v1::object_map& as_map(const msgpack::v1::object& value) {
  if (value.type != type::MAP) throw ParameterTypeError();
  return value.via.map;
}

const msgpack::v1::object_array& as_array(const msgpack::v1::object& value) {
  if (value.type != type::ARRAY) throw ParameterTypeError();
  return value.via.array;
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

void require_str_keys(const msgpack::v1::object_map& map) {
  for (std::uint32_t i = 0; i < map.size; ++i) {
    if (map.ptr[i].key.type != type::STR) throw ParameterTypeError();
  }
}

const msgpack::v1::object* find_first(const msgpack::v1::object_map& map, std::string_view name) {
  for (std::uint32_t i = 0; i < map.size; ++i) {
    if (is_str_key(map.ptr[i].key, name)) return &map.ptr[i].val;
  }
  return nullptr;
}

}  // namespace feltwise_comm
