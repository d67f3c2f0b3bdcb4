// A model turns one raw sample into its unit's calibrated values.
//
// The comms object keeps one model per record, in record order. For every
// sample the acquisition thread zeroes the calibrated output and calls `apply`
// of each model in that order; `zero` re-estimates the rest offsets from raw
// samples on the caller's thread. Models take no locks: `zero` and `apply` of
// the same model must not overlap, and a model must not be applied by two
// threads at once.
#ifndef FELTWISE_MODELS_SENSOR_MODEL_H
#define FELTWISE_MODELS_SENSOR_MODEL_H

#include <memory>
#include <vector>

#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

class SensorModel {
 public:
  virtual ~SensorModel() = default;

  // Adds or writes this unit's values into `output` for one raw sample. Runs
  // once per sample on the acquisition thread: allocates nothing, raises
  // nothing, and never reads or writes outside either vector.
  virtual void apply(std::vector<double>& output, const std::vector<double>& raw) = 0;

  // Binds the record and checks that the model can use it (runtime_error when
  // not). Called once, right after construction; a model whose configure
  // failed is not applied or zeroed.
  virtual void configure(const std::shared_ptr<SensorParameters>& record) = 0;

  // Re-estimates the record's rest offsets from raw samples.
  virtual void zero(const std::vector<std::vector<double>>& samples);
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_SENSOR_MODEL_H
