#include "models/taxel_lookup_model.h"

#include <cmath>
#include <stdexcept>

#include "models/taxel_channel.h"

namespace feltwise_comm {

UnpluggedWarning TaxelLookupModel::warn_unplugged;

void TaxelLookupModel::configure(const std::shared_ptr<SensorParameters>& record) {
  auto lookup = std::dynamic_pointer_cast<TaxelLookupParameters>(record);
  if (!lookup || lookup->sensor_type != sensor_type::kTaxelLookup) {
    throw std::runtime_error("Invalid sensor type");
  }
  parameters_ = std::move(lookup);
  const TaxelLookupParameters& p = *parameters_;
  check_taxel_output_map(p);
  if (p.lut.size() < 2) {
    throw std::runtime_error("LUT must contain at least two entries, please check the configuration.");
  }
  if (!(p.lower < p.upper)) throw std::runtime_error("Lower bound must be less than upper bound.");
  if (p.upper > 1e100) throw std::runtime_error("Upper bound is too large, please check the configuration.");
  if (p.lower < -1e100) throw std::runtime_error("Lower bound is too small, please check the configuration.");
  step_ = (p.upper - p.lower) / static_cast<double>(p.lut.size() - 1);
  // Bounds a few denormals apart over a long table: the cell width rounds to
  // zero and every input would fall into a division by it.
  if (!(step_ > 0.0)) {
    throw std::runtime_error("Lower and upper bound are too close for the LUT, please check the configuration.");
  }
}

// x lies in [lower, upper).
double TaxelLookupModel::interpolate(double x) const noexcept {
  const TaxelLookupParameters& p = *parameters_;
  // Rounding can put an x just below `upper` one cell too far; the last cell
  // is the last one that has a right-hand entry.
  const std::size_t last_cell = p.lut.size() - 2;
  const double cell = std::floor((x - p.lower) / step_);
  const std::size_t i = cell < static_cast<double>(last_cell) ? static_cast<std::size_t>(cell) : last_cell;
  const double f = (x - (static_cast<double>(i) * step_ + p.lower)) / step_;
  return f * p.lut[i + 1] + (1 - f) * p.lut[i];
}

void TaxelLookupModel::apply(std::vector<double>& output, const std::vector<double>& raw) {
  if (!parameters_) return;
  const TaxelLookupParameters& p = *parameters_;
  double x;
  std::size_t out;
  if (!taxel_reading(p, p.offset, raw, output, warn_unplugged, x, out)) return;
  double y;
  if (x >= p.lower && x < p.upper) {
    y = interpolate(x);
  } else if (x < p.lower) {
    y = p.lut.front();
  } else if (x >= p.upper) {
    y = p.lut.back();
  } else {
    return;  // not a number: no reading to hold
  }
  if (y < 0) y = 0;
  output[out] += y;
}

void TaxelLookupModel::zero(const std::vector<std::vector<double>>& samples) {
  if (parameters_) zero_taxel_offset(*parameters_, parameters_->offset, samples);
}

}  // namespace feltwise_comm
