// Four raw channels to x, y and z (sensor_type 0).
//
// Each channel slot (0 to 3) gets its offset and dead band removed; the
// corrected channels a0..a3 combine into x = a3 + a2 - a1 - a0,
// y = a3 + a1 - a2 - a0 and z = a0 + a1 + a2 + a3, each mapped through its own
// polynomial. The model assigns its outputs (overwriting what an earlier model
// added there) and does not clamp: a shear or a pull is negative.
//
// A channel slot that the input map does not name reads 0 on every sample.
// Zeroing sets the offset of every named slot to its mean raw value; the dead
// band stays as loaded.
#ifndef FELTWISE_MODELS_TRIAXIAL_POLYFIT_MODEL_H
#define FELTWISE_MODELS_TRIAXIAL_POLYFIT_MODEL_H

#include <memory>
#include <vector>

#include "models/sensor_model.h"
#include "models/unplugged_warning.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

class TriaxialPolyfitModel : public SensorModel {
 public:
  static constexpr std::size_t kChannelCount = 4;
  static constexpr std::size_t kAxisCount = 3;

  void apply(std::vector<double>& output, const std::vector<double>& raw) override;
  // Beyond the sensor type, refuses what would make apply step outside its
  // vectors: an input slot outside 0 to 3, an output axis outside 0 to 2, a
  // negative output index, fewer than four offsets or dead bands.
  void configure(const std::shared_ptr<SensorParameters>& record) override;
  void zero(const std::vector<std::vector<double>>& samples) override;

 private:
  static UnpluggedWarning warn_unplugged;

  std::shared_ptr<TriaxialPolyfitParameters> parameters_;
  // Working storage of apply, sized by configure so that apply allocates nothing.
  std::vector<double> channels_;
  std::vector<double> axis_outputs_;
  std::vector<double> axis_signals_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_TRIAXIAL_POLYFIT_MODEL_H
