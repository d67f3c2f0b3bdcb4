// The mean raw values of zeroing, and the order in which samples are refused.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "models/zeroing.h"
#include "support/expect_error.h"

namespace {

using feltwise_comm::mean_raw_values;
using feltwise_test::expect_error;

TEST(MeanRawValues, AveragesEachChannelOverTheSamples) {
  EXPECT_EQ(mean_raw_values({{1, 10, 100}, {3, 30, 300}}, {2, 0}), (std::vector<double>{200, 2}));
}

TEST(MeanRawValues, ChecksSamplesInListOrder) {
  // The short sample comes before the empty one.
  expect_error<std::runtime_error>(
      [] {
        mean_raw_values({{1, 2}, {1}, {}}, {1});
      },
      "Sensor requested zeroing is not plugged in.");
  expect_error<std::runtime_error>(
      [] {
        mean_raw_values({{1, 2}, {}, {1}}, {1});
      },
      "Sensor not reading, data size is 0.");
}

TEST(MeanRawValues, RefusesANegativeChannel) {
  expect_error<std::runtime_error>(
      [] {
        mean_raw_values({{1, 2}}, {-1});
      },
      "Sensor requested zeroing is not plugged in.");
}

TEST(MeanRawValues, RefusesAnEmptySampleEvenWithoutChannels) {
  expect_error<std::runtime_error>([] { mean_raw_values({{}}, {}); }, "Sensor not reading, data size is 0.");
}

}  // namespace
