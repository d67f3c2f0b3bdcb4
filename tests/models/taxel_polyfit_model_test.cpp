// The taxel polynomial model: numbers, configuration checks and zeroing.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fresh_process.h"
#include "models/taxel_polyfit_model.h"
#include "records.h"
#include "support/expect_error.h"

namespace {

using feltwise_comm::TaxelPolyfitModel;
using feltwise_comm::TaxelPolyfitParameters;
using feltwise_test::expect_error;
using feltwise_test::polyfit_record;
using Samples = std::vector<std::vector<double>>;

struct PolyfitCase {
  const char* name;
  double lower;
  std::vector<double> coefs;
  double raw;
  double expected;
};

class PolyfitValue : public ::testing::TestWithParam<PolyfitCase> {};

TEST_P(PolyfitValue, OfOneRawReading) {
  const PolyfitCase& c = GetParam();
  TaxelPolyfitModel model;
  model.configure(polyfit_record(0, 0, c.lower, 0.0, c.coefs));
  std::vector<double> out(1, 0.0);
  model.apply(out, {c.raw});
  EXPECT_EQ(out[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PolyfitValue,
    ::testing::Values(
        PolyfitCase{"AboveThreshold", 100, {0, 1}, 150, 150}, PolyfitCase{"AtThreshold", 100, {0, 1}, 100, 100},
        PolyfitCase{"HalfTheThresholdOnTheLine", 100, {0, 1}, 50, 50},
        PolyfitCase{"NegativeOnTheLineIsClamped", 100, {0, 1}, -20, 0},
        PolyfitCase{"LineThroughPOfThreshold", 100, {0, 0, 0.01}, 50, 50},
        PolyfitCase{"ZeroThresholdAbove", 0, {0, 2}, 5, 10}, PolyfitCase{"ZeroThresholdAtZero", 0, {0, 2}, 0, 0},
        PolyfitCase{"ZeroThresholdBelow", 0, {0, 2}, -5, 0}, PolyfitCase{"NegativeLowerActsAsZero", -3, {0, 2}, -1, 0},
        PolyfitCase{"NegativeLowerAbove", -3, {0, 2}, 1, 2},
        PolyfitCase{"TinyThresholdBelowGivesZero", 5e-7, {1, 1}, 4e-7, 0},
        PolyfitCase{"TinyThresholdAboveUsesP", 5e-7, {1, 1}, 1e-6, 1 + 1e-6},
        PolyfitCase{"NoCoefficients", 0, {}, 10, 0}, PolyfitCase{"NegativeConstantIsClamped", 0, {-3}, 10, 0},
        PolyfitCase{"ZeroIsNotAboveZero", 0, {2}, 0, 0},
        // Term by term with pow, k rising: Horner's rule, a running power and
        // the reverse order each give a neighbouring double.
        PolyfitCase{"TermByTermWithPow", 0, {0.5, 0.25, 0.1, 0.3, 0.7, 0.9}, 1.1, 0x1.e28333fc86cedp+1}),
    [](const ::testing::TestParamInfo<PolyfitCase>& param) { return std::string(param.param.name); });

TEST(TaxelPolyfitModel, SubtractsTheOffset) {
  TaxelPolyfitModel model;
  model.configure(polyfit_record(2, 0, 0, 800, {0, 2}));
  std::vector<double> out(1, 0.0);
  model.apply(out, {0, 0, 900});
  EXPECT_EQ(out[0], 200);
}

TEST(TaxelPolyfitModel, AddsToItsOutput) {
  TaxelPolyfitModel first;
  TaxelPolyfitModel second;
  first.configure(polyfit_record(0, 3, 0, 0, {0, 1}));
  second.configure(polyfit_record(1, 3, 0, 0, {0, 1}));
  std::vector<double> out{0, 0, 0, 5};
  first.apply(out, {2, 7});
  second.apply(out, {2, 7});
  EXPECT_EQ(out, (std::vector<double>{0, 0, 0, 14}));
}

TEST(TaxelPolyfitModel, ReadsTheSmallestInputKeyAndIgnoresTheRest) {
  auto record = polyfit_record(4, 0, 0, 0, {0, 1});
  record->input_map = {{4, 9}, {1, 3}, {6, 0}};
  TaxelPolyfitModel model;
  model.configure(record);
  std::vector<double> out(1, 0.0);
  model.apply(out, {0, 11, 0, 0, 44, 0, 66});
  EXPECT_EQ(out[0], 11);
}

TEST(TaxelPolyfitModel, AnEmptyMapContributesNothing) {
  for (bool empty_input : {true, false}) {
    auto record = polyfit_record(0, 0, 0, 0, {5});
    (empty_input ? record->input_map : record->output_map).clear();
    TaxelPolyfitModel model;
    model.configure(record);
    std::vector<double> out{1.5};
    model.apply(out, {10});
    EXPECT_EQ(out[0], 1.5);
  }
}

TEST(TaxelPolyfitModel, AnOutputBeyondTheCalibratedSampleIsNotWritten) {
  TaxelPolyfitModel model;
  model.configure(polyfit_record(0, 3, 0, 0, {5}));
  std::vector<double> out{0, 0, 0};
  model.apply(out, {10});
  EXPECT_EQ(out, (std::vector<double>{0, 0, 0}));
}

TEST(TaxelPolyfitModel, AMissingChannelLeavesTheOutput) {
  TaxelPolyfitModel model;
  model.configure(polyfit_record(10, 0, 0, 0, {5}));
  std::vector<double> out{1};
  ::testing::internal::CaptureStdout();
  model.apply(out, std::vector<double>(8, 100.0));
  feltwise_test::capturedStdout();
  EXPECT_EQ(out[0], 1);
}

TEST(TaxelPolyfitModel, RefusesAnotherSensorType) {
  auto record = polyfit_record(0, 0, 0, 0, {1});
  record->sensor_type = 2;
  TaxelPolyfitModel model;
  expect_error<std::runtime_error>([&] { model.configure(record); }, "Invalid sensor type");
}

TEST(TaxelPolyfitModel, RefusesARecordOfAnotherClass) {
  auto record = std::make_shared<feltwise_comm::TaxelLookupParameters>();
  record->sensor_type = 1;
  TaxelPolyfitModel model;
  expect_error<std::runtime_error>([&] { model.configure(record); }, "Invalid sensor type");
  expect_error<std::runtime_error>([&] { model.configure(nullptr); }, "Invalid sensor type");
}

TEST(TaxelPolyfitModel, ARefusedTypeLeavesTheBoundRecord) {
  TaxelPolyfitModel model;
  model.configure(polyfit_record(0, 0, 0, 0, {7}));
  auto wrong = polyfit_record(0, 0, 0, 0, {1000});
  wrong->sensor_type = 0;
  EXPECT_THROW(model.configure(wrong), std::runtime_error);
  std::vector<double> out{0};
  model.apply(out, {1});
  EXPECT_EQ(out[0], 7);
}

TEST(TaxelPolyfitModel, RefusesTwoOutputs) {
  auto record = polyfit_record(0, 0, 0, 0, {1});
  record->output_map = {{0, 1}, {1, 2}};
  TaxelPolyfitModel model;
  expect_error<std::runtime_error>([&] { model.configure(record); }, "Invalid output map for the sensor type");
}

TEST(TaxelPolyfitModel, RefusesANegativeOutput) {
  TaxelPolyfitModel model;
  expect_error<std::runtime_error>([&] { model.configure(polyfit_record(0, -1, 0, 0, {1})); },
                                   "Invalid output map for the sensor type");
}

TEST(TaxelPolyfitModel, ZeroingSetsTheOffsetToTheMeanRawValue) {
  auto record = polyfit_record(1, 0, 0, 0, {0, 1});
  TaxelPolyfitModel model;
  model.configure(record);
  Samples samples;
  for (int i = 0; i < 20; ++i) samples.push_back({0, i % 2 ? 12.0 : 10.0});
  model.zero(samples);
  EXPECT_EQ(record->offset, 11.0);
  std::vector<double> out{0};
  model.apply(out, {0, 15});
  EXPECT_EQ(out[0], 4);
}

TEST(TaxelPolyfitModel, ZeroingKeepsTheOffsetWhenASampleIsRefused) {
  auto record = polyfit_record(2, 0, 0, 3.5, {0, 1});
  TaxelPolyfitModel model;
  model.configure(record);
  expect_error<std::runtime_error>(
      [&] {
        model.zero({{1, 2, 3}, {1, 2}});
      },
      "Sensor requested zeroing is not plugged in.");
  expect_error<std::runtime_error>([&] { model.zero({{1, 2, 3}, {}}); }, "Sensor not reading, data size is 0.");
  expect_error<std::runtime_error>([&] { model.zero({}); }, "No samples to zero the sensor with.");
  EXPECT_EQ(record->offset, 3.5);
}

TEST(TaxelPolyfitModel, ZeroingWithoutAnInputChangesNothing) {
  auto record = polyfit_record(2, 0, 0, 3.5, {0, 1});
  record->input_map.clear();
  TaxelPolyfitModel model;
  model.configure(record);
  model.zero({{1, 2, 3}});
  EXPECT_EQ(record->offset, 3.5);
}

}  // namespace
