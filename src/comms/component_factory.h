// What `init` creates, looked up in the two tables: the protocol of a version
// (protocols/protocol_table) and the model of a record's `sensor_type`
// (sensor_types/sensor_type_table). `buildComponents` is init's whole build step, so
// that whatever else asks "would init take these parameters?" (the tools'
// `params check`) gets init's answer in init's words.
#ifndef FELTWISE_COMMS_COMPONENT_FACTORY_H
#define FELTWISE_COMMS_COMPONENT_FACTORY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "models/sensor_model.h"
#include "parameters/parameter_holder.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

// A version the protocol table has no row for: "Invalid protocol version in sensor parameters".
std::unique_ptr<Protocol> createProtocol(std::int32_t protocol_version);

// A type the sensor-type table has no row for:
// "Invalid sensor type in parameters".
std::shared_ptr<SensorModel> createModel(std::int32_t sensor_type);

// The calibrated sample has one slot per output index up to the largest one
// named. A file naming output 2147483647 would otherwise ask for 16 GiB; a
// skin has a few thousand outputs at most.
constexpr std::int64_t kLargestOutputIndex = (1 << 20) - 1;

struct Components {
  std::shared_ptr<Protocol> protocol;
  std::vector<std::shared_ptr<SensorModel>> models;  // models[i] configured with records[i]
  std::size_t calibrated_size = 0;                   // largest output index + 1
};

// The protocol of `loaded`'s version and one configured model per record.
// Throws what the factories and the models' `configure` throw, and for an
// output index beyond kLargestOutputIndex "Output index N in parameters is
// beyond the largest supported, 1048575".
Components buildComponents(const ParameterHolder& loaded);

// Loads the parameter file at `path` into `loaded` (load_parameter_file) and
// builds its components. Every refusal is a ParameterFileError or
// ParameterValueError (feltwise_comm/parameter_file_error.h) with the text it
// always had; what the build refuses is ParameterFileReason::kRefused.
Components loadComponents(ParameterHolder& loaded, const std::string& path);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_COMPONENT_FACTORY_H
