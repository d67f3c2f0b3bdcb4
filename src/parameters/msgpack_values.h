// Conversions of single msgpack values into the field types of the records.
// Each refuses with ParameterTypeError ("bad cast") what the file format does
// not allow, instead of msgpack-c's own converters, which throw a type_error
// whose message is the standard library's.
#ifndef FELTWISE_PARAMETERS_MSGPACK_VALUES_H
#define FELTWISE_PARAMETERS_MSGPACK_VALUES_H

#include <msgpack.hpp>

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

namespace feltwise_comm {

// Any msgpack integer format whose value fits; nothing else (not even 1.0).
std::int32_t to_int32(const msgpack::v1::object& value);

// Integers (to the nearest double), float 32 (widened) and float 64.
double to_double(const msgpack::v1::object& value);

// An array of numbers, in order.
std::vector<double> to_double_vector(const msgpack::v1::object& value);

// A map of integers to integers; a repeated key takes its last value.
std::map<std::int32_t, std::int32_t> to_int32_map(const msgpack::v1::object& value);

// The entries of a map, refusing anything else.
const msgpack::v1::object_map& as_map(const msgpack::v1::object& value);

// The entries of an array, refusing anything else.
const msgpack::v1::object_array& as_array(const msgpack::v1::object& value);

// True when `key` is a str (not bin) holding exactly these bytes.
bool is_str_key(const msgpack::v1::object& key, std::string_view name);

// True when `key` is a str or a bin holding exactly these bytes.
bool is_str_or_bin_key(const msgpack::v1::object& key, std::string_view name);

// Refuses a map with any key that is not a str.
void require_str_keys(const msgpack::v1::object_map& map);

// The value of the first entry whose str key is `name`; null when there is none.
const msgpack::v1::object* find_first(const msgpack::v1::object_map& map, std::string_view name);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_MSGPACK_VALUES_H
