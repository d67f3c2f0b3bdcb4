#include "sensor_types/sensor_type_table.h"

#include <iterator>

#include "models/taxel_lookup_model.h"
#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "parameters/record_conversion.h"

namespace feltwise_comm {

namespace {

template <typename Record>
std::shared_ptr<SensorParameters> decode(const PackedValue& record_map) {
  auto record = std::make_shared<Record>();
  convert_record(record_map, *record);
  return record;
}

template <typename Model>
std::shared_ptr<SensorModel> create() {
  return std::make_shared<Model>();
}

template <typename Record>
bool holds(const SensorParameters& record) {
  return dynamic_cast<const Record*>(&record) != nullptr;
}

template <typename Record>
RecordFields values(const SensorParameters& record) {
  return ownFieldValues(static_cast<const Record&>(record));
}

template <typename Record>
constexpr auto kOwnFields = fieldInfos(Record::ownFields());

template <typename Record, typename Model>
constexpr SensorTypeEntry row(std::int32_t sensor_type, const char* model_name, const char* description) {
  const FieldList own_fields{kOwnFields<Record>.data(), kOwnFields<Record>.size()};
  return {sensor_type,     model_name,     description,    own_fields,
          &decode<Record>, &create<Model>, &holds<Record>, &values<Record>};
}

constexpr SensorTypeEntry kRows[] = {
    row<TriaxialPolyfitParameters, TriaxialPolyfitModel>(sensor_type::kTriaxialPolyfit, "TriaxialPolyfitModel",
                                                         "triaxial polynomial"),
    row<TaxelPolyfitParameters, TaxelPolyfitModel>(sensor_type::kTaxelPolyfit, "TaxelPolyfitModel", "taxel polynomial"),
    row<TaxelLookupParameters, TaxelLookupModel>(sensor_type::kTaxelLookup, "TaxelLookupModel", "lookup table"),
};

constexpr bool typesRunFromZero() {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    if (kRows[i].sensor_type != static_cast<std::int32_t>(i)) return false;
  }
  return true;
}
static_assert(typesRunFromZero(), "sensor types are the row numbers: 0, 1, 2, ... without a gap");

}  // namespace

SensorTypeRows sensorTypeTable() { return {kRows, std::size(kRows)}; }

const SensorTypeEntry* findSensorType(std::int32_t sensor_type) {
  if (sensor_type < 0 || static_cast<std::size_t>(sensor_type) >= std::size(kRows)) return nullptr;
  return &kRows[sensor_type];
}

std::shared_ptr<SensorParameters> decodeRecord(std::int32_t sensor_type, const PackedValue& record_map) {
  const SensorTypeEntry* type = findSensorType(sensor_type);
  return type != nullptr ? type->decode_record(record_map) : nullptr;
}

}  // namespace feltwise_comm
