#include "parameters/record_conversion.h"

#include <string_view>

#include "parameters/msgpack_values.h"

namespace feltwise_comm {

namespace {

// The entries of a record map (or of its "SensorParameters" map), once their
// keys are known to be strings.
const msgpack::v1::object_map& checked_entries(const msgpack::v1::object& map) {
  const msgpack::v1::object_map& entries = as_map(map);
  require_str_keys(entries);
  return entries;
}

template <typename Field, typename Convert>
void fill(const msgpack::v1::object_map& entries, std::string_view name, Field& field, Convert convert) {
  if (const msgpack::v1::object* value = find_first(entries, name)) field = convert(*value);
}

// The base fields come first in every record class.
const msgpack::v1::object_map& begin_record(const msgpack::v1::object& map, SensorParameters& record) {
  const msgpack::v1::object_map& entries = checked_entries(map);
  if (const msgpack::v1::object* base = find_first(entries, "SensorParameters")) {
    convert_sensor_parameters(*base, record);
  }
  return entries;
}

}  // namespace

void convert_sensor_parameters(const msgpack::v1::object& map, SensorParameters& record) {
  const msgpack::v1::object_map& entries = checked_entries(map);
  fill(entries, "sensor_type", record.sensor_type, to_int32);
  fill(entries, "input_map", record.input_map, to_int32_map);
  fill(entries, "output_map", record.output_map, to_int32_map);
}

void convert_record(const msgpack::v1::object& map, TriaxialPolyfitParameters& record) {
  const msgpack::v1::object_map& entries = begin_record(map, record);
  fill(entries, "lower", record.lower, to_double_vector);
  fill(entries, "upper", record.upper, to_double_vector);
  fill(entries, "offset", record.offset, to_double_vector);
  fill(entries, "coefs_x", record.coefs_x, to_double_vector);
  fill(entries, "coefs_y", record.coefs_y, to_double_vector);
  fill(entries, "coefs_z", record.coefs_z, to_double_vector);
}

void convert_record(const msgpack::v1::object& map, TaxelPolyfitParameters& record) {
  const msgpack::v1::object_map& entries = begin_record(map, record);
  fill(entries, "lower", record.lower, to_double);
  fill(entries, "upper", record.upper, to_double);
  fill(entries, "offset", record.offset, to_double);
  fill(entries, "coefs", record.coefs, to_double_vector);
}

void convert_record(const msgpack::v1::object& map, TaxelLookupParameters& record) {
  const msgpack::v1::object_map& entries = begin_record(map, record);
  fill(entries, "lower", record.lower, to_double);
  fill(entries, "upper", record.upper, to_double);
  fill(entries, "offset", record.offset, to_double);
  fill(entries, "lut", record.lut, to_double_vector);
}

}  // namespace feltwise_comm
