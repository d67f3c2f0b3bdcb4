// The notices of one comms object, kept for its caller instead of printed:
// feltwise.Sensor hands them to Python's logging (logger "feltwise") on the
// caller's thread, naming the port and the unit. FeltwiseComms keeps its
// console line and never fills one of these.
//
// - A unit that is configured but not plugged in (its record names a raw
//   channel beyond the sample) is told once per unit until `forget_units`
//   (the comms object's init, which brings new records): "unit 3
//   (TaxelPolyfitModel, outputs 5) is configured but not plugged in: it
//   reads raw channel 17, the sensor sends 16 values".
// - A device's error line (protocol version 3) is told every time, its
//   control bytes shown as \xHH: "device error line: E03 overheat".
// - At most kCapacity notices wait; what comes beyond that is counted and
//   told as one more notice when they are taken.
//
// Threads: `unit` and `notice` run on the acquisition thread (the comms
// object calls `unit` before each model's apply, under its hand-off lock,
// and a model raises its notice from within), `take` on the caller's thread.
// The board's own mutex is taken last of all locks; `waiting` is a
// lock-free look for the caller's hot path.
#ifndef FELTWISE_COMMS_NOTICE_BOARD_H
#define FELTWISE_COMMS_NOTICE_BOARD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_sink.h"
#include "parameters/sensor_parameters.h"

namespace feltwise_comm {

class NoticeBoard : public console::Listener {
 public:
  static constexpr std::size_t kCapacity = 64;

  // The unit the models calibrate next: record `index` of the comms object,
  // `record` itself, and the length of the raw sample it reads.
  void unit(std::size_t index, const SensorParameters* record, std::size_t raw_values) noexcept {
    unit_index_ = index;
    unit_record_ = record;
    raw_values_ = raw_values;
  }

  void notice(console::Notice kind, std::string_view text) noexcept override;

  // New records: every unit may be told again.
  void forget_units();

  bool waiting() const { return waiting_.load(std::memory_order_acquire); }

  // Moves every waiting notice to the end of `out`, oldest first.
  void take(std::vector<std::string>& out);

 private:
  void keep(std::string text);
  std::string describeUnit() const;

  // Written and read by the acquisition thread only.
  std::size_t unit_index_ = 0;
  const SensorParameters* unit_record_ = nullptr;
  std::size_t raw_values_ = 0;

  std::mutex mutex_;
  std::vector<std::string> notices_;
  std::uint64_t overflow_ = 0;
  std::set<std::size_t> told_units_;
  std::atomic<bool> waiting_{false};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_NOTICE_BOARD_H
