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

#include "hostile_files.h"
#include "parameters/bounded_unpack.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

namespace {

using feltwise_comm::kMaxParameterNesting;
using feltwise_comm::ParameterHolder;
using feltwise_test::hostile_cases;
using feltwise_test::HostileCase;
using feltwise_test::large_file;
using feltwise_test::nested_arrays;

class HostileFile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileFile, IsRefusedByTheUnpacking) {
  ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, GetParam().bytes.bytes(), feltwise_comm::decodeRecord);
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
    feltwise_comm::decode_parameters(holder, nested_arrays(kMaxParameterNesting).bytes(), feltwise_comm::decodeRecord);
    ADD_FAILURE() << "decoded";
  } catch (const msgpack::v1::type_error& error) {
    EXPECT_STREQ(error.what(), "bad cast");
  }
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
      feltwise_comm::decode_parameters(holder, hostile.bytes.bytes(), feltwise_comm::decodeRecord);
      all_refused = false;
    } catch (const msgpack::v1::unpack_error&) {
    } catch (const std::bad_alloc&) {
      std::cerr << hostile.name << ": allocation failed\n";
      all_refused = false;
    }
  }
  ParameterHolder holder;
  try {
    feltwise_comm::decode_parameters(holder, large, feltwise_comm::decodeRecord);
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
