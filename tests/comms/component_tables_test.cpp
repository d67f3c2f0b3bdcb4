// The protocol and sensor-type tables against what reads them: the factory,
// the reading of a version number in init's text, and the loader.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <typeinfo>

#include "comms/component_factory.h"
#include "comms/protocol_version_text.h"
#include "models/sensor_type_table.h"
#include "parameters/parameter_file.h"
#include "protocols/protocol_table.h"
#include "support/expect_error.h"
#include "support/msgpack_bytes.h"

namespace {

using feltwise_test::expect_error;
using feltwise_test::MsgpackBytes;

TEST(ProtocolTable, EveryRowIsAVersionInitAcceptsAndCreates) {
  const auto table = feltwise_comm::protocolTable();
  ASSERT_EQ(table.count, 5u);
  for (const auto& row : table) {
    SCOPED_TRACE(row.class_name);
    EXPECT_EQ(feltwise_comm::findProtocol(row.version), &row);
    EXPECT_EQ(feltwise_comm::protocolVersionFromText(std::to_string(row.version)), row.version);
    const auto protocol = feltwise_comm::createProtocol(row.version);
    EXPECT_EQ(typeid(*protocol), typeid(*row.create()));
  }
  EXPECT_EQ(table.first[3].wire, feltwise_comm::Wire::text);
  EXPECT_EQ(table.first[4].registers, feltwise_comm::Registers::yes);
  EXPECT_EQ(table.first[2].registers, feltwise_comm::Registers::no);
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

// A file of one record per row: the loader makes each record of its row's
// class, and createModel the row's model.
TEST(SensorTypeTable, TheLoaderAndTheModelFactoryFollowTheRows) {
  const auto table = feltwise_comm::sensorTypeTable();
  ASSERT_EQ(table.count, 3u);
  MsgpackBytes file;
  file.array(2).integer(1).array(static_cast<std::uint32_t>(table.count));
  for (const auto& row : table) {
    file.map(1).str("SensorParameters").map(1).str("sensor_type").integer(row.sensor_type);
  }
  feltwise_comm::ParameterHolder holder;
  feltwise_comm::decode_parameters(holder, file.bytes());
  ASSERT_EQ(holder.records_.size(), table.count);
  for (const auto& row : table) {
    SCOPED_TRACE(row.model_name);
    const auto& record = *holder.records_[static_cast<std::size_t>(row.sensor_type)];
    EXPECT_TRUE(row.holds_record(record));
    EXPECT_EQ(feltwise_comm::findSensorType(record.sensor_type), &row);
    const auto model = feltwise_comm::createModel(row.sensor_type);
    EXPECT_EQ(typeid(*model), typeid(*row.create_model()));
    EXPECT_FALSE(row.own_fields(record).empty());
  }
  expect_error<std::runtime_error>([&] { feltwise_comm::createModel(static_cast<std::int32_t>(table.count)); },
                                   "Invalid sensor type in parameters");
}

}  // namespace
