#include "models/sensor_model.h"

namespace feltwise_comm {

void SensorModel::zero(const std::vector<std::vector<double>>& /*samples*/) {}

}  // namespace feltwise_comm
