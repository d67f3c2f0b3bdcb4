#include "parameters/record_fields.h"

namespace feltwise_comm {

RecordFields baseFields(const SensorParameters& record) {
  return {{"sensor_type", record.sensor_type}, {"input_map", record.input_map}, {"output_map", record.output_map}};
}

RecordFields ownFields(const TriaxialPolyfitParameters& record) {
  return {{"lower", record.lower},     {"upper", record.upper},     {"offset", record.offset},
          {"coefs_x", record.coefs_x}, {"coefs_y", record.coefs_y}, {"coefs_z", record.coefs_z}};
}

RecordFields ownFields(const TaxelPolyfitParameters& record) {
  return {{"lower", record.lower}, {"upper", record.upper}, {"offset", record.offset}, {"coefs", record.coefs}};
}

RecordFields ownFields(const TaxelLookupParameters& record) {
  return {{"lower", record.lower}, {"upper", record.upper}, {"offset", record.offset}, {"lut", record.lut}};
}

}  // namespace feltwise_comm
