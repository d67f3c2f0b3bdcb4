#include "comms/component_factory.h"

#include <stdexcept>

#include "models/sensor_type_table.h"
#include "protocols/protocol_table.h"

namespace feltwise_comm {

std::unique_ptr<Protocol> createProtocol(std::int32_t protocol_version) {
  const ProtocolEntry* protocol = findProtocol(protocol_version);
  if (protocol == nullptr) throw std::runtime_error("Invalid protocol version in sensor parameters");
  return protocol->create();
}

std::shared_ptr<SensorModel> createModel(std::int32_t sensor_type) {
  const SensorTypeEntry* type = findSensorType(sensor_type);
  if (type == nullptr) throw std::runtime_error("Invalid sensor type in parameters");
  return type->create_model();
}

}  // namespace feltwise_comm
