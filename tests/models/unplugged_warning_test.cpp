// The not-plugged-in line: its exact bytes, once per process per model class,
// also when several acquisition threads reach it at the same moment.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "fresh_process.h"
#include "models/taxel_lookup_model.h"
#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "records.h"

namespace {

using feltwise_test::kUnpluggedLine;

// Models whose raw channel 10 is missing from an 8-value sample.
std::shared_ptr<feltwise_comm::SensorModel> unplugged_polyfit() {
  auto model = std::make_shared<feltwise_comm::TaxelPolyfitModel>();
  model->configure(feltwise_test::polyfit_record(10, 0, 0, 0, {1}));
  return model;
}
std::shared_ptr<feltwise_comm::SensorModel> unplugged_lookup() {
  auto model = std::make_shared<feltwise_comm::TaxelLookupModel>();
  model->configure(feltwise_test::lookup_record(10, 0, 0, 1, {1, 1}));
  return model;
}
std::shared_ptr<feltwise_comm::SensorModel> unplugged_triaxial() {
  auto model = std::make_shared<feltwise_comm::TriaxialPolyfitModel>();
  model->configure(feltwise_test::triaxial_record(7, 0));
  return model;
}

void apply_times(const std::shared_ptr<feltwise_comm::SensorModel>& model, int times) {
  std::vector<double> out(3, 0.0);
  const std::vector<double> raw(8, 1.0);
  for (int i = 0; i < times; ++i) model->apply(out, raw);
}

TEST(UnpluggedWarning, IsPrintedOnceForAllTaxelPolynomialModels) {
  EXPECT_PRINTS_IN_FRESH_PROCESS(
      [] {
        apply_times(unplugged_polyfit(), 3);
        apply_times(unplugged_polyfit(), 3);
      },
      kUnpluggedLine);
}

TEST(UnpluggedWarning, IsPrintedOncePerModelClass) {
  EXPECT_PRINTS_IN_FRESH_PROCESS(
      [] {
        apply_times(unplugged_polyfit(), 2);
        apply_times(unplugged_lookup(), 2);
        apply_times(unplugged_polyfit(), 2);
        apply_times(unplugged_triaxial(), 2);
        apply_times(unplugged_lookup(), 2);
      },
      kUnpluggedLine + kUnpluggedLine + kUnpluggedLine);
}

TEST(UnpluggedWarning, IsNotPrintedForAPluggedInUnit) {
  EXPECT_PRINTS_IN_FRESH_PROCESS(
      [] {
        auto model = std::make_shared<feltwise_comm::TaxelPolyfitModel>();
        model->configure(feltwise_test::polyfit_record(7, 0, 0, 0, {1}));
        apply_times(model, 3);
      },
      "");
}

TEST(UnpluggedWarning, IsPrintedOnceWhenManyThreadsReachItTogether) {
  EXPECT_PRINTS_IN_FRESH_PROCESS(
      [] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
          threads.emplace_back([] {
            auto polyfit = unplugged_polyfit();
            auto lookup = unplugged_lookup();
            auto triaxial = unplugged_triaxial();
            for (int i = 0; i < 1000; ++i) {
              apply_times(polyfit, 1);
              apply_times(lookup, 1);
              apply_times(triaxial, 1);
            }
          });
        }
        for (std::thread& thread : threads) thread.join();
      },
      kUnpluggedLine + kUnpluggedLine + kUnpluggedLine);
}

}  // namespace
