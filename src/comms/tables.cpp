#include "feltwise_comm/tables.h"

#include "comms/component_factory.h"
#include "parameters/parameter_file.h"
#include "parameters/parameter_holder.h"
#include "parameters/record_fields.h"
#include "protocols/protocol_table.h"
#include "sensor_types/sensor_type_table.h"

namespace feltwise_comm {

std::vector<ProtocolInfo> protocols() {
  std::vector<ProtocolInfo> rows;
  for (const ProtocolEntry& row : protocolTable()) {
    rows.push_back({row.version, row.class_name, row.wire == Wire::text, row.registers == Registers::yes});
  }
  return rows;
}

std::vector<SensorTypeInfo> sensorTypes() {
  std::vector<SensorTypeInfo> rows;
  for (const SensorTypeEntry& row : sensorTypeTable()) {
    SensorTypeInfo info{row.sensor_type, row.model_name, row.description, {}};
    for (const FieldInfo& field : row.own_fields) {
      info.fields.push_back({field.name, field.kind, field.need != Need::kOptional, field.need == Need::kNonEmpty});
    }
    rows.push_back(std::move(info));
  }
  return rows;
}

LoadedParameters loadParameters(const std::string& path) {
  ParameterHolder loaded;
  // init's own loading and build step: a version without a protocol, a record
  // its model refuses or an output beyond the largest is refused here as there.
  loadComponents(loaded, path);
  LoadedParameters result{loaded.protocol_version_, {}};
  for (const auto& record : loaded.records_) {
    LoadedRecord fields{baseFieldValues(*record), {}};
    // The record's class is its detected type's; its sensor_type field may
    // name another (see SensorParameters), so the row is found by class.
    // Every loaded record has one (the loader made it from one).
    for (const SensorTypeEntry& row : sensorTypeTable()) {
      if (row.holds_record(*record)) fields.own_fields = row.own_field_values(*record);
    }
    result.records.push_back(std::move(fields));
  }
  return result;
}

}  // namespace feltwise_comm
