#include "models/taxel_channel.h"

#include <stdexcept>

#include "models/zeroing.h"

namespace feltwise_comm {

void check_taxel_output_map(const SensorParameters& record) {
  if (record.output_map.size() > 1 || (!record.output_map.empty() && record.output_map.begin()->second < 0)) {
    throw std::runtime_error("Invalid output map for the sensor type");
  }
}

void zero_taxel_offset(const SensorParameters& record, double& offset,
                       const std::vector<std::vector<double>>& samples) {
  std::vector<std::int32_t> channels;
  if (!record.input_map.empty()) channels.push_back(record.input_map.begin()->first);
  const std::vector<double> means = mean_raw_values(samples, channels);
  if (!means.empty()) offset = means.front();
}

}  // namespace feltwise_comm
