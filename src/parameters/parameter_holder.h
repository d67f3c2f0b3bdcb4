// What the parameter loader sees of the comms object: the protocol version it
// writes and the record list it appends to. The comms object's state extends
// this, so the loader never depends on the rest of it.
#ifndef FELTWISE_PARAMETERS_PARAMETER_HOLDER_H
#define FELTWISE_PARAMETERS_PARAMETER_HOLDER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

struct ParameterHolder {
  std::int32_t protocol_version_ = 1;
  std::vector<std::shared_ptr<SensorParameters>> records_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_PARAMETER_HOLDER_H
