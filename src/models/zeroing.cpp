#include "models/zeroing.h"

#include <cstddef>
#include <stdexcept>

namespace feltwise_comm {

std::vector<double> mean_raw_values(const std::vector<std::vector<double>>& samples,
                                    const std::vector<std::int32_t>& channels) {
  // The comms object always gathers samples first; an empty list has no mean,
  // and keeping the old offset silently would report a zeroing that did not happen.
  if (samples.empty()) throw std::runtime_error("No samples to zero the sensor with.");
  std::vector<double> sums(channels.size(), 0.0);
  for (const std::vector<double>& sample : samples) {
    if (sample.empty()) throw std::runtime_error("Sensor not reading, data size is 0.");
    for (std::size_t i = 0; i < channels.size(); ++i) {
      const std::int32_t channel = channels[i];
      if (channel < 0 || static_cast<std::size_t>(channel) >= sample.size()) {
        throw std::runtime_error("Sensor requested zeroing is not plugged in.");
      }
      sums[i] += sample[static_cast<std::size_t>(channel)];
    }
  }
  for (double& sum : sums) sum /= static_cast<double>(samples.size());
  return sums;
}

}  // namespace feltwise_comm
