#include "models/triaxial_polyfit_model.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "models/polynomial.h"
#include "models/taxel_channel.h"
#include "models/zeroing.h"

namespace feltwise_comm {

UnpluggedWarning TriaxialPolyfitModel::warn_unplugged;

namespace {

void check_triaxial_record(const TriaxialPolyfitParameters& record) {
  for (const auto& [raw_index, slot] : record.input_map) {
    if (slot < 0 || slot > 3) {
      throw std::runtime_error("Invalid input map for the triaxial sensor: channel slot " + std::to_string(slot) +
                               " (raw index " + std::to_string(raw_index) + ") is not 0 to 3");
    }
  }
  for (const auto& [axis, index] : record.output_map) {
    if (axis < 0 || axis > 2) {
      throw std::runtime_error("Invalid output map for the triaxial sensor: axis " + std::to_string(axis) +
                               " is not 0 (x), 1 (y) or 2 (z)");
    }
    if (index < 0) {
      throw std::runtime_error("Invalid output map for the triaxial sensor: output index " + std::to_string(index) +
                               " of axis " + std::to_string(axis) + " is negative");
    }
  }
  if (record.offset.size() < TriaxialPolyfitModel::kChannelCount) {
    throw std::runtime_error("Invalid offset for the triaxial sensor: 4 values needed, " +
                             std::to_string(record.offset.size()) + " given");
  }
  if (record.lower.size() < TriaxialPolyfitModel::kChannelCount) {
    throw std::runtime_error("Invalid lower bound for the triaxial sensor: 4 values needed, " +
                             std::to_string(record.lower.size()) + " given");
  }
}

}  // namespace

void TriaxialPolyfitModel::configure(const std::shared_ptr<SensorParameters>& record) {
  auto triaxial = std::dynamic_pointer_cast<TriaxialPolyfitParameters>(record);
  if (!triaxial || triaxial->sensor_type != sensor_type::kTriaxialPolyfit) {
    throw std::runtime_error("Invalid sensor type");
  }
  check_triaxial_record(*triaxial);
  parameters_ = std::move(triaxial);
  axis_signals_.resize(kAxisCount);
  axis_outputs_.resize(kAxisCount);
  channels_.resize(kChannelCount);
}

void TriaxialPolyfitModel::apply(std::vector<double>& output, const std::vector<double>& raw) {
  if (!parameters_) return;
  const TriaxialPolyfitParameters& p = *parameters_;
  for (const auto& entry : p.input_map) {
    if (!within(entry.first, raw)) {
      warn_unplugged.raise();
      return;
    }
  }

  bool named[kChannelCount] = {};
  std::fill(channels_.begin(), channels_.end(), 0.0);
  for (const auto& [raw_index, slot] : p.input_map) {
    channels_[static_cast<std::size_t>(slot)] = raw[static_cast<std::size_t>(raw_index)];
    named[static_cast<std::size_t>(slot)] = true;
  }
  for (std::size_t i = 0; i < kChannelCount; ++i) {
    if (!named[i]) continue;
    const double d = channels_[i] - p.offset[i];
    channels_[i] = d < p.lower[i] ? 0 : d - p.lower[i];
  }

  const double a0 = channels_[0];
  const double a1 = channels_[1];
  const double a2 = channels_[2];
  const double a3 = channels_[3];
  axis_signals_[0] = ((a3 + a2) - a1) - a0;
  axis_signals_[1] = ((a3 + a1) - a2) - a0;
  axis_signals_[2] = ((a1 + a0) + a2) + a3;

  axis_outputs_[0] = evaluate_polynomial(p.coefs_x, axis_signals_[0]);
  axis_outputs_[1] = evaluate_polynomial(p.coefs_y, axis_signals_[1]);
  axis_outputs_[2] = evaluate_polynomial(p.coefs_z, axis_signals_[2]);

  for (const auto& [axis, index] : p.output_map) {
    if (within(index, output)) output[static_cast<std::size_t>(index)] = axis_outputs_[static_cast<std::size_t>(axis)];
  }
}

void TriaxialPolyfitModel::zero(const std::vector<std::vector<double>>& samples) {
  if (!parameters_) return;
  TriaxialPolyfitParameters& p = *parameters_;
  // Every raw index is checked, as apply does; when two name one slot, the
  // later (larger) one feeds it, as in apply.
  std::vector<std::int32_t> raw_indices;
  std::vector<std::int32_t> slots;
  for (const auto& [raw_index, slot] : p.input_map) {
    raw_indices.push_back(raw_index);
    slots.push_back(slot);
  }
  const std::vector<double> means = mean_raw_values(samples, raw_indices);
  for (std::size_t i = 0; i < slots.size(); ++i) p.offset[static_cast<std::size_t>(slots[i])] = means[i];
}

}  // namespace feltwise_comm
