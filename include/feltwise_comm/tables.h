// The library's own tables and its parameter loader, for tools that show,
// check or write what the library accepts (the feltwise command line reads
// them through feltwise._native). Each is read from the one list the library
// itself uses, so a tool never falls out of step with it.
//
// - protocols(): one row per wire protocol, in version order.
// - sensorTypes(): one row per sensor type, in type order, with the record's
//   own fields (those beside its "SensorParameters" map) in file order.
// - loadParameters(path): loads a parameter file as FeltwiseComms::init does,
//   decoding it and building its protocol and models, which it then throws
//   away. A file init would refuse raises the same error with the same text.
//
// Not on any hot path: every call builds its rows anew.
#ifndef FELTWISE_COMM_TABLES_H
#define FELTWISE_COMM_TABLES_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace feltwise_comm {

struct ProtocolInfo {
  std::int32_t version;
  std::string class_name;
  bool text;       // lines of text; otherwise binary frames
  bool registers;  // carries register requests and replies
};

std::vector<ProtocolInfo> protocols();

enum class FieldKind {
  kInteger,     // std::int32_t
  kNumber,      // double
  kNumbers,     // std::vector<double>
  kIntegerMap,  // std::map<std::int32_t, std::int32_t>
};

struct FieldDescription {
  std::string name;  // the key in the file's record map
  FieldKind kind;
  bool required;
  bool non_empty;  // required, and a list of at least one value
};

struct SensorTypeInfo {
  std::int32_t sensor_type;
  std::string model_name;
  std::string description;
  std::vector<FieldDescription> fields;
};

std::vector<SensorTypeInfo> sensorTypes();

// A record field's value, by its FieldKind.
using FieldValue = std::variant<std::int32_t, double, std::vector<double>, std::map<std::int32_t, std::int32_t>>;
// A record's fields by their file names, in file order.
using RecordFields = std::vector<std::pair<std::string, FieldValue>>;

struct LoadedRecord {
  // "sensor_type", "input_map", "output_map": the record's "SensorParameters" map.
  RecordFields base_fields;
  // The fields of its sensor type's own (SensorTypeInfo::fields).
  RecordFields own_fields;
};

struct LoadedParameters {
  std::int32_t protocol_version;
  std::vector<LoadedRecord> records;
};

LoadedParameters loadParameters(const std::string& path);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_TABLES_H
