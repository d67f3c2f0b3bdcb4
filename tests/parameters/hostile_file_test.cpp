// Files made to hurt the loader: headers that declare billions of elements the
// file does not hold, and nesting deep enough to exhaust a recursive reader.
// They must be refused with msgpack-c's usual errors, and no file may make the
// loader allocate more than a small multiple of its size.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "parameters/bounded_unpack.h"
#include "parameters/parameter_file.h"
#include "support/msgpack_bytes.h"

namespace {

using feltwise_comm::max_parameter_nesting;
using feltwise_comm::ParameterHolder;
using feltwise_test::MsgpackBytes;

struct HostileCase {
  const char* name;
  MsgpackBytes bytes;
  std::string message;
};

MsgpackBytes repeated(const MsgpackBytes& piece, int times) {
  MsgpackBytes bytes;
  for (int i = 0; i < times; ++i) bytes.append(piece);
  return bytes;
}

MsgpackBytes nested_arrays(std::size_t depth) {
  MsgpackBytes bytes;
  for (std::size_t i = 0; i < depth; ++i) bytes.array(1);
  return bytes.integer(1);
}

const MsgpackBytes huge_array = MsgpackBytes().raw({0xdd, 0xff, 0xff, 0xff, 0xff});
const MsgpackBytes huge_map = MsgpackBytes().raw({0xdf, 0xff, 0xff, 0xff, 0xff});

std::vector<HostileCase> hostile_cases() {
  return {
      {"ArrayOfFourBillion", huge_array, "insufficient bytes"},
      {"MapOfFourBillion", huge_map, "insufficient bytes"},
      {"StrOfFourGigabytes", MsgpackBytes().raw({0xdb, 0xff, 0xff, 0xff, 0xfe, 'a'}), "insufficient bytes"},
      {"BinOfFourGigabytes", MsgpackBytes().raw({0xc6, 0xff, 0xff, 0xff, 0xfe, 'a'}), "insufficient bytes"},
      {"ExtOfFourGigabytes", MsgpackBytes().raw({0xc9, 0xff, 0xff, 0xff, 0xfe, 1, 'a'}), "insufficient bytes"},
      {"HugeArraysNestedToTheBound", repeated(huge_array, static_cast<int>(max_parameter_nesting)), "insufficient bytes"},
      {"HugeGroupAfterTheVersion", MsgpackBytes().array(2).integer(1).append(huge_array).map(0),
       "insufficient bytes"},
      {"ManyHugeMapsSideBySide", MsgpackBytes().array(0xffff).append(repeated(huge_map, 20)), "insufficient bytes"},
      {"HugeArrayThenReservedByte", MsgpackBytes().append(huge_array).raw({0xc1}), "parse error"},
      {"NestedBeyondTheBound", nested_arrays(max_parameter_nesting + 1), "depth size overflow"},
      {"NestedAMillionDeep", nested_arrays(1000000), "depth size overflow"},
      {"MapsNestedAMillionDeep", repeated(MsgpackBytes().map(1).integer(0), 1000000).integer(0),
       "depth size overflow"},
  };
}

class HostileFile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, IsRefusedByTheUnpacking) {
  ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, GetParam().bytes.bytes());
    ADD_FAILURE() << "decoded";
  } catch (const msgpack::v1::unpack_error& error) {
    EXPECT_EQ(error.what(), GetParam().message);
  }
}

std::string case_name(const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Files, HostileFile, ::testing::ValuesIn(hostile_cases()), case_name);

TEST(Nesting, TheBoundItselfIsAccepted) {
  // Unpacked, then refused for what it holds: the version is an array.
  ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, nested_arrays(max_parameter_nesting).bytes());
    ADD_FAILURE() << "decoded";
  } catch (const msgpack::v1::type_error& error) {
    EXPECT_STREQ(error.what(), "bad cast");
  }
}

// A realistic file far larger than any sensor's: 20,000 taxel records.
std::string large_file() {
  MsgpackBytes bytes;
  bytes.array(2).integer(1).array(20000);
  for (int i = 0; i < 20000; ++i) {
    bytes.map(5)
        .str("SensorParameters").map(3)
        .str("sensor_type").integer(1)
        .str("input_map").map(1).integer(i).integer(0)
        .str("output_map").map(1).integer(0).integer(i)
        .str("lower").float64(20.0)
        .str("upper").float64(4000.0)
        .str("offset").float64(812.0)
        .str("coefs").array(4).float64(0.0).float64(0.01).float64(1e-6).float64(-1e-10);
  }
  return bytes.bytes();
}

std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Runs in a child process whose address space is capped at 256 MB above what
// it uses: an allocation of what a hostile header declares cannot succeed, and
// lazily committed memory cannot hide it.
void decode_within_budget() {
  const std::string large = large_file();
  const rlim_t budget = address_space_in_use() + (rlim_t{256} << 20);
  const rlimit limit{budget, budget};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);

  bool all_refused = true;
  for (const HostileCase& hostile : hostile_cases()) {
    ParameterHolder holder;
    try {
      feltwise_comm::decode_parameters(holder, hostile.bytes.bytes());
      all_refused = false;
    } catch (const msgpack::v1::unpack_error&) {
    } catch (const std::bad_alloc&) {
      std::cerr << hostile.name << ": allocation failed\n";
      all_refused = false;
    }
  }
  ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, large);
  } catch (const std::exception& error) {
    std::cerr << "large file: " << error.what() << "\n";
    all_refused = false;
  }
  std::_Exit(all_refused && holder.records_.size() == 20000 ? 0 : 1);
}

TEST(AllocationBudget, HoldsForHostileAndLargeFiles) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(decode_within_budget(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
