// A record's fields by their file names, for tools that show or check a file
// (feltwise._native.read_parameters). Not on any hot path: values are copies.
//
// The base fields ("sensor_type", "input_map", "output_map") are those of the
// record's "SensorParameters" map; the class's own fields follow in
// declaration order, named as in the file. Both lists are the ones the record
// classes declare (sensor_parameters.h).
#ifndef FELTWISE_PARAMETERS_RECORD_FIELDS_H
#define FELTWISE_PARAMETERS_RECORD_FIELDS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "feltwise_comm/tables.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

template <typename Record, typename Fields>
RecordFields fieldValues(const Record& record, const Fields& fields) {
  RecordFields values;
  values.reserve(std::tuple_size<Fields>::value);
  forEachField(fields, [&](std::size_t /*index*/, const auto& field) {
    values.emplace_back(field.name, FieldValue(record.*field.member));
  });
  return values;
}

inline RecordFields baseFieldValues(const SensorParameters& record) {
  return fieldValues(record, SensorParameters::baseFields());
}

template <typename Record>
RecordFields ownFieldValues(const Record& record) {
  return fieldValues(record, Record::ownFields());
}

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_RECORD_FIELDS_H
