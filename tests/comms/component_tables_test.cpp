// The protocol and sensor-type tables, row by row, against what reads them:
// the factory, the reading of a version number in init's text, the loader and
// the field lists. Nothing here names a row: a row added to either table is
// checked by the same tests.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <typeinfo>
#include <variant>

#include "comms/component_factory.h"
#include "comms/protocol_version_text.h"
#include "parameters/parameter_file.h"
#include "protocols/protocol_table.h"
#include "sensor_types/sensor_type_table.h"
#include "support/expect_error.h"
#include "support/msgpack_bytes.h"

namespace {

using feltwise_comm::FieldKind;
using feltwise_comm::FieldValue;
using feltwise_test::expect_error;
using feltwise_test::MsgpackBytes;

// Whether `type` is the class called `name` (a row's class_name or
// model_name): "14ProtocolString" in an Itanium name (GCC, Clang, MinGW),
// "class feltwise_comm::ProtocolString" in MSVC's.
bool isClassNamed(const std::type_info& type, const char* name) {
  const std::string full = type.name();
  const std::string itanium = std::to_string(std::strlen(name)) + name + "E";
  const std::string msvc = std::string("::") + name;
  return full.find(itanium) != std::string::npos ||
         (full.size() >= msvc.size() && full.compare(full.size() - msvc.size(), msvc.size(), msvc) == 0);
}

TEST(ProtocolTable, EveryRowIsAVersionInitAcceptsAndCreatesTheClassItNames) {
  std::set<std::string> names;
  for (const auto& row : feltwise_comm::protocolTable()) {
    SCOPED_TRACE(row.class_name);
    EXPECT_TRUE(names.insert(row.class_name).second) << "a class in two rows";
    EXPECT_EQ(feltwise_comm::findProtocol(row.version), &row);
    EXPECT_EQ(feltwise_comm::protocolVersionFromText(std::to_string(row.version)), row.version);
    const auto protocol = feltwise_comm::createProtocol(row.version);
    const auto from_row = row.create();
    const feltwise_comm::Protocol& created = *protocol;
    const feltwise_comm::Protocol& created_by_row = *from_row;
    EXPECT_TRUE(isClassNamed(typeid(created), row.class_name)) << typeid(created).name();
    EXPECT_EQ(typeid(created), typeid(created_by_row));
  }
  EXPECT_FALSE(names.empty());
}

TEST(ProtocolTable, AVersionBeyondTheRowsIsAFileNameAndRefused) {
  const auto past_end = static_cast<std::int32_t>(feltwise_comm::protocolTable().count);
  for (const std::int32_t version : {-1, past_end}) {
    EXPECT_EQ(feltwise_comm::findProtocol(version), nullptr);
    EXPECT_EQ(feltwise_comm::protocolVersionFromText(std::to_string(version)), std::nullopt);
    expect_error<std::runtime_error>([&] { feltwise_comm::createProtocol(version); },
                                     "Invalid protocol version in sensor parameters");
  }
}

// A value of each kind, and how it is written in a file.
FieldValue sampleValue(FieldKind kind) {
  switch (kind) {
    case FieldKind::kInteger:
      return std::int32_t{7};
    case FieldKind::kNumber:
      return 2.5;
    case FieldKind::kNumbers:
      return std::vector<double>{1.5, -2.0, 3.0};
    case FieldKind::kIntegerMap:
      return std::map<std::int32_t, std::int32_t>{{3, 1}};
  }
  return 0;
}

void write(MsgpackBytes& bytes, const FieldValue& value) {
  if (const auto* integer = std::get_if<std::int32_t>(&value)) bytes.integer(*integer);
  if (const auto* number = std::get_if<double>(&value)) bytes.float64(*number);
  if (const auto* numbers = std::get_if<std::vector<double>>(&value)) {
    bytes.array(static_cast<std::uint32_t>(numbers->size()));
    for (const double v : *numbers) bytes.float64(v);
  }
  if (const auto* map = std::get_if<std::map<std::int32_t, std::int32_t>>(&value)) {
    bytes.map(static_cast<std::uint32_t>(map->size()));
    for (const auto& entry : *map) bytes.integer(entry.first).integer(entry.second);
  }
}

// A record map of the row's type with every field it declares, each holding
// sampleValue of its kind.
MsgpackBytes fullRecord(const feltwise_comm::SensorTypeEntry& row) {
  MsgpackBytes bytes;
  bytes.map(static_cast<std::uint32_t>(row.own_fields.count + 1));
  bytes.str("SensorParameters").map(3).str("sensor_type").integer(row.sensor_type);
  bytes.str("input_map").map(1).integer(0).integer(0).str("output_map").map(1).integer(0).integer(0);
  for (const auto& field : row.own_fields) write(bytes.str(field.name), sampleValue(field.kind));
  return bytes;
}

// The exported field list, the conversion and the listing of values all
// follow the one declaration of the record class: every declared field is
// read from the file and listed back, in order, with the value it had.
TEST(SensorTypeTable, EveryRowConvertsAndListsTheFieldsItDeclares) {
  std::set<std::string> models;
  std::set<std::string> descriptions;
  for (const auto& row : feltwise_comm::sensorTypeTable()) {
    SCOPED_TRACE(row.model_name);
    EXPECT_TRUE(models.insert(row.model_name).second) << "a model in two rows";
    EXPECT_TRUE(descriptions.insert(row.description).second) << "a description in two rows";
    EXPECT_EQ(feltwise_comm::findSensorType(row.sensor_type), &row);
    ASSERT_GT(row.own_fields.count, 0u);

    const MsgpackBytes bytes = fullRecord(row);
    const feltwise_comm::PackedValue map(bytes.bytes().data(), bytes.bytes().size(), 0);
    const auto record = feltwise_comm::decodeRecord(row.sensor_type, map);
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(row.holds_record(*record));
    const feltwise_comm::RecordFields values = row.own_field_values(*record);
    ASSERT_EQ(values.size(), row.own_fields.count);
    std::set<std::string> names;
    std::size_t i = 0;
    for (const auto& field : row.own_fields) {
      EXPECT_TRUE(names.insert(field.name).second) << field.name << " declared twice";
      EXPECT_STRNE(field.name, "SensorParameters");
      EXPECT_EQ(values[i].first, field.name);
      EXPECT_EQ(values[i].second, sampleValue(field.kind)) << field.name;
      ++i;
    }
  }
  EXPECT_FALSE(models.empty());
  EXPECT_EQ(feltwise_comm::decodeRecord(static_cast<std::int32_t>(feltwise_comm::sensorTypeTable().count),
                                        feltwise_comm::PackedValue(nullptr, 0, 0)),
            nullptr);
}

// A file of one record per row: the loader makes each record of its row's
// class, and createModel the row's model.
TEST(SensorTypeTable, TheLoaderAndTheModelFactoryFollowTheRows) {
  const auto table = feltwise_comm::sensorTypeTable();
  MsgpackBytes file;
  file.array(2).integer(1).array(static_cast<std::uint32_t>(table.count));
  for (const auto& row : table) file.append(fullRecord(row));
  feltwise_comm::ParameterHolder holder;
  feltwise_comm::decode_parameters(holder, file.bytes(), feltwise_comm::decodeRecord);
  ASSERT_EQ(holder.records_.size(), table.count);
  for (const auto& row : table) {
    SCOPED_TRACE(row.model_name);
    const auto& record = holder.records_[static_cast<std::size_t>(row.sensor_type)];
    EXPECT_TRUE(row.holds_record(*record));
    const auto model = feltwise_comm::createModel(row.sensor_type);
    const auto from_row = row.create_model();
    const feltwise_comm::SensorModel& created = *model;
    const feltwise_comm::SensorModel& created_by_row = *from_row;
    EXPECT_TRUE(isClassNamed(typeid(created), row.model_name)) << typeid(created).name();
    EXPECT_EQ(typeid(created), typeid(created_by_row));
  }
  expect_error<std::runtime_error>([&] { feltwise_comm::createModel(static_cast<std::int32_t>(table.count)); },
                                   "Invalid sensor type in parameters");
}

}  // namespace
