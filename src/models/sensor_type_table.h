// The table of sensor types: one row per value of a record's `sensor_type`,
// naming the record class the loader decodes and the model that calibrates it.
//
// The parameter loader (decode_parameters) and the comms object's model
// creation (createModel) both read it, and so does feltwise._native. Adding a
// sensor type is its record class, its model, a field list (record_fields)
// and one row in sensor_type_table.cpp.
#ifndef FELTWISE_MODELS_SENSOR_TYPE_TABLE_H
#define FELTWISE_MODELS_SENSOR_TYPE_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "models/sensor_model.h"
#include "parameters/packed_value.h"
#include "parameters/record_fields.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

struct SensorTypeEntry {
  std::int32_t sensor_type;
  const char* model_name;
  // Converts a record map of the file into a new record of the row's class
  // (ParameterTypeError when a field does not convert).
  std::shared_ptr<SensorParameters> (*decode_record)(const PackedValue& record_map);
  std::shared_ptr<SensorModel> (*create_model)();
  // Whether `record` is of the row's record class.
  bool (*holds_record)(const SensorParameters& record);
  // The record's own fields; `record` must be of the row's class.
  RecordFields (*own_fields)(const SensorParameters& record);
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

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_SENSOR_TYPE_TABLE_H
