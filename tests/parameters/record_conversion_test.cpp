// Record maps of the parameter file, built byte by byte, converted into records.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "parameters/record_conversion.h"
#include "support/expect_error.h"
#include "support/msgpack_bytes.h"

// The msgpack builders below are laid out one key and its value to a line, as the file reads.
// clang-format off
namespace {

using feltwise_comm::SensorParameters;
using feltwise_comm::TaxelLookupParameters;
using feltwise_comm::TaxelPolyfitParameters;
using feltwise_comm::TriaxialPolyfitParameters;
using feltwise_test::MsgpackBytes;
using IntMap = std::map<std::int32_t, std::int32_t>;

msgpack::v1::object_handle unpacked(const MsgpackBytes& bytes) {
  return msgpack::v1::unpack(bytes.bytes().data(), bytes.bytes().size());
}

template <typename Record>
void convert(const MsgpackBytes& bytes, Record& record) {
  const msgpack::v1::object_handle handle = unpacked(bytes);
  feltwise_comm::convert_record(handle.get(), record);
}

template <typename Record>
void expect_bad_cast(const MsgpackBytes& bytes, Record& record) {
  feltwise_test::expect_error<msgpack::v1::type_error>([&] { convert(bytes, record); }, "bad cast");
}

// "SensorParameters": { "sensor_type": type, "input_map": {input: 0}, "output_map": {0: output} }
MsgpackBytes& sensor_parameters(MsgpackBytes& bytes, std::int64_t type, std::int64_t input, std::int64_t output) {
  return bytes.str("SensorParameters")
      .map(3)
      .str("sensor_type").integer(type)
      .str("input_map").map(1).integer(input).integer(0)
      .str("output_map").map(1).integer(0).integer(output);
}

// A taxel polynomial record with one more key.
MsgpackBytes taxel_with(const std::string& key, const MsgpackBytes& value) {
  MsgpackBytes bytes;
  bytes.map(2);
  sensor_parameters(bytes, 1, 5, 5);
  return bytes.str(key).append(value);
}

TEST(RecordConversion, FillsEveryFieldOfATaxelPolynomialRecord) {
  MsgpackBytes bytes;
  bytes.map(5);
  sensor_parameters(bytes, 1, 5, 5)
      .str("lower").integer(20)
      .str("upper").float64(4000.5)
      .str("offset").integer(812)
      .str("coefs").array(3).integer(0).float64(0.5).integer(-1);
  TaxelPolyfitParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.sensor_type, 1);
  EXPECT_EQ(record.input_map, (IntMap{{5, 0}}));
  EXPECT_EQ(record.output_map, (IntMap{{0, 5}}));
  EXPECT_EQ(record.lower, 20.0);
  EXPECT_EQ(record.upper, 4000.5);
  EXPECT_EQ(record.offset, 812.0);
  EXPECT_EQ(record.coefs, (std::vector<double>{0.0, 0.5, -1.0}));
}

TEST(RecordConversion, TakesKeysInAnyOrder) {
  MsgpackBytes bytes;
  bytes.map(3).str("coefs").array(1).integer(7).str("offset").integer(3);
  sensor_parameters(bytes, 1, 2, 4);
  TaxelPolyfitParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.input_map, (IntMap{{2, 0}}));
  EXPECT_EQ(record.offset, 3.0);
  EXPECT_EQ(record.coefs, std::vector<double>{7.0});
}

TEST(RecordConversion, FillsATriaxialRecord) {
  MsgpackBytes bytes;
  bytes.map(7);
  sensor_parameters(bytes, 0, 10, 7)
      .str("lower").array(4).integer(1).integer(2).integer(3).integer(4)
      .str("upper").array(0)
      .str("offset").array(4).float64(0.5).integer(0).integer(0).integer(-2)
      .str("coefs_x").array(2).integer(0).integer(1)
      .str("coefs_y").array(1).integer(2)
      .str("coefs_z").array(0);
  TriaxialPolyfitParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.sensor_type, 0);
  EXPECT_EQ(record.lower, (std::vector<double>{1, 2, 3, 4}));
  EXPECT_TRUE(record.upper.empty());
  EXPECT_EQ(record.offset, (std::vector<double>{0.5, 0, 0, -2}));
  EXPECT_EQ(record.coefs_x, (std::vector<double>{0, 1}));
  EXPECT_EQ(record.coefs_y, (std::vector<double>{2}));
  EXPECT_TRUE(record.coefs_z.empty());
}

TEST(RecordConversion, FillsALookupRecordThroughMsgpackConvert) {
  MsgpackBytes bytes;
  bytes.map(5);
  sensor_parameters(bytes, 2, 1, 1)
      .str("lower").integer(0)
      .str("upper").integer(100)
      .str("offset").integer(-4)
      .str("lut").array(3).integer(0).integer(10).integer(40);
  const msgpack::v1::object_handle handle = unpacked(bytes);
  TaxelLookupParameters record;
  handle.get().convert(record);
  EXPECT_EQ(record.sensor_type, 2);
  EXPECT_EQ(record.upper, 100.0);
  EXPECT_EQ(record.offset, -4.0);
  EXPECT_EQ(record.lut, (std::vector<double>{0, 10, 40}));
}

TEST(RecordConversion, MsgpackHandsBackTheObjectItConverted) {
  // `object >> record` returns the object it read, as for every msgpack-c
  // type; an adaptor declared on another version's object type would return
  // a reference to a temporary copy instead.
  MsgpackBytes bytes;
  bytes.map(1);
  sensor_parameters(bytes, 2, 1, 1);
  const msgpack::v1::object_handle handle = unpacked(bytes);
  const msgpack::object& object = handle.get();
  TaxelLookupParameters lookup;
  TaxelPolyfitParameters taxel;
  TriaxialPolyfitParameters triaxial;
  EXPECT_EQ(&(object >> lookup), &object);
  EXPECT_EQ(&(object >> taxel), &object);
  EXPECT_EQ(&(object >> triaxial), &object);
}

TEST(RecordConversion, IgnoresKeysTheRecordDoesNotKnow) {
  TaxelPolyfitParameters record;
  convert(taxel_with("lut", MsgpackBytes().str("not a table")), record);
  EXPECT_EQ(record.input_map, (IntMap{{5, 0}}));
}

TEST(RecordConversion, LeavesAbsentFieldsAsTheyWere) {
  TaxelPolyfitParameters record;
  record.coefs = {1.0, 2.0};
  convert(taxel_with("offset", MsgpackBytes().integer(3)), record);
  EXPECT_EQ(record.coefs, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(record.lower, 0.0);
  EXPECT_EQ(record.upper, 0.0);
}

TEST(RecordConversion, TaxelScalarsDefaultToZero) {
  MsgpackBytes bytes;
  bytes.map(1);
  sensor_parameters(bytes, 2, 0, 0);
  TaxelLookupParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.lower, 0.0);
  EXPECT_EQ(record.upper, 0.0);
  EXPECT_EQ(record.offset, 0.0);
}

TEST(RecordConversion, ARepeatedRecordKeyKeepsItsFirstValue) {
  MsgpackBytes bytes;
  bytes.map(3).str("lower").integer(1).str("lower").integer(2);
  sensor_parameters(bytes, 1, 0, 0);
  TaxelPolyfitParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.lower, 1.0);
}

TEST(RecordConversion, ARepeatedIntegerMapKeyTakesItsLastValue) {
  MsgpackBytes bytes;
  bytes.map(1)
      .str("SensorParameters").map(2)
      .str("sensor_type").integer(1)
      .str("input_map").map(2).integer(3).integer(0).integer(3).integer(1);
  TaxelPolyfitParameters record;
  convert(bytes, record);
  EXPECT_EQ(record.input_map, (IntMap{{3, 1}}));
}

TEST(RecordConversion, AMapReplacesThePreviousContent) {
  TaxelPolyfitParameters record;
  record.input_map = {{1, 1}, {2, 2}};
  MsgpackBytes bytes;
  bytes.map(1);
  sensor_parameters(bytes, 1, 9, 9);
  convert(bytes, record);
  EXPECT_EQ(record.input_map, (IntMap{{9, 0}}));
}

TEST(RecordConversion, AnEmptyArrayGivesAnEmptyVector) {
  TaxelPolyfitParameters record;
  record.coefs = {1.0};
  convert(taxel_with("coefs", MsgpackBytes().array(0)), record);
  EXPECT_TRUE(record.coefs.empty());
}

TEST(RecordConversion, ChecksEveryKeyBeforeAnyField) {
  MsgpackBytes bytes;
  bytes.map(3).str("lower").integer(5);
  sensor_parameters(bytes, 1, 0, 0).bin("offset").integer(1);
  TaxelPolyfitParameters record;
  expect_bad_cast(bytes, record);
  EXPECT_EQ(record.lower, 0.0);
  EXPECT_TRUE(record.input_map.empty());
}

TEST(RecordConversion, KeepsWhatWasConvertedBeforeARefusal) {
  // "SensorParameters" is converted first wherever it stands, then the fields
  // in declaration order: lower, upper, offset, coefs.
  MsgpackBytes bytes;
  bytes.map(4).str("upper").str("high").str("lower").integer(3).str("coefs").array(1).integer(1);
  sensor_parameters(bytes, 1, 6, 6);
  TaxelPolyfitParameters record;
  expect_bad_cast(bytes, record);
  EXPECT_EQ(record.input_map, (IntMap{{6, 0}}));
  EXPECT_EQ(record.lower, 3.0);
  EXPECT_TRUE(record.coefs.empty());
}

TEST(RecordConversion, RefusesARecordThatIsNotAMap) {
  TaxelPolyfitParameters record;
  expect_bad_cast(MsgpackBytes().array(0), record);
}

TEST(RecordConversion, RefusesSensorParametersThatAreNotAMap) {
  TaxelPolyfitParameters record;
  expect_bad_cast(MsgpackBytes().map(1).str("SensorParameters").integer(1), record);
}

TEST(RecordConversion, RefusesBinKeysInsideSensorParameters) {
  TaxelPolyfitParameters record;
  expect_bad_cast(MsgpackBytes().map(1).str("SensorParameters").map(1).bin("sensor_type").integer(1), record);
}

TEST(RecordConversion, RefusesAnIntegerMapGivenAsPairs) {
  MsgpackBytes bytes;
  bytes.map(1)
      .str("SensorParameters").map(1)
      .str("input_map").array(1).array(2).integer(5).integer(0);
  TaxelPolyfitParameters record;
  expect_bad_cast(bytes, record);
}

TEST(RecordConversion, RefusesAScalarWhereATriaxialRecordWantsAnArray) {
  MsgpackBytes bytes;
  bytes.map(2);
  sensor_parameters(bytes, 0, 0, 0).str("lower").float64(10.0);
  TriaxialPolyfitParameters record;
  expect_bad_cast(bytes, record);
}

TEST(RecordConversion, RefusesANumberWhereAnArrayIsWanted) {
  TaxelPolyfitParameters record;
  expect_bad_cast(taxel_with("coefs", MsgpackBytes().float64(0.5)), record);
}

TEST(RecordConversion, RefusesAnArrayElementThatIsNotANumber) {
  TaxelPolyfitParameters record;
  expect_bad_cast(taxel_with("coefs", MsgpackBytes().array(2).integer(1).nil()), record);
}

struct ValueCase {
  const char* name;
  MsgpackBytes value;
  double expected;
};

std::string case_name(const ::testing::TestParamInfo<ValueCase>& info) { return info.param.name; }

class DoubleField : public ::testing::TestWithParam<ValueCase> {};

TEST_P(DoubleField, AcceptsEveryNumberFormat) {
  TaxelPolyfitParameters record;
  convert(taxel_with("offset", GetParam().value), record);
  EXPECT_EQ(record.offset, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DoubleField,
    ::testing::Values(
        ValueCase{"PositiveFixint", MsgpackBytes().integer(7), 7.0},
        ValueCase{"Uint32", MsgpackBytes().uint32(812), 812.0},
        ValueCase{"Uint64NearestDouble", MsgpackBytes().uint64(std::numeric_limits<std::uint64_t>::max()),
                  18446744073709551616.0},
        ValueCase{"NegativeFixint", MsgpackBytes().integer(-3), -3.0},
        ValueCase{"Int64Lowest", MsgpackBytes().int64(std::numeric_limits<std::int64_t>::min()),
                  -9223372036854775808.0},
        ValueCase{"Float32Widened", MsgpackBytes().float32(0.1f), static_cast<double>(0.1f)},
        ValueCase{"Float32Exact", MsgpackBytes().float32(812.5f), 812.5},
        ValueCase{"Float64", MsgpackBytes().float64(0.1), 0.1}),
    case_name);

class IntegerField : public ::testing::TestWithParam<ValueCase> {};

TEST_P(IntegerField, AcceptsEveryIntegerFormatInRange) {
  MsgpackBytes bytes;
  bytes.map(1).str("SensorParameters").map(1).str("input_map").map(1).append(GetParam().value).integer(0);
  TaxelPolyfitParameters record;
  convert(bytes, record);
  ASSERT_EQ(record.input_map.size(), 1u);
  EXPECT_EQ(record.input_map.begin()->first, static_cast<std::int32_t>(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, IntegerField,
    ::testing::Values(ValueCase{"PositiveFixint", MsgpackBytes().integer(5), 5},
                      ValueCase{"Uint8", MsgpackBytes().uint8(200), 200},
                      ValueCase{"Uint32Highest", MsgpackBytes().uint32(2147483647), 2147483647},
                      ValueCase{"Uint64Small", MsgpackBytes().uint64(3), 3},
                      ValueCase{"Int8Positive", MsgpackBytes().int8(9), 9},
                      ValueCase{"NegativeFixint", MsgpackBytes().integer(-1), -1},
                      ValueCase{"Int32Lowest", MsgpackBytes().int32(-2147483647 - 1), -2147483648.0},
                      ValueCase{"Int64Lowest32", MsgpackBytes().int64(-2147483648LL), -2147483648.0}),
    case_name);

struct RefusedCase {
  const char* name;
  MsgpackBytes value;
};

std::string refused_name(const ::testing::TestParamInfo<RefusedCase>& info) { return info.param.name; }

class IntegerFieldRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(IntegerFieldRefuses, WithBadCast) {
  for (const char* field : {"sensor_type", "key", "value"}) {
    MsgpackBytes bytes;
    bytes.map(1).str("SensorParameters").map(1);
    if (std::string(field) == "sensor_type") {
      bytes.str("sensor_type").append(GetParam().value);
    } else if (std::string(field) == "key") {
      bytes.str("output_map").map(1).append(GetParam().value).integer(0);
    } else {
      bytes.str("output_map").map(1).integer(0).append(GetParam().value);
    }
    SCOPED_TRACE(field);
    TaxelPolyfitParameters record;
    expect_bad_cast(bytes, record);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, IntegerFieldRefuses,
    ::testing::Values(RefusedCase{"Float64One", MsgpackBytes().float64(1.0)},
                      RefusedCase{"Float32One", MsgpackBytes().float32(1.0f)},
                      RefusedCase{"Str", MsgpackBytes().str("1")},
                      RefusedCase{"Nil", MsgpackBytes().nil()},
                      RefusedCase{"True", MsgpackBytes().boolean(true)},
                      RefusedCase{"Array", MsgpackBytes().array(1).integer(1)},
                      RefusedCase{"Map", MsgpackBytes().map(0)},
                      RefusedCase{"AboveInt32", MsgpackBytes().uint32(2147483648u)},
                      RefusedCase{"BelowInt32", MsgpackBytes().int64(-2147483649LL)},
                      RefusedCase{"Uint64Huge", MsgpackBytes().uint64(std::numeric_limits<std::uint64_t>::max())}),
    refused_name);

class DoubleFieldRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(DoubleFieldRefuses, WithBadCast) {
  TaxelPolyfitParameters record;
  expect_bad_cast(taxel_with("lower", GetParam().value), record);
}

INSTANTIATE_TEST_SUITE_P(Values, DoubleFieldRefuses,
                         ::testing::Values(RefusedCase{"Str", MsgpackBytes().str("1.5")},
                                           RefusedCase{"Bin", MsgpackBytes().bin("1.5")},
                                           RefusedCase{"Nil", MsgpackBytes().nil()},
                                           RefusedCase{"False", MsgpackBytes().boolean(false)},
                                           RefusedCase{"Array", MsgpackBytes().array(1).float64(1.5)},
                                           RefusedCase{"Map", MsgpackBytes().map(0)}),
                         refused_name);

}  // namespace
// clang-format on
