// The console line a model prints when its record names a raw channel that
// the sensor does not send: the unit is configured but not plugged in.
//
// Each model class owns one of these for the whole process, shared by every
// comms object, so the line appears at most once per class however many
// acquisition threads reach it at once.
#ifndef FELTWISE_MODELS_UNPLUGGED_WARNING_H
#define FELTWISE_MODELS_UNPLUGGED_WARNING_H

#include <atomic>

namespace feltwise_comm {

class UnpluggedWarning {
 public:
  // Posts the line to the console sink (standard output) the first time only.
  void raise() noexcept;

 private:
  std::atomic<bool> pending_{true};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_UNPLUGGED_WARNING_H
