#include "parameters/record_conversion.h"

#include <array>
#include <optional>
#include <string_view>

#include "parameters/msgpack_values.h"
#include "parameters/parameter_type_error.h"

namespace feltwise_comm {

namespace {

template <std::size_t N>
using FirstValues = std::array<std::optional<PackedValue>, N>;

// The value of the first entry under each name, in one pass over a record map
// (or its "SensorParameters" map) that is checked to have str keys only.
template <std::size_t N>
FirstValues<N> first_values(const PackedValue& map, const std::array<std::string_view, N>& names) {
  FirstValues<N> values;
  map.for_each_entry(map_size(map), [&](const msgpack::v1::object& key, const PackedValue& value) {
    if (key.type != msgpack::v1::type::STR) throw ParameterTypeError();
    for (std::size_t i = 0; i < N; ++i) {
      if (is_str_key(key, names[i])) {
        if (!values[i]) values[i] = value;
        break;
      }
    }
    return true;
  });
  return values;
}

template <typename Field, typename Convert>
void fill(const std::optional<PackedValue>& value, Field& field, Convert convert) {
  if (value) field = convert(*value);
}

// The base fields come first in every record class; the class's own follow
// in declaration order.
template <std::size_t N>
FirstValues<N> begin_record(const PackedValue& map, SensorParameters& record,
                            const std::array<std::string_view, N>& names) {
  const FirstValues<N> values = first_values(map, names);
  if (values[0]) convert_sensor_parameters(*values[0], record);
  return values;
}

template <typename Record>
void convert_unpacked(const msgpack::v1::object& map, Record& record) {
  const msgpack::v1::sbuffer bytes = pack_exactly(map);
  convert_record(PackedValue(bytes.data(), bytes.size(), 0), record);
}

}  // namespace

void convert_sensor_parameters(const PackedValue& map, SensorParameters& record) {
  const auto values = first_values<3>(map, {"sensor_type", "input_map", "output_map"});
  fill(values[0], record.sensor_type, [](const PackedValue& v) { return to_int32(v); });
  fill(values[1], record.input_map, to_int32_map);
  fill(values[2], record.output_map, to_int32_map);
}

void convert_record(const PackedValue& map, TriaxialPolyfitParameters& record) {
  const auto values =
      begin_record<7>(map, record, {"SensorParameters", "lower", "upper", "offset", "coefs_x", "coefs_y", "coefs_z"});
  fill(values[1], record.lower, to_double_vector);
  fill(values[2], record.upper, to_double_vector);
  fill(values[3], record.offset, to_double_vector);
  fill(values[4], record.coefs_x, to_double_vector);
  fill(values[5], record.coefs_y, to_double_vector);
  fill(values[6], record.coefs_z, to_double_vector);
}

void convert_record(const PackedValue& map, TaxelPolyfitParameters& record) {
  const auto values = begin_record<5>(map, record, {"SensorParameters", "lower", "upper", "offset", "coefs"});
  const auto number = [](const PackedValue& v) { return to_double(v); };
  fill(values[1], record.lower, number);
  fill(values[2], record.upper, number);
  fill(values[3], record.offset, number);
  fill(values[4], record.coefs, to_double_vector);
}

void convert_record(const PackedValue& map, TaxelLookupParameters& record) {
  const auto values = begin_record<5>(map, record, {"SensorParameters", "lower", "upper", "offset", "lut"});
  const auto number = [](const PackedValue& v) { return to_double(v); };
  fill(values[1], record.lower, number);
  fill(values[2], record.upper, number);
  fill(values[3], record.offset, number);
  fill(values[4], record.lut, to_double_vector);
}

void convert_record(const msgpack::v1::object& map, TriaxialPolyfitParameters& record) {
  convert_unpacked(map, record);
}
void convert_record(const msgpack::v1::object& map, TaxelPolyfitParameters& record) { convert_unpacked(map, record); }
void convert_record(const msgpack::v1::object& map, TaxelLookupParameters& record) { convert_unpacked(map, record); }

}  // namespace feltwise_comm
