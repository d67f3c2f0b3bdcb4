// The lookup-table model: interpolation, the held ends of the table, the
// configuration checks in their order, and zeroing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "models/taxel_lookup_model.h"
#include "records.h"
#include "support/expect_error.h"

namespace {

using feltwise_comm::TaxelLookupModel;
using feltwise_comm::TaxelLookupParameters;
using feltwise_test::expect_error;
using feltwise_test::lookup_record;

double looked_up(const std::shared_ptr<TaxelLookupParameters>& record, double raw) {
  TaxelLookupModel model;
  model.configure(record);
  std::vector<double> out{0};
  model.apply(out, {raw});
  return out[0];
}

struct LookupCase {
  const char* name;
  double lower;
  double upper;
  std::vector<double> lut;
  double raw;
  double expected;
};

class LookupValue : public ::testing::TestWithParam<LookupCase> {};

TEST_P(LookupValue, OfOneRawReading) {
  const LookupCase& c = GetParam();
  EXPECT_DOUBLE_EQ(looked_up(lookup_record(0, 0, c.lower, c.upper, c.lut), c.raw), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Inside, LookupValue,
                         ::testing::Values(LookupCase{"FirstEntry", 0, 100, {0, 10, 40}, 0, 0},
                                           LookupCase{"FirstCell", 0, 100, {0, 10, 40}, 25, 5},
                                           LookupCase{"CellBoundary", 0, 100, {0, 10, 40}, 50, 10},
                                           LookupCase{"SecondCell", 0, 100, {0, 10, 40}, 75, 25},
                                           LookupCase{"JustBelowUpper", 0, 100, {0, 10, 40}, 99, 39.4},
                                           LookupCase{"FallingTable", 0, 10, {5, -5}, 2, 3},
                                           LookupCase{"NegativeIsClamped", 0, 10, {5, -5}, 8, 0},
                                           LookupCase{"ShiftedRange", -20, 20, {1, 3}, 0, 2}),
                         [](const ::testing::TestParamInfo<LookupCase>& param) {
                           return std::string(param.param.name);
                         });

// Beyond its range the table holds its end values.
INSTANTIATE_TEST_SUITE_P(
    Outside, LookupValue,
    ::testing::Values(
        LookupCase{"BelowLowerHoldsTheFirstEntry", 10, 100, {2, 10, 40}, 5, 2},
        LookupCase{"AtUpperHoldsTheLastEntry", 0, 100, {0, 10, 40}, 100, 40},
        LookupCase{"AboveUpperHoldsTheLastEntry", 0, 100, {0, 10, 40}, 1e9, 40},
        LookupCase{"InfinityHoldsTheLastEntry", 0, 100, {0, 10, 40}, std::numeric_limits<double>::infinity(), 40},
        LookupCase{"AHeldNegativeEntryIsClamped", 0, 100, {-3, 10, 40}, -50, 0}),
    [](const ::testing::TestParamInfo<LookupCase>& param) { return std::string(param.param.name); });

TEST(TaxelLookupModel, TheCellIndexStaysInsideTheTable) {
  // With 34 entries on [0, 1.1], the double just below 1.1 divided by the
  // cell width rounds to 33, one past the last cell.
  std::vector<double> lut;
  for (int i = 0; i < 34; ++i) lut.push_back(10.0 * i);
  const double x = std::nextafter(1.1, 0.0);
  ASSERT_EQ(std::floor(x / (1.1 / 33)), 33.0);
  EXPECT_NEAR(looked_up(lookup_record(0, 0, 0, 1.1, lut), x), 330, 1e-9);
}

TEST(TaxelLookupModel, NotANumberAddsNothing) {
  TaxelLookupModel model;
  model.configure(lookup_record(0, 0, 0, 100, {1, 2}));
  std::vector<double> out{7};
  model.apply(out, {std::nan("")});
  EXPECT_EQ(out[0], 7);
}

TEST(TaxelLookupModel, AddsToItsOutputAfterTheOffset) {
  auto record = lookup_record(1, 0, 0, 100, {0, 10, 40});
  record->offset = 1000;
  TaxelLookupModel model;
  model.configure(record);
  std::vector<double> out{1};
  model.apply(out, {0, 1025});
  EXPECT_EQ(out[0], 6);
}

TEST(TaxelLookupModel, AnEmptyMapContributesNothing) {
  for (bool empty_input : {true, false}) {
    auto record = lookup_record(0, 0, 0, 100, {5, 5});
    (empty_input ? record->input_map : record->output_map).clear();
    TaxelLookupModel model;
    model.configure(record);
    std::vector<double> out{1.5};
    model.apply(out, {10});
    EXPECT_EQ(out[0], 1.5);
  }
}

struct RefusedTable {
  const char* name;
  void (*spoil)(TaxelLookupParameters&);
  std::string message;
};

class RefusedLookupRecord : public ::testing::TestWithParam<RefusedTable> {};

TEST_P(RefusedLookupRecord, WithItsMessage) {
  auto record = lookup_record(0, 0, 0, 100, {0, 10, 40});
  GetParam().spoil(*record);
  TaxelLookupModel model;
  expect_error<std::runtime_error>([&] { model.configure(record); }, GetParam().message);
}

const char* const kTooShort = "LUT must contain at least two entries, please check the configuration.";
const char* const kNotOrdered = "Lower bound must be less than upper bound.";

INSTANTIATE_TEST_SUITE_P(
    Records, RefusedLookupRecord,
    ::testing::Values(
        RefusedTable{"WrongType", [](TaxelLookupParameters& r) { r.sensor_type = 1; }, "Invalid sensor type"},
        // Checked in this order: the output map before the table, the table
        // before the bounds.
        RefusedTable{"TwoOutputsBeforeTheTable",
                     [](TaxelLookupParameters& r) {
                       r.output_map = {{0, 1}, {1, 2}};
                       r.lut = {};
                     },
                     "Invalid output map for the sensor type"},
        RefusedTable{"NegativeOutput",
                     [](TaxelLookupParameters& r) {
                       r.output_map = {{0, -3}};
                     },
                     "Invalid output map for the sensor type"},
        RefusedTable{"OneEntryBeforeTheBounds",
                     [](TaxelLookupParameters& r) {
                       r.lut = {1};
                       r.lower = r.upper;
                     },
                     kTooShort},
        RefusedTable{"NoEntries", [](TaxelLookupParameters& r) { r.lut = {}; }, kTooShort},
        RefusedTable{"EqualBounds", [](TaxelLookupParameters& r) { r.lower = r.upper = 10; }, kNotOrdered},
        RefusedTable{"ReversedBounds",
                     [](TaxelLookupParameters& r) {
                       r.lower = 11;
                       r.upper = 10;
                     },
                     kNotOrdered},
        RefusedTable{"NotANumberBound", [](TaxelLookupParameters& r) { r.lower = std::nan(""); }, kNotOrdered},
        RefusedTable{"UpperTooLarge", [](TaxelLookupParameters& r) { r.upper = 2e100; },
                     "Upper bound is too large, please check the configuration."},
        RefusedTable{"LowerTooSmall", [](TaxelLookupParameters& r) { r.lower = -2e100; },
                     "Lower bound is too small, please check the configuration."},
        RefusedTable{"CellWidthRoundsToZero",
                     [](TaxelLookupParameters& r) {
                       r.lower = 0;
                       r.upper = std::numeric_limits<double>::denorm_min();
                     },
                     "Lower and upper bound are too close for the LUT, please check the configuration."}),
    [](const ::testing::TestParamInfo<RefusedTable>& param) { return std::string(param.param.name); });

TEST(TaxelLookupModel, AcceptsTheExtremeBoundsAndTwoEntries) {
  TaxelLookupModel model;
  EXPECT_NO_THROW(model.configure(lookup_record(0, 0, -1e100, 1e100, {0, 1})));
}

TEST(TaxelLookupModel, ZeroingShiftsTheTableAlongTheRawAxis) {
  auto record = lookup_record(0, 0, 0, 100, {0, 10, 40});
  TaxelLookupModel model;
  model.configure(record);
  model.zero({{500}, {502}});
  EXPECT_EQ(record->offset, 501);
  std::vector<double> out{0};
  model.apply(out, {551});
  EXPECT_EQ(out[0], 10);
}

TEST(TaxelLookupModel, ZeroingKeepsTheOffsetWhenASampleIsRefused) {
  auto record = lookup_record(3, 0, 0, 100, {0, 10});
  record->offset = 2;
  TaxelLookupModel model;
  model.configure(record);
  expect_error<std::runtime_error>(
      [&] {
        model.zero({{1, 2, 3, 4}, {1}});
      },
      "Sensor requested zeroing is not plugged in.");
  EXPECT_EQ(record->offset, 2);
}

}  // namespace
