// apply runs for every unit on every sample of the acquisition thread, so it
// must not allocate. This program counts every operator new of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "models/taxel_lookup_model.h"
#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "records.h"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// GCC sees the malloc in this operator new and the free in operator delete
// and, not knowing that they replace the pair, calls them mismatched.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

TEST(Apply, AllocatesNothing) {
  auto triaxial_gap = feltwise_test::triaxial_record(0, 3);
  triaxial_gap->input_map.erase(2);
  std::vector<std::shared_ptr<feltwise_comm::SensorModel>> models = {
      std::make_shared<feltwise_comm::TaxelPolyfitModel>(),    std::make_shared<feltwise_comm::TaxelPolyfitModel>(),
      std::make_shared<feltwise_comm::TaxelLookupModel>(),     std::make_shared<feltwise_comm::TaxelLookupModel>(),
      std::make_shared<feltwise_comm::TriaxialPolyfitModel>(), std::make_shared<feltwise_comm::TriaxialPolyfitModel>()};
  models[0]->configure(feltwise_test::polyfit_record(0, 0, 10, 0, {0, 1, 0.5}));
  models[1]->configure(feltwise_test::polyfit_record(1, 99, 10, 0, {0, 1}));  // output beyond the sample
  models[2]->configure(feltwise_test::lookup_record(2, 1, 0, 100, {0, 10, 40}));
  models[3]->configure(feltwise_test::lookup_record(3, 2, 0, 1, {0, 10}));  // held at the last entry
  models[4]->configure(feltwise_test::triaxial_record(0, 3));
  models[5]->configure(triaxial_gap);

  std::vector<double> out(6, 0.0);
  std::vector<double> raw = {5, 20, 60, 7};
  const long before = allocations.load();
  for (int sample = 0; sample < 1000; ++sample) {
    raw[0] = sample;
    std::fill(out.begin(), out.end(), 0.0);
    for (const auto& model : models) model->apply(out, raw);
  }
  EXPECT_EQ(allocations.load() - before, 0);
}

}  // namespace
