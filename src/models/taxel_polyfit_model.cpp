#include "models/taxel_polyfit_model.h"

#include <stdexcept>

#include "models/polynomial.h"
#include "models/taxel_channel.h"

namespace feltwise_comm {

UnpluggedWarning TaxelPolyfitModel::warn_unplugged;

void TaxelPolyfitModel::configure(const std::shared_ptr<SensorParameters>& record) {
  // A record of another class can only come from a file that repeats
  // "sensor_type" with different values; it is as wrong as a wrong type.
  auto taxel = std::dynamic_pointer_cast<TaxelPolyfitParameters>(record);
  if (!taxel || taxel->sensor_type != sensor_type::kTaxelPolyfit) {
    throw std::runtime_error("Invalid sensor type");
  }
  parameters_ = std::move(taxel);
  check_taxel_output_map(*parameters_);
}

void TaxelPolyfitModel::apply(std::vector<double>& output, const std::vector<double>& raw) {
  if (!parameters_) return;
  const TaxelPolyfitParameters& p = *parameters_;
  double x;
  std::size_t out;
  if (!taxel_reading(p, p.offset, raw, output, warn_unplugged, x, out)) return;
  const double t = p.lower > 0 ? p.lower : 0;
  double y;
  if (x > t) {
    y = evaluate_polynomial(p.coefs, x);
  } else if (t < 0.000001) {
    y = 0;
  } else {
    y = (x / t) * evaluate_polynomial(p.coefs, t);
  }
  if (y < 0) y = 0;
  output[out] += y;
}

void TaxelPolyfitModel::zero(const std::vector<std::vector<double>>& samples) {
  if (parameters_) zero_taxel_offset(*parameters_, parameters_->offset, samples);
}

}  // namespace feltwise_comm
