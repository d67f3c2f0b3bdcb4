// Lets the thread that calls into the library cut its long waits short.
//
// The waits of read, read_raw, zero and the register requests block the
// caller's thread for up to their time-out. A caller that must stay
// responsive (the Python module, which keeps the interpreter lock while it
// waits, so that Ctrl-C would otherwise act only after the time-out) installs
// a check for its own thread with a WaitInterrupt object. While it lives,
// those waits wake at least every kPollPeriod and run the check; a check that
// throws ends the wait with its exception, which leaves the wait as a time-out
// would, without taking a sample or completing a request.
//
// Threads: the check belongs to the thread that installed it; other threads
// (the acquisition thread above all) never see it and wait as before.
#ifndef FELTWISE_COMM_WAIT_INTERRUPT_H
#define FELTWISE_COMM_WAIT_INTERRUPT_H

#include <algorithm>
#include <chrono>

namespace feltwise_comm {

class WaitInterrupt {
 public:
  using Check = void (*)();
  static constexpr std::chrono::milliseconds kPollPeriod{50};

  explicit WaitInterrupt(Check check) : previous_(current()) { current() = check; }
  ~WaitInterrupt() { current() = previous_; }
  WaitInterrupt(const WaitInterrupt&) = delete;
  WaitInterrupt& operator=(const WaitInterrupt&) = delete;

  // Runs this thread's check, if one is installed; it may throw.
  static void poll() {
    if (const Check check = current()) check();
  }

  // When a wait that ends at `deadline` should next wake up to poll.
  static std::chrono::steady_clock::time_point nextWake(std::chrono::steady_clock::time_point deadline) {
    if (current() == nullptr) return deadline;
    return std::min(deadline, std::chrono::steady_clock::now() + kPollPeriod);
  }

 private:
  static Check& current() {
    static thread_local Check check = nullptr;
    return check;
  }

  Check previous_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_WAIT_INTERRUPT_H
