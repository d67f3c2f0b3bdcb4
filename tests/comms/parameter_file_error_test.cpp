// init's refusal of a parameter file, as a C++ program sees it through the
// public headers: the text it always had, of the class it always had
// (std::runtime_error, or std::bad_cast for "bad cast"), and where the file
// went wrong: its path, the record and the field to blame.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "feltwise_comm/feltwise_comms.h"
#include "feltwise_comm/parameter_file_error.h"
#include "feltwise_comm/tables.h"
#include "support/msgpack_bytes.h"

namespace {

using feltwise_comm::ParameterFileFailure;
using feltwise_comm::ParameterFileReason;
using feltwise_test::MsgpackBytes;
using Reason = ParameterFileReason;

// A taxel record reading channel 0; `coefs` is the value of its "coefs".
MsgpackBytes taxel(const MsgpackBytes& coefs = MsgpackBytes().array(2).integer(0).integer(1),
                   const MsgpackBytes& type = MsgpackBytes().integer(1)) {
  return MsgpackBytes()
      .map(3)
      .str("SensorParameters")
      .map(3)
      .str("sensor_type")
      .append(type)
      .str("input_map")
      .map(1)
      .integer(0)
      .integer(0)
      .str("output_map")
      .map(1)
      .integer(0)
      .integer(0)
      .str("offset")
      .integer(100)
      .str("coefs")
      .append(coefs);
}

// [version, [good record, `second`]]
MsgpackBytes secondRecord(const MsgpackBytes& second) {
  return MsgpackBytes().array(2).integer(1).array(2).append(taxel()).append(second);
}

struct Case {
  const char* name;
  std::optional<MsgpackBytes> bytes;  // none: no file at the path
  std::string what;
  Reason reason;
  std::optional<std::size_t> record;
  std::string field;
};

class RefusedFileAtInit : public ::testing::TestWithParam<Case> {};

TEST_P(RefusedFileAtInit, TellsWhereWithTheTextItAlwaysHad) {
  const Case& c = GetParam();
  const std::string path = ::testing::TempDir() + "refused-" + c.name + ".msgpack";
  std::remove(path.c_str());
  if (c.bytes) std::ofstream(path, std::ios::binary) << c.bytes->bytes();
  for (const bool through_tables : {false, true}) {
    SCOPED_TRACE(through_tables ? "loadParameters" : "FeltwiseComms::init");
    try {
      if (through_tables) {
        (void)feltwise_comm::loadParameters(path);
      } else {
        feltwise_comm::FeltwiseComms comms;
        comms.init(path);
      }
      ADD_FAILURE() << "accepted";
    } catch (const ParameterFileFailure& failure) {
      EXPECT_EQ(failure.text(), c.what);
      EXPECT_EQ(failure.reason(), c.reason);
      EXPECT_EQ(failure.path(), path);
      EXPECT_EQ(failure.record(), c.record);
      EXPECT_EQ(failure.field(), c.field);
      // The class callers have always caught it by.
      if (c.reason == Reason::kValue) {
        EXPECT_NE(dynamic_cast<const std::bad_cast*>(&failure), nullptr);
      } else {
        EXPECT_NE(dynamic_cast<const std::runtime_error*>(&failure), nullptr);
      }
    }
  }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFileAtInit,
    ::testing::Values(
        Case{"missing", std::nullopt, "Cannot find sensor parameter file", Reason::kMissing, {}, ""},
        Case{"empty", MsgpackBytes(), "insufficient bytes", Reason::kNotMsgpack, {}, ""},
        Case{"unparsable", MsgpackBytes().raw({0xc1}), "parse error", Reason::kNotMsgpack, {}, ""},
        Case{"top_level_map",
             MsgpackBytes().map(0),
             "Invalid sensor parameter data format (1)",
             Reason::kFormat,
             {},
             ""},
        Case{"no_type_in_second", secondRecord(MsgpackBytes().map(0)), "Invalid sensor parameter data format (3)",
             Reason::kFormat, 1, ""},
        Case{"unknown_type_in_second", secondRecord(taxel(MsgpackBytes().array(0), MsgpackBytes().integer(99))),
             "Invalid sensor parameter data format (4) ", Reason::kFormat, 1, ""},
        Case{"version_float", MsgpackBytes().array(1).float64(1.0), "bad cast", Reason::kValue, {}, ""},
        Case{"group_not_array", MsgpackBytes().array(2).integer(1).integer(5), "bad cast", Reason::kValue, {}, ""},
        Case{"coefs_text_in_second", secondRecord(taxel(MsgpackBytes().str("1, 2"))), "bad cast", Reason::kValue, 1,
             "coefs"},
        Case{"type_float_in_second", secondRecord(taxel(MsgpackBytes().array(0), MsgpackBytes().float64(1.0))),
             "bad cast", Reason::kValue, 1, "sensor_type"},
        Case{"record_not_map", MsgpackBytes().array(2).integer(1).array(1).integer(3), "bad cast", Reason::kValue, 0,
             ""},
        Case{"version_without_protocol",
             MsgpackBytes().array(2).integer(7).array(1).append(taxel()),
             "Invalid protocol version in sensor parameters",
             Reason::kRefused,
             {},
             ""}),
    caseName);

}  // namespace
