#include "comms/component_factory.h"

#include <stdexcept>

#include "models/taxel_lookup_model.h"
#include "models/taxel_polyfit_model.h"
#include "models/triaxial_polyfit_model.h"
#include "protocols/protocol_binary.h"
#include "protocols/protocol_binary_configurable.h"
#include "protocols/protocol_binary_encrypt.h"
#include "protocols/protocol_string.h"
#include "protocols/protocol_string_configurable.h"

namespace feltwise_comm {

std::unique_ptr<Protocol> createProtocol(std::int32_t protocol_version) {
  switch (protocol_version) {
    case 0: return std::make_unique<ProtocolString>();
    case 1: return std::make_unique<ProtocolBinary>();
    case 2: return std::make_unique<ProtocolBinaryEncrypt>();
    case 3: return std::make_unique<ProtocolStringConfigurable>();
    case 4: return std::make_unique<ProtocolBinaryConfigurable>();
    default: throw std::runtime_error("Invalid protocol version in sensor parameters");
  }
}

std::shared_ptr<SensorModel> createModel(std::int32_t sensor_type) {
  switch (sensor_type) {
    case 0: return std::make_shared<TriaxialPolyfitModel>();
    case 1: return std::make_shared<TaxelPolyfitModel>();
    case 2: return std::make_shared<TaxelLookupModel>();
    default: throw std::runtime_error("Invalid sensor type in parameters");
  }
}

}  // namespace feltwise_comm
