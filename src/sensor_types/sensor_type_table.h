// The table of sensor types: one row per value of a record's `sensor_type`,
// naming the record class the loader decodes and the model that calibrates it.
//
// Everything that needs to know which types exist reads it: the parameter
// loader, which is handed decodeRecord (parameters/parameter_file.h), the
// comms object's model creation (createModel), the notices that name a
// unit's model, the parameter fuzzer, and the Python tools through
// feltwise._native.sensor_types(), which exports each row's number, model,
// description and field list. Adding a sensor type is its record class
// (parameters/sensor_parameters.h, its fields declared there), its model
// (models/), and one row in sensor_type_table.cpp.
//
// This folder sits above parameters/ and models/ and joins them: neither of
// those includes anything of the other's but the record classes.
#ifndef FELTWISE_SENSOR_TYPES_SENSOR_TYPE_TABLE_H
#define FELTWISE_SENSOR_TYPES_SENSOR_TYPE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "models/sensor_model.h"
#include "parameters/packed_value.h"
#include "parameters/record_field.h"
#include "parameters/record_fields.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

// The fields of a record class, in file order.
struct FieldList {
  const FieldInfo* first;
  std::size_t count;
  const FieldInfo* begin() const { return first; }
  const FieldInfo* end() const { return first + count; }
};

struct SensorTypeEntry {
  std::int32_t sensor_type;
  const char* model_name;
  // What the tools call a unit of this type: "lookup table".
  const char* description;
  // The record class's own fields (the base fields are
  // SensorParameters::baseFields(), the same for every row).
  FieldList own_fields;
  // Converts a record map of the file into a new record of the row's class
  // (ParameterTypeError when a field does not convert).
  std::shared_ptr<SensorParameters> (*decode_record)(const PackedValue& record_map);
  std::shared_ptr<SensorModel> (*create_model)();
  // Whether `record` is of the row's record class.
  bool (*holds_record)(const SensorParameters& record);
  // The values of the record's own fields; `record` must be of the row's class.
  RecordFields (*own_field_values)(const SensorParameters& record);
};

struct SensorTypeRows {
  const SensorTypeEntry* first;
  std::size_t count;
  const SensorTypeEntry* begin() const { return first; }
  const SensorTypeEntry* end() const { return first + count; }
};

SensorTypeRows sensorTypeTable();

// The row of `sensor_type`, or nullptr when no model has that type.
const SensorTypeEntry* findSensorType(std::int32_t sensor_type);

// The loader's record decoder (RecordDecoder): a record of the class of
// `sensor_type`'s row, or nullptr when there is no such row.
std::shared_ptr<SensorParameters> decodeRecord(std::int32_t sensor_type, const PackedValue& record_map);

}  // namespace feltwise_comm

#endif  // FELTWISE_SENSOR_TYPES_SENSOR_TYPE_TABLE_H
