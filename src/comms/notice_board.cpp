#include "comms/notice_board.h"

#include <utility>

#include "sensor_types/sensor_type_table.h"

namespace feltwise_comm {
namespace {

template <typename Values>
std::string joined(const Values& values) {
  std::string text;
  for (const auto value : values) {
    if (!text.empty()) text += ", ";
    text += std::to_string(value);
  }
  return text;
}

}  // namespace

void NoticeBoard::notice(console::Notice kind, std::string_view text) noexcept {
  try {
    if (kind == console::Notice::kDeviceError) {
      keep("device error line: " + console::visibleLine(text));
      return;
    }
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!told_units_.insert(unit_index_).second) return;
    }
    keep(describeUnit());
  } catch (...) {
    // No memory for a notice: it is lost, the sample is not.
  }
}

std::string NoticeBoard::describeUnit() const {
  std::string text = "unit " + std::to_string(unit_index_);
  if (unit_record_ == nullptr) return text + " is configured but not plugged in";
  const SensorTypeEntry* const type = findSensorType(unit_record_->sensor_type);
  std::vector<std::int32_t> outputs;
  for (const auto& entry : unit_record_->output_map) outputs.push_back(entry.second);
  std::vector<std::int32_t> missing;
  for (const auto& entry : unit_record_->input_map) {
    if (entry.first < 0 || static_cast<std::size_t>(entry.first) >= raw_values_) missing.push_back(entry.first);
  }
  text += " (";
  text += type != nullptr ? type->model_name : "sensor_type " + std::to_string(unit_record_->sensor_type);
  text += outputs.size() == 1 ? ", output " : ", outputs ";
  text += joined(outputs) + ") is configured but not plugged in";
  if (!missing.empty()) {
    text += missing.size() == 1 ? ": it reads raw channel " : ": it reads raw channels ";
    text += joined(missing) + ", the sensor sends " + std::to_string(raw_values_) + " values";
  }
  return text;
}

void NoticeBoard::keep(std::string text) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (notices_.size() >= kCapacity) {
    ++overflow_;
  } else {
    notices_.push_back(std::move(text));
  }
  waiting_.store(true, std::memory_order_release);
}

void NoticeBoard::forget_units() {
  std::lock_guard<std::mutex> guard(mutex_);
  told_units_.clear();
}

void NoticeBoard::take(std::vector<std::string>& out) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& text : notices_) out.push_back(std::move(text));
  notices_.clear();
  if (overflow_ != 0) {
    out.push_back(std::to_string(overflow_) + " more notices were dropped: they came faster than they were read");
    overflow_ = 0;
  }
  waiting_.store(false, std::memory_order_release);
}

}  // namespace feltwise_comm
