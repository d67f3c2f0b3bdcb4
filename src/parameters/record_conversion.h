// Conversion of a record map of the parameter file into a record, by the
// fields its class declares (sensor_parameters.h).
//
// The map must have str keys only (all checked before any field is touched);
// a repeated key counts by its first occurrence; keys the record does not know
// are ignored, and absent ones leave their field as it was. Fields are filled
// "SensorParameters" first, then in declaration order, so a refusal part-way
// leaves the earlier fields converted (the loader then drops the record).
// Every refusal is a ParameterTypeError ("bad cast"), naming the field whose
// value it refused where one is to blame.
//
// The loader converts straight from the file's bytes (PackedValue). An object
// msgpack-c has already unpacked is packed back into bytes and converted the
// same way, so there is one conversion; the msgpack-c adaptor below makes
// `object.convert(record)` do that for every record class.
#ifndef FELTWISE_PARAMETERS_RECORD_CONVERSION_H
#define FELTWISE_PARAMETERS_RECORD_CONVERSION_H

#include <msgpack.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "parameters/packed_value.h"
#include "parameters/parameter_type_error.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

namespace detail {

// values[i] is the value of the first entry named names[i] in `map`, which
// must be a map with str keys only.
void findFirstValues(const PackedValue& map, const std::string_view* names, std::optional<PackedValue>* values,
                     std::size_t count);

// One field from its value in the file (msgpack_values.h has the rules).
void readField(const PackedValue& value, std::int32_t& field);
void readField(const PackedValue& value, double& field);
void readField(const PackedValue& value, std::vector<double>& field);
void readField(const PackedValue& value, std::map<std::int32_t, std::int32_t>& field);

// Fills `record`'s fields from `map`; a first name of "SensorParameters"
// (`with_base`) has its value converted into the base fields before the rest.
template <typename Record, typename Fields>
void convertFields(const PackedValue& map, Record& record, const Fields& fields, bool with_base) {
  constexpr std::size_t kFields = std::tuple_size<Fields>::value;
  const std::size_t first = with_base ? 1 : 0;
  std::array<std::string_view, kFields + 1> names{};
  if (with_base) names[0] = "SensorParameters";
  forEachField(fields, [&](std::size_t i, const auto& field) { names[first + i] = field.name; });
  std::array<std::optional<PackedValue>, kFields + 1> values;
  findFirstValues(map, names.data(), values.data(), first + kFields);
  if (with_base && values[0]) {
    convertFields(*values[0], static_cast<SensorParameters&>(record), SensorParameters::baseFields(), false);
  }
  forEachField(fields, [&](std::size_t i, const auto& field) {
    if (!values[first + i]) return;
    try {
      readField(*values[first + i], record.*field.member);
    } catch (ParameterTypeError& refused) {
      refused.name_field(field.name);
      throw;
    }
  });
}

}  // namespace detail

// The base fields, from the value of "SensorParameters".
inline void convert_sensor_parameters(const PackedValue& map, SensorParameters& record) {
  detail::convertFields(map, record, SensorParameters::baseFields(), false);
}

template <typename Record>
void convert_record(const PackedValue& map, Record& record) {
  detail::convertFields(map, record, Record::ownFields(), true);
}

// An object msgpack-c has unpacked: packed back into bytes and converted as above.
template <typename Record>
void convert_record(const msgpack::v1::object& map, Record& record) {
  const msgpack::v1::sbuffer bytes = pack_exactly(map);
  convert_record(PackedValue(bytes.data(), bytes.size(), 0), record);
}

}  // namespace feltwise_comm

// clang-format off
namespace msgpack {
MSGPACK_API_VERSION_NAMESPACE(v1) {
namespace adaptor {

// Declared on msgpack::object, the object type of msgpack-c's default API
// version, like msgpack-c's own v1 adaptors: `object >> record` returns that
// type, and a v1::object reference here would be converted into a temporary
// whose reference it then returned.
template <typename Record>
struct convert<Record, std::enable_if_t<std::is_base_of<feltwise_comm::SensorParameters, Record>::value>> {
  const msgpack::object& operator()(const msgpack::object& map, Record& record) const {
    feltwise_comm::convert_record(map, record);
    return map;
  }
};

}  // namespace adaptor
}  // MSGPACK_API_VERSION_NAMESPACE(v1)
}  // namespace msgpack
// clang-format on

#endif  // FELTWISE_PARAMETERS_RECORD_CONVERSION_H
