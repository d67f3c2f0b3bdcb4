// The console line a model prints when its record names a raw channel that
// the sensor does not send: the unit is configured but not plugged in.
//
// Each model class owns one of these for the whole process, shared by every
// comms object, so the line appears at most once per class however many
// acquisition threads reach it at once. A thread with a console listener
// (console_sink.h: feltwise.Sensor's) tells it instead, every time, and
// leaves the line to the others.
#ifndef FELTWISE_MODELS_UNPLUGGED_WARNING_H
#define FELTWISE_MODELS_UNPLUGGED_WARNING_H

#include <atomic>

namespace feltwise_comm {

class UnpluggedWarning {
 public:
  // Posts the line to the console sink (standard output) the first time only;
  // on a redirected thread, tells the listener instead.
  void raise() noexcept;

 private:
  std::atomic<bool> pending_{true};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_MODELS_UNPLUGGED_WARNING_H
