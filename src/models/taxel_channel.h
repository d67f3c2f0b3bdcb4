// Where a taxel unit reads and writes: the first (smallest) raw index of its
// input map and the first output index of its output map. Taken from the
// record on every call, as the record is the one shared with the comms object.
#ifndef FELTWISE_MODELS_TAXEL_CHANNEL_H
#define FELTWISE_MODELS_TAXEL_CHANNEL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/unplugged_warning.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

struct TaxelChannel {
  std::int32_t input;   // raw sample index; may lie outside the sample
  std::int32_t output;  // calibrated output index
};

// False for a record with an empty input or output map: such a unit has
// nowhere to read or write and contributes nothing.
inline bool taxel_channel(const SensorParameters& record, TaxelChannel& channel) noexcept {
  if (record.input_map.empty() || record.output_map.empty()) return false;
  channel.input = record.input_map.begin()->first;
  channel.output = record.output_map.begin()->second;
  return true;
}

// Refuses, with "Invalid output map for the sensor type", an output map with
// more than one entry or a negative output index: a taxel has one output, and
// the calibrated output has no negative places.
void check_taxel_output_map(const SensorParameters& record);

// Taxel zeroing: `offset` becomes the mean raw value of the input channel.
// Nothing changes when a sample is refused (see mean_raw_values).
void zero_taxel_offset(const SensorParameters& record, double& offset, const std::vector<std::vector<double>>& samples);

inline bool within(std::int32_t index, const std::vector<double>& values) noexcept {
  return index >= 0 && static_cast<std::size_t>(index) < values.size();
}

// What a taxel unit calibrates from one raw sample: `x`, its raw value less
// `offset`, to be added at `output_index`. False when the unit contributes
// nothing: its record has no channel, its output lies beyond `output`, or its
// input lies beyond `raw`, which also raises `unplugged`.
inline bool taxel_reading(const SensorParameters& record, double offset, const std::vector<double>& raw,
                          const std::vector<double>& output, UnpluggedWarning& unplugged, double& x,
                          std::size_t& output_index) noexcept {
  TaxelChannel channel;
  if (!taxel_channel(record, channel)) return false;
  if (!within(channel.input, raw)) {
    unplugged.raise();
    return false;
  }
  if (!within(channel.output, output)) return false;
  x = raw[static_cast<std::size_t>(channel.input)] - offset;
  output_index = static_cast<std::size_t>(channel.output);
  return true;
}

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_TAXEL_CHANNEL_H
