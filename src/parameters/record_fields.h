// A record's fields by their file names, for tools that show or check a file
// (feltwise._native.read_parameters). Not on any hot path: values are copies.
//
// The base fields ("sensor_type", "input_map", "output_map") are those of the
// record's "SensorParameters" map; the class's own fields follow in
// declaration order, named as in the file.
#ifndef FELTWISE_PARAMETERS_RECORD_FIELDS_H
#define FELTWISE_PARAMETERS_RECORD_FIELDS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

using FieldValue = std::variant<std::int32_t, double, std::vector<double>, std::map<std::int32_t, std::int32_t>>;
using RecordFields = std::vector<std::pair<std::string, FieldValue>>;

RecordFields baseFields(const SensorParameters& record);
RecordFields ownFields(const TriaxialPolyfitParameters& record);
RecordFields ownFields(const TaxelPolyfitParameters& record);
RecordFields ownFields(const TaxelLookupParameters& record);

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_RECORD_FIELDS_H
