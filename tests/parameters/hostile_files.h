// Parameter files made to hurt the loader, shared by the tests that check its
// refusals and its memory use: headers that declare billions of elements the
// file does not hold, nesting deep enough to exhaust a recursive reader, and
// a realistic file far larger than any sensor's.
#ifndef FELTWISE_TESTS_PARAMETERS_HOSTILE_FILES_H
#define FELTWISE_TESTS_PARAMETERS_HOSTILE_FILES_H

#include <string>
#include <vector>

#include "parameters/bounded_unpack.h"
#include "support/msgpack_bytes.h"

// The msgpack builders below are laid out one key and its value to a line, as the file reads.
// clang-format off
namespace feltwise_test {

struct HostileCase {
  const char* name;
  MsgpackBytes bytes;
  std::string message;
};

inline MsgpackBytes repeated(const MsgpackBytes& piece, int times) {
  MsgpackBytes bytes;
  for (int i = 0; i < times; ++i) bytes.append(piece);
  return bytes;
}

inline MsgpackBytes nested_arrays(std::size_t depth) {
  MsgpackBytes bytes;
  for (std::size_t i = 0; i < depth; ++i) bytes.array(1);
  return bytes.integer(1);
}

inline const MsgpackBytes kHugeArray = MsgpackBytes().raw({0xdd, 0xff, 0xff, 0xff, 0xff});
inline const MsgpackBytes kHugeMap = MsgpackBytes().raw({0xdf, 0xff, 0xff, 0xff, 0xff});

inline std::vector<HostileCase> hostile_cases() {
  return {
      {"ArrayOfFourBillion", kHugeArray, "insufficient bytes"},
      {"MapOfFourBillion", kHugeMap, "insufficient bytes"},
      {"StrOfFourGigabytes", MsgpackBytes().raw({0xdb, 0xff, 0xff, 0xff, 0xfe, 'a'}), "insufficient bytes"},
      {"BinOfFourGigabytes", MsgpackBytes().raw({0xc6, 0xff, 0xff, 0xff, 0xfe, 'a'}), "insufficient bytes"},
      {"ExtOfFourGigabytes", MsgpackBytes().raw({0xc9, 0xff, 0xff, 0xff, 0xfe, 1, 'a'}), "insufficient bytes"},
      {"HugeArraysNestedToTheBound", repeated(kHugeArray, static_cast<int>(feltwise_comm::kMaxParameterNesting)),
       "insufficient bytes"},
      {"HugeGroupAfterTheVersion", MsgpackBytes().array(2).integer(1).append(kHugeArray).map(0),
       "insufficient bytes"},
      {"ManyHugeMapsSideBySide", MsgpackBytes().array(0xffff).append(repeated(kHugeMap, 20)), "insufficient bytes"},
      {"HugeArrayThenReservedByte", MsgpackBytes().append(kHugeArray).raw({0xc1}), "parse error"},
      {"NestedBeyondTheBound", nested_arrays(feltwise_comm::kMaxParameterNesting + 1), "depth size overflow"},
      {"NestedAMillionDeep", nested_arrays(1000000), "depth size overflow"},
      {"MapsNestedAMillionDeep", repeated(MsgpackBytes().map(1).integer(0), 1000000).integer(0),
       "depth size overflow"},
  };
}

// A realistic file far larger than any sensor's: 20,000 taxel records.
inline std::string large_file() {
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

}  // namespace feltwise_test
// clang-format on

#endif  // FELTWISE_TESTS_PARAMETERS_HOSTILE_FILES_H
