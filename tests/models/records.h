// Records as a parameter file would give them, for the model tests.
#ifndef FELTWISE_TESTS_MODELS_RECORDS_H
#define FELTWISE_TESTS_MODELS_RECORDS_H

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "parameters/sensor_parameters.h"

namespace feltwise_test {

// A taxel reading raw channel `channel` into calibrated output `output`.
template <typename Record>
std::shared_ptr<Record> taxel_record(std::int32_t channel, std::int32_t output) {
  auto record = std::make_shared<Record>();
  record->input_map = {{channel, 0}};
  record->output_map = {{0, output}};
  return record;
}

inline std::shared_ptr<feltwise_comm::TaxelPolyfitParameters> polyfit_record(std::int32_t channel, std::int32_t output,
                                                                             double lower, double offset,
                                                                             std::vector<double> coefs) {
  auto record = taxel_record<feltwise_comm::TaxelPolyfitParameters>(channel, output);
  record->lower = lower;
  record->offset = offset;
  record->coefs = std::move(coefs);
  return record;
}

inline std::shared_ptr<feltwise_comm::TaxelLookupParameters> lookup_record(std::int32_t channel, std::int32_t output,
                                                                           double lower, double upper,
                                                                           std::vector<double> lut) {
  auto record = taxel_record<feltwise_comm::TaxelLookupParameters>(channel, output);
  record->lower = lower;
  record->upper = upper;
  record->lut = std::move(lut);
  return record;
}

// A triaxial unit reading raw indices first .. first + 3 into channel slots
// 0 .. 3 and writing x, y, z to outputs out, out + 1, out + 2; offsets and
// dead bands 0, every polynomial P(s) = s.
inline std::shared_ptr<feltwise_comm::TriaxialPolyfitParameters> triaxial_record(std::int32_t first, std::int32_t out) {
  auto record = std::make_shared<feltwise_comm::TriaxialPolyfitParameters>();
  for (std::int32_t slot = 0; slot < 4; ++slot) record->input_map[first + slot] = slot;
  for (std::int32_t axis = 0; axis < 3; ++axis) record->output_map[axis] = out + axis;
  record->offset = {0, 0, 0, 0};
  record->lower = {0, 0, 0, 0};
  record->coefs_x = record->coefs_y = record->coefs_z = {0, 1};
  return record;
}

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_MODELS_RECORDS_H
