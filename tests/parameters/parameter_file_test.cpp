// Parameter files, built byte by byte, decoded into a holder of the protocol
// version and the record list; and the reading of the file itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "parameters/parameter_file.h"
#include "parameters/parameter_holder.h"
#include "parameters/regular_file.h"
#include "sensor_types/sensor_type_table.h"
#include "support/expect_error.h"
#include "support/msgpack_bytes.h"
#include "support/pty_pair.h"

// The msgpack builders below are laid out one key and its value to a line, as the file reads.
// clang-format off
namespace {

using feltwise_comm::decode_parameters;
using feltwise_comm::decodeRecord;
using feltwise_comm::detect_sensor_type;
using feltwise_comm::ParameterHolder;
using feltwise_comm::TaxelLookupParameters;
using feltwise_comm::TaxelPolyfitParameters;
using feltwise_comm::TriaxialPolyfitParameters;
using feltwise_test::expect_error;
using feltwise_test::MsgpackBytes;

// A complete taxel polynomial record reading raw channel `channel`.
MsgpackBytes taxel(std::int64_t channel) {
  MsgpackBytes bytes;
  bytes.map(3)
      .str("SensorParameters").map(3)
      .str("sensor_type").integer(1)
      .str("input_map").map(1).integer(channel).integer(0)
      .str("output_map").map(1).integer(0).integer(channel)
      .str("offset").integer(100)
      .str("coefs").array(2).integer(0).integer(1);
  return bytes;
}

// A record map whose only content is "SensorParameters": {"sensor_type": type}.
MsgpackBytes typed(const MsgpackBytes& type) {
  return MsgpackBytes().map(1).str("SensorParameters").map(1).str("sensor_type").append(type);
}

void decode(ParameterHolder& holder, const MsgpackBytes& bytes) { decode_parameters(holder, bytes.bytes(), decodeRecord); }

std::int32_t detect(const MsgpackBytes& record) {
  const std::string& bytes = record.bytes();
  const msgpack::v1::object_handle handle = msgpack::v1::unpack(bytes.data(), bytes.size());
  return detect_sensor_type(handle.get());
}

std::int32_t channel_of(const std::shared_ptr<feltwise_comm::SensorParameters>& record) {
  return record->input_map.begin()->first;
}

TEST(DecodeParameters, AVersionAloneGivesNoRecords) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(1).integer(2));
  EXPECT_EQ(holder.protocol_version_, 2);
  EXPECT_TRUE(holder.records_.empty());
}

TEST(DecodeParameters, AnEmptyGroupGivesNoRecords) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(2).integer(2).array(0));
  EXPECT_EQ(holder.protocol_version_, 2);
  EXPECT_TRUE(holder.records_.empty());
}

TEST(DecodeParameters, LeavesTheVersionRangeToTheCommsObject) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(2).integer(7).array(1).append(taxel(0)));
  EXPECT_EQ(holder.protocol_version_, 7);
  EXPECT_EQ(holder.records_.size(), 1u);
}

TEST(DecodeParameters, FlattensGroupsInFileOrder) {
  ParameterHolder holder;
  decode(holder,
         MsgpackBytes().array(3).integer(4).array(2).append(taxel(0)).append(taxel(1)).array(1).append(taxel(2)));
  ASSERT_EQ(holder.records_.size(), 3u);
  EXPECT_EQ(channel_of(holder.records_[0]), 0);
  EXPECT_EQ(channel_of(holder.records_[1]), 1);
  EXPECT_EQ(channel_of(holder.records_[2]), 2);
}

TEST(DecodeParameters, AppendsAfterTheRecordsAlreadyHeld) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(2).integer(1).array(1).append(taxel(8)));
  decode(holder, MsgpackBytes().array(2).integer(3).array(1).append(taxel(9)));
  EXPECT_EQ(holder.protocol_version_, 3);
  ASSERT_EQ(holder.records_.size(), 2u);
  EXPECT_EQ(channel_of(holder.records_[0]), 8);
  EXPECT_EQ(channel_of(holder.records_[1]), 9);
}

TEST(DecodeParameters, BuildsTheRecordClassOfTheSensorType) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes()
                     .array(2)
                     .integer(1)
                     .array(3)
                     .append(typed(MsgpackBytes().integer(0)))
                     .append(typed(MsgpackBytes().integer(1)))
                     .append(typed(MsgpackBytes().integer(2))));
  ASSERT_EQ(holder.records_.size(), 3u);
  EXPECT_NE(dynamic_cast<TriaxialPolyfitParameters*>(holder.records_[0].get()), nullptr);
  EXPECT_NE(dynamic_cast<TaxelPolyfitParameters*>(holder.records_[1].get()), nullptr);
  EXPECT_NE(dynamic_cast<TaxelLookupParameters*>(holder.records_[2].get()), nullptr);
}

TEST(DecodeParameters, ReadsOnlyTheFirstObject) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(1).integer(2).array(2).integer(3).array(1).append(taxel(0)));
  EXPECT_EQ(holder.protocol_version_, 2);
  EXPECT_TRUE(holder.records_.empty());
}

TEST(DecodeParameters, IgnoresUnparsableTrailingBytes) {
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(1).integer(2).raw({0xc1, 0xdd, 0xff}));
  EXPECT_EQ(holder.protocol_version_, 2);
}

TEST(DecodeParameters, WritesTheVersionAndKeepsEarlierRecordsWhenARecordFails) {
  ParameterHolder holder;
  const MsgpackBytes bad = MsgpackBytes().map(2).str("SensorParameters").map(1).str("sensor_type").integer(1)
                                .str("coefs").str("x");
  expect_error<msgpack::v1::type_error>(
      [&] { decode(holder, MsgpackBytes().array(2).integer(3).array(3).append(taxel(0)).append(bad).append(taxel(1))); },
      "bad cast");
  EXPECT_EQ(holder.protocol_version_, 3);
  ASSERT_EQ(holder.records_.size(), 1u);
  EXPECT_EQ(channel_of(holder.records_[0]), 0);
}

TEST(DecodeParameters, RecordsWhoseKeysAreAllBinPassDetectionButNotConversion) {
  const MsgpackBytes record = MsgpackBytes().map(1).bin("SensorParameters").map(1).bin("sensor_type").integer(1);
  EXPECT_EQ(detect(record), 1);
  ParameterHolder holder;
  expect_error<msgpack::v1::type_error>(
      [&] { decode(holder, MsgpackBytes().array(2).integer(1).array(1).append(record)); }, "bad cast");
  EXPECT_TRUE(holder.records_.empty());
}

TEST(DecodeParameters, ARecordWithoutTypeInItsFirstSensorParametersIsOfTheDetectedKind) {
  // The type comes from the second "SensorParameters"; the conversion reads
  // the first, which has none, so the record keeps the kind of its class.
  const MsgpackBytes record = MsgpackBytes()
                                  .map(2)
                                  .str("SensorParameters").map(0)
                                  .str("SensorParameters").map(1).str("sensor_type").integer(2);
  ParameterHolder holder;
  decode(holder, MsgpackBytes().array(2).integer(1).array(1).append(record));
  ASSERT_EQ(holder.records_.size(), 1u);
  EXPECT_NE(dynamic_cast<TaxelLookupParameters*>(holder.records_[0].get()), nullptr);
  EXPECT_EQ(holder.records_[0]->sensor_type, 2);
}

TEST(DetectSensorType, SkipsNegativeTypes) {
  EXPECT_EQ(detect(MsgpackBytes().map(1).str("SensorParameters").map(2)
                       .str("sensor_type").integer(-1)
                       .str("sensor_type").integer(2)),
            2);
}

TEST(DetectSensorType, LooksNoFurtherThanTheFirstType) {
  // The integer key after the type is not examined here; the conversion
  // refuses it later.
  const MsgpackBytes record = MsgpackBytes().map(2)
                                  .str("SensorParameters").map(1).str("sensor_type").integer(1)
                                  .integer(5).str("x");
  EXPECT_EQ(detect(record), 1);
  ParameterHolder holder;
  expect_error<msgpack::v1::type_error>(
      [&] { decode(holder, MsgpackBytes().array(2).integer(1).array(1).append(record)); }, "bad cast");
}

TEST(DetectSensorType, RefusesAKeyThatIsNeitherStrNorBin) {
  expect_error<msgpack::v1::type_error>([] { detect(MsgpackBytes().map(1).integer(1).integer(1)); }, "bad cast");
  expect_error<msgpack::v1::type_error>(
      [] { detect(MsgpackBytes().map(1).str("SensorParameters").map(1).nil().integer(1)); }, "bad cast");
}

struct FileCase {
  const char* name;
  MsgpackBytes bytes;
  std::string message;
};

std::string file_case_name(const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; }

// A file whose only record is `record`.
MsgpackBytes file_of(const MsgpackBytes& record) { return MsgpackBytes().array(2).integer(1).array(1).append(record); }

class RefusedFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(RefusedFile, WithItsMessage) {
  ParameterHolder holder;
  try {
    decode(holder, GetParam().bytes);
    ADD_FAILURE() << "decoded";
  } catch (const std::exception& error) {
    EXPECT_EQ(error.what(), GetParam().message);
  }
  EXPECT_TRUE(holder.records_.empty());
}

INSTANTIATE_TEST_SUITE_P(
    DataFormat, RefusedFile,
    ::testing::Values(
        FileCase{"TopLevelMap", MsgpackBytes().map(1).integer(0).integer(1), "Invalid sensor parameter data format (1)"},
        FileCase{"TextFile", MsgpackBytes().raw({'h', 'e', 'l', 'l', 'o', '\n'}),
                 "Invalid sensor parameter data format (1)"},
        FileCase{"EmptyArray", MsgpackBytes().array(0), "Invalid sensor parameter data format (2)"},
        FileCase{"NoSensorParameters", file_of(MsgpackBytes().map(1).str("lower").integer(1)),
                 "Invalid sensor parameter data format (3)"},
        FileCase{"EmptyRecord", file_of(MsgpackBytes().map(0)), "Invalid sensor parameter data format (3)"},
        FileCase{"NoSensorType", file_of(MsgpackBytes().map(1).str("SensorParameters").map(0)),
                 "Invalid sensor parameter data format (3)"},
        FileCase{"OnlyNegativeType", file_of(typed(MsgpackBytes().integer(-1))),
                 "Invalid sensor parameter data format (3)"},
        FileCase{"TypeThree", file_of(typed(MsgpackBytes().integer(3))), "Invalid sensor parameter data format (4) "},
        FileCase{"TypeHuge", file_of(typed(MsgpackBytes().int32(2147483647))),
                 "Invalid sensor parameter data format (4) "}),
    file_case_name);

INSTANTIATE_TEST_SUITE_P(
    BadCast, RefusedFile,
    ::testing::Values(
        FileCase{"VersionFloat", MsgpackBytes().array(1).float64(1.0), "bad cast"},
        FileCase{"VersionAboveInt32", MsgpackBytes().array(1).uint32(2147483648u), "bad cast"},
        FileCase{"VersionStr", MsgpackBytes().array(1).str("1"), "bad cast"},
        FileCase{"GroupNotArray", MsgpackBytes().array(2).integer(1).append(taxel(0)), "bad cast"},
        FileCase{"RecordNotMap", MsgpackBytes().array(2).integer(1).array(1).array(0), "bad cast"},
        FileCase{"SensorParametersNotMap", file_of(MsgpackBytes().map(1).str("SensorParameters").array(0)),
                 "bad cast"},
        FileCase{"TypeFloat", file_of(typed(MsgpackBytes().float64(1.0))), "bad cast"},
        FileCase{"TypeAboveInt32", file_of(typed(MsgpackBytes().uint64(2147483648u))), "bad cast"}),
    file_case_name);

INSTANTIATE_TEST_SUITE_P(
    Unpacking, RefusedFile,
    ::testing::Values(
        FileCase{"Empty", MsgpackBytes(), "insufficient bytes"},
        FileCase{"Truncated", MsgpackBytes().array(2).integer(1), "insufficient bytes"},
        FileCase{"ReservedByte", MsgpackBytes().raw({0xc1}), "parse error"},
        FileCase{"ReservedByteInside", MsgpackBytes().array(2).integer(1).raw({0xc1}), "parse error"}),
    file_case_name);

class ParameterFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/feltwise-params-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + directory_ + "'").c_str()); }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string directory_;
};

TEST_F(ParameterFileOnDisk, ReturnsEveryByteUnchanged) {
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7));
  EXPECT_EQ(feltwise_comm::read_parameter_file(write("params.bin", bytes)), bytes);
}

TEST_F(ParameterFileOnDisk, AnEmptyFileReadsAsNoBytes) {
  EXPECT_EQ(feltwise_comm::read_parameter_file(write("empty.bin", "")), "");
}

TEST_F(ParameterFileOnDisk, AMissingFileCannotBeFound) {
  expect_error<std::runtime_error>([&] { feltwise_comm::read_parameter_file(directory_ + "/missing.bin"); },
                                   "Cannot find sensor parameter file");
}

// What is not a regular file is refused at once: opening a FIFO would wait
// for a writer, and /dev/zero would fill the memory. The read runs in a child
// process that a watchdog alarm ends, so that a regression fails instead of
// hanging the run.
struct NotRegular {
  const char* name;
  std::string (*make)(const std::string& directory);
};

class NotARegularFile : public ParameterFileOnDisk, public ::testing::WithParamInterface<NotRegular> {};

TEST_P(NotARegularFile, CannotBeOpenedAndNothingWaits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = GetParam().make(directory_);
  ASSERT_FALSE(path.empty());
  EXPECT_EXIT(
      {
        ::alarm(10);
        try {
          feltwise_comm::read_parameter_file(path);
        } catch (const std::runtime_error& error) {
          std::_Exit(std::string(error.what()) == "Cannot open sensor parameter file" ? 0 : 1);
        }
        std::_Exit(2);
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NotARegularFile,
    ::testing::Values(
        NotRegular{"Fifo", [](const std::string& directory) {
                     const std::string path = directory + "/fifo";
                     return ::mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
                   }},
        NotRegular{"DevZero", [](const std::string&) { return std::string("/dev/zero"); }},
        NotRegular{"DevNull", [](const std::string&) { return std::string("/dev/null"); }},
        NotRegular{"Terminal", [](const std::string& directory) {
                     // A link to the terminal: what is read is what it names.
                     static feltwise_test::PtyPair pty;
                     const std::string path = directory + "/terminal";
                     return ::symlink(pty.path().c_str(), path.c_str()) == 0 ? path : std::string();
                   }},
        NotRegular{"Directory", [](const std::string& directory) { return directory; }}),
    [](const ::testing::TestParamInfo<NotRegular>& kind) { return std::string(kind.param.name); });

TEST_F(ParameterFileOnDisk, AFileOverTheCapIsRefusedBeforeItIsRead) {
  // Sparse: its size says 64 MiB and a byte, and it takes no disk.
  const std::string path = write("huge.bin", "");
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(feltwise_comm::kMaxParameterFileSize + 1)), 0);
  expect_error<std::runtime_error>([&] { feltwise_comm::read_parameter_file(path); },
                                   "Sensor parameter file is larger than 64 MiB");
}

TEST_F(ParameterFileOnDisk, AFileOfExactlyTheCapIsRead) {
  const std::string path = write("cap.bin", "");
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(feltwise_comm::kMaxParameterFileSize)), 0);
  EXPECT_EQ(feltwise_comm::read_parameter_file(path).size(), feltwise_comm::kMaxParameterFileSize);
}

TEST(RegularFile, MoreBytesThanTheLimitAreRefusedWhileReading) {
  // A /proc file says its size is 0 and then yields hundreds of bytes, as a
  // file that grows while it is read would.
  std::string bytes;
  EXPECT_EQ(feltwise_comm::read_regular_file("/proc/self/status", 16, bytes), feltwise_comm::FileRead::too_large);
  EXPECT_EQ(feltwise_comm::read_regular_file("/proc/self/status", 1 << 20, bytes), feltwise_comm::FileRead::read);
  EXPECT_GT(bytes.size(), 16u);
}

TEST_F(ParameterFileOnDisk, AFileReadIsAFileDecoded) {
  ParameterHolder holder;
  const std::string path = write("params.bin", MsgpackBytes().array(2).integer(4).array(1).append(taxel(3)).bytes());
  decode_parameters(holder, feltwise_comm::read_parameter_file(path), decodeRecord);
  EXPECT_EQ(holder.protocol_version_, 4);
  ASSERT_EQ(holder.records_.size(), 1u);
  EXPECT_EQ(channel_of(holder.records_[0]), 3);
}

}  // namespace
// clang-format on
