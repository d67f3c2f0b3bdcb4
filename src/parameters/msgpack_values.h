// Conversions of single msgpack values into the field types of the records.
// Each refuses with ParameterTypeError ("bad cast") what the file format does
// not allow, instead of msgpack-c's own converters, which throw a type_error
// whose message is the standard library's.
//
// The rules are written once, on the msgpack::v1::object of a scalar; the
// vectors and maps of a record are converted element by element straight from
// the file's bytes (PackedValue), never through a tree of objects.
#ifndef FELTWISE_PARAMETERS_MSGPACK_VALUES_H
#define FELTWISE_PARAMETERS_MSGPACK_VALUES_H

#include <msgpack.hpp>

#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "parameters/packed_value.h"

namespace feltwise_comm {

// Any msgpack integer format whose value fits; nothing else (not even 1.0).
std::int32_t to_int32(const msgpack::v1::object& value);
std::int32_t to_int32(const PackedValue& value);

// Integers (to the nearest double), float 32 (widened) and float 64.
double to_double(const msgpack::v1::object& value);
double to_double(const PackedValue& value);

// An array of numbers, in order.
std::vector<double> to_double_vector(const PackedValue& value);

// A map of integers to integers; a repeated key takes its last value.
std::map<std::int32_t, std::int32_t> to_int32_map(const PackedValue& value);

// The number of entries of a map, refusing anything else.
std::uint32_t map_size(const PackedValue& value);

// True when `key` is a str (not bin) holding exactly these bytes.
bool is_str_key(const msgpack::v1::object& key, std::string_view name);

// True when `key` is a str or a bin holding exactly these bytes.
bool is_str_or_bin_key(const msgpack::v1::object& key, std::string_view name);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_MSGPACK_VALUES_H
