// One raw channel to one calibrated value by linear interpolation in a table
// taken at equally spaced inputs from `lower` to `upper` (sensor_type 2).
//
// Outside the table the value holds at the table's ends: below `lower` the
// first entry, at or above `upper` the last, so a taxel pressed beyond its
// calibrated range reads its largest calibrated force, not zero. Negative
// values become 0. The model adds to its output, as the polynomial taxel does.
#ifndef FELTWISE_MODELS_TAXEL_LOOKUP_MODEL_H
#define FELTWISE_MODELS_TAXEL_LOOKUP_MODEL_H

#include <memory>
#include <vector>

#include "models/sensor_model.h"
#include "models/unplugged_warning.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

class TaxelLookupModel : public SensorModel {
 public:
  void apply(std::vector<double>& output, const std::vector<double>& raw) override;
  void configure(const std::shared_ptr<SensorParameters>& record) override;
  void zero(const std::vector<std::vector<double>>& samples) override;

 private:
  static UnpluggedWarning warn_unplugged;

  double interpolate(double x) const noexcept;

  std::shared_ptr<TaxelLookupParameters> parameters_;
  // Width of one table cell. Computed once: zeroing moves only the offset.
  double step_ = 0.0;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_TAXEL_LOOKUP_MODEL_H
