#include "comms/component_factory.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "feltwise_comm/parameter_file_error.h"
#include "parameters/parameter_file.h"
#include "protocols/protocol_table.h"
#include "sensor_types/sensor_type_table.h"

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

Components buildComponents(const ParameterHolder& loaded) {
  Components built;
  built.protocol = createProtocol(loaded.protocol_version_);
  built.models.reserve(loaded.records_.size());
  std::int64_t largest_output = -1;
  for (const auto& record : loaded.records_) {
    built.models.push_back(createModel(record->sensor_type));
    built.models.back()->configure(record);
    for (const auto& entry : record->output_map) {
      if (entry.second > kLargestOutputIndex) {
        throw std::runtime_error("Output index " + std::to_string(entry.second) +
                                 " in parameters is beyond the largest supported, " +
                                 std::to_string(kLargestOutputIndex));
      }
      largest_output = std::max<std::int64_t>(largest_output, entry.second);
    }
  }
  built.calibrated_size = static_cast<std::size_t>(largest_output + 1);
  return built;
}

Components loadComponents(ParameterHolder& loaded, const std::string& path) {
  load_parameter_file(loaded, path, decodeRecord);
  try {
    return buildComponents(loaded);
  } catch (const std::runtime_error& refused) {
    throw ParameterFileError(refused.what(), ParameterFileReason::kRefused, path);
  }
}

}  // namespace feltwise_comm
