// What `init` creates, looked up in the two tables: the protocol of a version
// (protocols/protocol_table) and the model of a record's `sensor_type`
// (models/sensor_type_table).
#ifndef FELTWISE_COMMS_COMPONENT_FACTORY_H
#define FELTWISE_COMMS_COMPONENT_FACTORY_H

#include <cstdint>
#include <memory>

#include "models/sensor_model.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

// A version the protocol table has no row for: "Invalid protocol version in sensor parameters".
std::unique_ptr<Protocol> createProtocol(std::int32_t protocol_version);

// A type the sensor-type table has no row for:
// "Invalid sensor type in parameters".
std::shared_ptr<SensorModel> createModel(std::int32_t sensor_type);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_COMPONENT_FACTORY_H
