// The two selection tables of `init`: protocol version to decoder, record
// `sensor_type` to calibration model.
#ifndef FELTWISE_COMMS_COMPONENT_FACTORY_H
#define FELTWISE_COMMS_COMPONENT_FACTORY_H

#include <cstdint>
#include <memory>

#include "models/sensor_model.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

// 0 text, 1 binary, 2 enciphered binary, 3 text with registers, 4 binary with
// registers; anything else: "Invalid protocol version in sensor parameters".
std::unique_ptr<Protocol> createProtocol(std::int32_t protocol_version);

// 0 triaxial polynomial, 1 taxel polynomial, 2 lookup table; anything else:
// "Invalid sensor type in parameters".
std::shared_ptr<SensorModel> createModel(std::int32_t sensor_type);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_COMPONENT_FACTORY_H
