// Conversion of a record map of the parameter file into a record.
//
// The map must have str keys only (all checked before any field is touched);
// a repeated key counts by its first occurrence; keys the record does not know
// are ignored, and absent ones leave their field as it was. Fields are filled
// "SensorParameters" first, then in declaration order, so a refusal part-way
// leaves the earlier fields converted (the loader then drops the record).
// Every refusal is a ParameterTypeError ("bad cast").
//
// The loader converts straight from the file's bytes (PackedValue). An object
// msgpack-c has already unpacked is packed back into bytes and converted the
// same way, so there is one conversion; the msgpack-c adaptors below make
// `object.convert(record)` do that.
#ifndef FELTWISE_PARAMETERS_RECORD_CONVERSION_H
#define FELTWISE_PARAMETERS_RECORD_CONVERSION_H

#include <msgpack.hpp>

#include "parameters/packed_value.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

// The base fields, from the value of "SensorParameters".
void convert_sensor_parameters(const PackedValue& map, SensorParameters& record);

void convert_record(const PackedValue& map, TriaxialPolyfitParameters& record);
void convert_record(const PackedValue& map, TaxelPolyfitParameters& record);
void convert_record(const PackedValue& map, TaxelLookupParameters& record);

void convert_record(const msgpack::v1::object& map, TriaxialPolyfitParameters& record);
void convert_record(const msgpack::v1::object& map, TaxelPolyfitParameters& record);
void convert_record(const msgpack::v1::object& map, TaxelLookupParameters& record);

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
struct FeltwiseRecordConvert {
  const msgpack::object& operator()(const msgpack::object& map, Record& record) const {
    feltwise_comm::convert_record(map, record);
    return map;
  }
};

template <>
struct convert<feltwise_comm::TriaxialPolyfitParameters>
    : FeltwiseRecordConvert<feltwise_comm::TriaxialPolyfitParameters> {};
template <>
struct convert<feltwise_comm::TaxelPolyfitParameters>
    : FeltwiseRecordConvert<feltwise_comm::TaxelPolyfitParameters> {};
template <>
struct convert<feltwise_comm::TaxelLookupParameters>
    : FeltwiseRecordConvert<feltwise_comm::TaxelLookupParameters> {};

}  // namespace adaptor
}  // MSGPACK_API_VERSION_NAMESPACE(v1)
}  // namespace msgpack
// clang-format on

#endif  // FELTWISE_PARAMETERS_RECORD_CONVERSION_H
