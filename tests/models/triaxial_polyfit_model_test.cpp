// The triaxial polynomial model: x, y and z from four channels, the checks of
// its record, and its zeroing.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "records.h"
#include "support/console_capture.h"
#include "support/expect_error.h"

namespace {

using feltwise_comm::TriaxialPolyfitModel;
using feltwise_comm::TriaxialPolyfitParameters;
using feltwise_test::expect_error;
using feltwise_test::triaxial_record;

// Raw values 1, 2, 3, 4 at indices 10 to 13.
const std::vector<double> kRaw1234 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};

std::vector<double> applied(const std::shared_ptr<TriaxialPolyfitParameters>& record, const std::vector<double>& raw,
                            std::vector<double> out) {
  TriaxialPolyfitModel model;
  model.configure(record);
  model.apply(out, raw);
  return out;
}

TEST(TriaxialPolyfitModel, CombinesTheChannelsIntoXYZ) {
  EXPECT_EQ(applied(triaxial_record(10, 0), kRaw1234, std::vector<double>(3)), (std::vector<double>{4, 2, 10}));
}

TEST(TriaxialPolyfitModel, SubtractsTheDeadBand) {
  auto record = triaxial_record(10, 0);
  record->lower = {2, 2, 2, 2};
  // Channels 0, 0, 1, 2.
  EXPECT_EQ(applied(record, kRaw1234, std::vector<double>(3)), (std::vector<double>{3, 1, 3}));
}

TEST(TriaxialPolyfitModel, SubtractsTheOffsetBeforeTheDeadBand) {
  auto record = triaxial_record(0, 0);
  record->offset = {0.5, 0, 0, 0};
  record->coefs_x = record->coefs_y = {};
  for (double lower : {2.0, 1.0}) {
    record->lower = {lower, 0, 0, 0};
    const double z = applied(record, {2, 0, 0, 0}, std::vector<double>(3))[2];
    EXPECT_EQ(z, lower == 2.0 ? 0.0 : 0.5);
  }
}

TEST(TriaxialPolyfitModel, KeepsTheWrittenOrderOfOperations) {
  // ((a3 + a2) - a1) - a0, ((a3 + a1) - a2) - a0 and ((a1 + a0) + a2) + a3;
  // pairing the sums differently gives other doubles for these channels.
  auto record = triaxial_record(0, 0);
  EXPECT_EQ(applied(record, {0.1, 1.0, 0.1, 0.7}, std::vector<double>(3)),
            (std::vector<double>{-0x1.3333333333334p-2, 0x1.7ffffffffffffp+0, 0x1.e666666666667p+0}));
}

TEST(TriaxialPolyfitModel, EvaluatesEachAxisPolynomial) {
  auto record = triaxial_record(10, 0);
  record->coefs_x = {1, 0, 2};  // 1 + 2 * 16
  record->coefs_y = {0.5};
  record->coefs_z = {};
  EXPECT_EQ(applied(record, kRaw1234, std::vector<double>(3)), (std::vector<double>{33, 0.5, 0}));
}

TEST(TriaxialPolyfitModel, DeliversNegativeValues) {
  EXPECT_EQ(applied(triaxial_record(0, 0), {4, 3, 1, 1}, std::vector<double>(3))[0], -5);
}

TEST(TriaxialPolyfitModel, WritesOnlyTheAxesItsOutputMapNames) {
  auto record = triaxial_record(10, 0);
  record->output_map = {{0, 7}, {2, 8}};
  EXPECT_EQ(applied(record, kRaw1234, std::vector<double>(9, -1.0)),
            (std::vector<double>{-1, -1, -1, -1, -1, -1, -1, 4, 10}));
}

TEST(TriaxialPolyfitModel, OverwritesWhatAnEarlierModelAdded) {
  feltwise_comm::TaxelPolyfitModel taxel;
  taxel.configure(feltwise_test::polyfit_record(10, 7, 0, 0, {5}));
  TriaxialPolyfitModel triaxial;
  auto record = triaxial_record(10, 0);
  record->output_map = {{0, 7}};
  triaxial.configure(record);
  std::vector<double> out(8, 0.0);
  taxel.apply(out, kRaw1234);
  ASSERT_EQ(out[7], 5);
  triaxial.apply(out, kRaw1234);
  EXPECT_EQ(out[7], 4);
}

TEST(TriaxialPolyfitModel, AnOutputBeyondTheCalibratedSampleIsNotWritten) {
  auto record = triaxial_record(10, 0);
  record->output_map = {{0, 0}, {1, 5}};
  EXPECT_EQ(applied(record, kRaw1234, std::vector<double>(2, -1.0)), (std::vector<double>{4, -1}));
}

TEST(TriaxialPolyfitModel, AChannelSlotTheInputMapDoesNotNameReadsZero) {
  auto record = triaxial_record(10, 0);
  record->input_map.erase(13);
  record->offset = {0, 0, 0, -5};  // would make an unnamed slot read 5
  TriaxialPolyfitModel model;
  model.configure(record);
  std::vector<double> out(3);
  for (int sample = 0; sample < 3; ++sample) {
    model.apply(out, kRaw1234);
    EXPECT_EQ(out, (std::vector<double>{0, -2, 6}));
  }
}

TEST(TriaxialPolyfitModel, AMissingRawChannelGivesNoOutput) {
  std::vector<double> short_raw(kRaw1234.begin(), kRaw1234.end() - 1);
  ::testing::internal::CaptureStdout();
  const std::vector<double> out = applied(triaxial_record(10, 0), short_raw, std::vector<double>(3, -1.0));
  feltwise_test::capturedStdout();
  EXPECT_EQ(out, (std::vector<double>{-1, -1, -1}));
}

TEST(TriaxialPolyfitModel, ANegativeRawIndexGivesNoOutput) {
  auto record = triaxial_record(10, 0);
  record->input_map = {{-1, 0}};
  ::testing::internal::CaptureStdout();
  const std::vector<double> out = applied(record, kRaw1234, std::vector<double>(3, -1.0));
  feltwise_test::capturedStdout();
  EXPECT_EQ(out, (std::vector<double>{-1, -1, -1}));
}

struct RefusedRecord {
  const char* name;
  void (*spoil)(TriaxialPolyfitParameters&);
  std::string message;
};

class RefusedTriaxialRecord : public ::testing::TestWithParam<RefusedRecord> {};

TEST_P(RefusedTriaxialRecord, SaysWhy) {
  auto record = triaxial_record(10, 0);
  GetParam().spoil(*record);
  TriaxialPolyfitModel model;
  expect_error<std::runtime_error>([&] { model.configure(record); }, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedTriaxialRecord,
    ::testing::Values(
        RefusedRecord{"WrongType", [](TriaxialPolyfitParameters& r) { r.sensor_type = 1; }, "Invalid sensor type"},
        RefusedRecord{"InputSlotFour", [](TriaxialPolyfitParameters& r) { r.input_map[13] = 4; },
                      "Invalid input map for the triaxial sensor: channel slot 4 (raw index 13) is not 0 to 3"},
        RefusedRecord{"InputSlotNegative", [](TriaxialPolyfitParameters& r) { r.input_map[10] = -1; },
                      "Invalid input map for the triaxial sensor: channel slot -1 (raw index 10) is not 0 to 3"},
        RefusedRecord{"AxisThree", [](TriaxialPolyfitParameters& r) { r.output_map[3] = 9; },
                      "Invalid output map for the triaxial sensor: axis 3 is not 0 (x), 1 (y) or 2 (z)"},
        RefusedRecord{"AxisNegative", [](TriaxialPolyfitParameters& r) { r.output_map[-1] = 9; },
                      "Invalid output map for the triaxial sensor: axis -1 is not 0 (x), 1 (y) or 2 (z)"},
        RefusedRecord{"NegativeOutput", [](TriaxialPolyfitParameters& r) { r.output_map[1] = -2; },
                      "Invalid output map for the triaxial sensor: output index -2 of axis 1 is negative"},
        RefusedRecord{"ThreeOffsets",
                      [](TriaxialPolyfitParameters& r) {
                        r.offset = {0, 0, 0};
                      },
                      "Invalid offset for the triaxial sensor: 4 values needed, 3 given"},
        RefusedRecord{"NoDeadBands", [](TriaxialPolyfitParameters& r) { r.lower.clear(); },
                      "Invalid lower bound for the triaxial sensor: 4 values needed, 0 given"}),
    [](const ::testing::TestParamInfo<RefusedRecord>& param) { return std::string(param.param.name); });

TEST(TriaxialPolyfitModel, ARefusedRecordIsNotBound) {
  TriaxialPolyfitModel model;
  model.configure(triaxial_record(10, 0));
  auto spoiled = triaxial_record(0, 0);
  spoiled->offset.clear();
  EXPECT_THROW(model.configure(spoiled), std::runtime_error);
  std::vector<double> out(3);
  model.apply(out, kRaw1234);
  EXPECT_EQ(out, (std::vector<double>{4, 2, 10}));
}

TEST(TriaxialPolyfitModel, AcceptsLongerVectorsAndFewerMapEntries) {
  auto record = triaxial_record(10, 0);
  record->offset = {0, 0, 0, 0, 99};
  record->lower = {0, 0, 0, 0, 99};
  record->output_map = {};
  TriaxialPolyfitModel model;
  EXPECT_NO_THROW(model.configure(record));
}

TEST(TriaxialPolyfitModel, ZeroingSetsEachNamedOffsetToItsMeanRawValue) {
  auto record = triaxial_record(0, 0);
  record->input_map = {{0, 0}, {1, 1}, {3, 3}};
  record->offset = {9, 9, 9, 9};
  record->lower = {1, 1, 1, 1};
  TriaxialPolyfitModel model;
  model.configure(record);
  model.zero({{10, 20, 30, 40}, {12, 22, 32, 42}});
  EXPECT_EQ(record->offset, (std::vector<double>{11, 21, 9, 41}));
  EXPECT_EQ(record->lower, (std::vector<double>{1, 1, 1, 1}));
}

TEST(TriaxialPolyfitModel, ZeroingFollowsTheRawIndexThatFeedsTheSlot) {
  // Two raw indices feed slot 0; apply takes the larger, and so does zeroing.
  auto record = triaxial_record(0, 0);
  record->input_map = {{0, 0}, {2, 0}};
  TriaxialPolyfitModel model;
  model.configure(record);
  model.zero({{1, 0, 5}});
  EXPECT_EQ(record->offset[0], 5);
}

TEST(TriaxialPolyfitModel, ZeroingChangesNothingWhenASampleIsRefused) {
  auto record = triaxial_record(0, 0);
  record->offset = {1, 2, 3, 4};
  TriaxialPolyfitModel model;
  model.configure(record);
  expect_error<std::runtime_error>(
      [&] {
        model.zero({{5, 5, 5, 5}, {5, 5, 5}});
      },
      "Sensor requested zeroing is not plugged in.");
  expect_error<std::runtime_error>([&] { model.zero({{5, 5, 5, 5}, {}}); }, "Sensor not reading, data size is 0.");
  expect_error<std::runtime_error>([&] { model.zero({}); }, "No samples to zero the sensor with.");
  EXPECT_EQ(record->offset, (std::vector<double>{1, 2, 3, 4}));
}

TEST(TriaxialPolyfitModel, AZeroedUnitAtRestReadsItsConstantTerms) {
  auto record = triaxial_record(10, 0);
  record->offset = {100, 200, 300, 400};
  TriaxialPolyfitModel model;
  model.configure(record);
  const std::vector<double> rest = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 501, 602, 703, 804};
  model.zero({rest, rest});
  std::vector<double> out(3);
  model.apply(out, rest);
  EXPECT_EQ(out, (std::vector<double>{0, 0, 0}));
}

}  // namespace
