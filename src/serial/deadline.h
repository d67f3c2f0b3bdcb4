// When a wait must give up, and the time-out rules of `Timeouts` (serial.h)
// turned into such moments. The facade computes them; the platform ports
// wait until them (poll() on POSIX, a ReadFile or WriteFile time-out on
// Windows) and never read the time-outs themselves.
#ifndef FELTWISE_SERIAL_DEADLINE_H
#define FELTWISE_SERIAL_DEADLINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace serial {

struct Timeouts;

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // A deadline that never comes: wait as long as it takes.
  static Deadline never() { return Deadline(); }
  static Deadline in(std::uint64_t milliseconds);
  static Deadline at(Clock::time_point moment);

  bool bounded() const { return bounded_; }
  // Milliseconds to wait for: -1 for a deadline that never comes, 0 once it
  // has passed. Rounded up, since a wait of 0 ms in the last fraction of a
  // millisecond would spin.
  int millisecondsLeft() const;
  bool passed() const { return bounded_ && at_ <= Clock::now(); }
  Deadline earlier(const Deadline& other) const;

 private:
  bool bounded_ = false;
  Clock::time_point at_{};
};

// The silence a read of `size` bytes may wait through, counted from now:
// read_constant_ms + read_per_byte_ms * size. Without a total, never, except
// that a gap limit of Timeouts::max() then means "return what is there": now.
Deadline readDeadline(const Timeouts& timeouts, std::size_t size);
// `total`, shortened to the gap limit counted from now, once bytes have come.
Deadline gapDeadline(const Timeouts& timeouts, const Deadline& total);
// A write of `size` bytes: its total write time plus `line_ms`, the time the
// line needs to carry them; never when both write fields are 0.
Deadline writeDeadline(const Timeouts& timeouts, std::size_t size, std::uint64_t line_ms);

}  // namespace serial

#endif  // FELTWISE_SERIAL_DEADLINE_H
