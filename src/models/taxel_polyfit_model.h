// One raw channel to one calibrated value through a polynomial (sensor_type 1).
//
// Above the threshold t = max(lower, 0) the value is P(x) of the
// offset-corrected reading x; at or below it, the straight line from the
// origin to (t, P(t)), which keeps a noisy polynomial tail near zero from
// producing force where there is none. Negative values become 0. The model
// adds to its output, so two taxels that name one output sum up.
#ifndef FELTWISE_MODELS_TAXEL_POLYFIT_MODEL_H
#define FELTWISE_MODELS_TAXEL_POLYFIT_MODEL_H

#include <memory>
#include <vector>

#include "models/sensor_model.h"
#include "models/unplugged_warning.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

class TaxelPolyfitModel : public SensorModel {
 public:
  void apply(std::vector<double>& output, const std::vector<double>& raw) override;
  void configure(const std::shared_ptr<SensorParameters>& record) override;
  void zero(const std::vector<std::vector<double>>& samples) override;

 private:
  static UnpluggedWarning warn_unplugged;

  std::shared_ptr<TaxelPolyfitParameters> parameters_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_TAXEL_POLYFIT_MODEL_H
