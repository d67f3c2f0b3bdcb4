// The example parameter files of examples/params load, and every unit they
// describe calibrates: zero at rest, a positive force when pressed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "comms/component_factory.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

namespace {

using feltwise_comm::SensorParameters;

struct ExampleFile {
  const char* name;
  std::int32_t protocol_version;
  int triaxial;
  int taxel_polyfit;
  int taxel_lookup;
  std::size_t raw_channels;
  std::size_t outputs;
};

// Every raw channel at its unit's rest value.
std::vector<double> at_rest(const std::vector<std::shared_ptr<SensorParameters>>& records, std::size_t channels) {
  std::vector<double> raw(channels, -1.0);
  for (const auto& record : records) {
    if (auto* taxel = dynamic_cast<feltwise_comm::TaxelPolyfitParameters*>(record.get())) {
      raw.at(static_cast<std::size_t>(taxel->input_map.begin()->first)) = taxel->offset;
    } else if (auto* lookup = dynamic_cast<feltwise_comm::TaxelLookupParameters*>(record.get())) {
      raw.at(static_cast<std::size_t>(lookup->input_map.begin()->first)) = lookup->offset;
    } else {
      auto& triaxial = dynamic_cast<feltwise_comm::TriaxialPolyfitParameters&>(*record);
      for (const auto& [raw_index, slot] : triaxial.input_map) {
        raw.at(static_cast<std::size_t>(raw_index)) = triaxial.offset.at(static_cast<std::size_t>(slot));
      }
    }
  }
  return raw;
}

class Example : public ::testing::TestWithParam<ExampleFile> {};

TEST_P(Example, LoadsAndCalibrates) {
  const ExampleFile& example = GetParam();
  feltwise_comm::ParameterHolder holder;
  const std::string path = std::string(FELTWISE_EXAMPLE_PARAMS_DIR) + "/" + example.name + ".msgpack";
  feltwise_comm::decode_parameters(holder, feltwise_comm::read_parameter_file(path), feltwise_comm::decodeRecord);
  EXPECT_EQ(holder.protocol_version_, example.protocol_version);
  auto count = [&](std::int32_t type) {
    return std::count_if(holder.records_.begin(), holder.records_.end(),
                         [type](const auto& record) { return record->sensor_type == type; });
  };
  EXPECT_EQ(count(feltwise_comm::sensor_type::kTriaxialPolyfit), example.triaxial);
  EXPECT_EQ(count(feltwise_comm::sensor_type::kTaxelPolyfit), example.taxel_polyfit);
  EXPECT_EQ(count(feltwise_comm::sensor_type::kTaxelLookup), example.taxel_lookup);

  std::vector<std::shared_ptr<feltwise_comm::SensorModel>> models;
  for (const auto& record : holder.records_) {
    models.push_back(feltwise_comm::createModel(record->sensor_type));
    models.back()->configure(record);
  }
  const std::vector<double> rest = at_rest(holder.records_, example.raw_channels);
  ASSERT_EQ(std::count(rest.begin(), rest.end(), -1.0), 0) << "a raw channel that no unit reads";

  std::vector<double> out(example.outputs, 0.0);
  for (const auto& model : models) model->apply(out, rest);
  EXPECT_EQ(out, std::vector<double>(example.outputs, 0.0));

  std::vector<double> pressed = rest;
  for (double& value : pressed) value += 500;
  std::fill(out.begin(), out.end(), 0.0);
  for (const auto& model : models) model->apply(out, pressed);
  const double max = *std::max_element(out.begin(), out.end());
  EXPECT_GT(max, 0.1);
  EXPECT_LT(max, 20.0);
}

INSTANTIATE_TEST_SUITE_P(Files, Example,
                         ::testing::Values(ExampleFile{"taxel_pad_4x4", 1, 0, 16, 0, 16, 16},
                                           ExampleFile{"triaxial_pad_2x2", 4, 4, 0, 0, 16, 12},
                                           ExampleFile{"lookup_pad_3x3", 1, 0, 0, 9, 9, 9},
                                           ExampleFile{"mixed_pad", 3, 1, 4, 2, 10, 9}),
                         [](const ::testing::TestParamInfo<ExampleFile>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
