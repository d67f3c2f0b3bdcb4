#include "serial/deadline.h"

#include <algorithm>
#include <climits>

#include "serial/serial.h"

namespace serial {

Deadline Deadline::in(std::uint64_t milliseconds) {
  // A per-byte time-out times a large size can pass what the clock holds in
  // nanoseconds; a few decades are as good as never.
  constexpr std::uint64_t kLongest = std::uint64_t{1} << 40;
  milliseconds = std::min(milliseconds, kLongest);
  Deadline deadline;
  deadline.bounded_ = true;
  deadline.at_ = Clock::now() + std::chrono::milliseconds(milliseconds);
  return deadline;
}

Deadline Deadline::at(Clock::time_point moment) {
  Deadline deadline;
  deadline.bounded_ = true;
  deadline.at_ = moment;
  return deadline;
}

int Deadline::millisecondsLeft() const {
  if (!bounded_) return -1;
  const Clock::time_point now = Clock::now();
  if (at_ <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - now).count();
  return static_cast<int>(std::min<long long>(left, INT_MAX));
}

Deadline Deadline::earlier(const Deadline& other) const {
  if (!other.bounded_) return *this;
  if (!bounded_) return other;
  return at_ <= other.at_ ? *this : other;
}

Deadline readDeadline(const Timeouts& timeouts, std::size_t size) {
  const std::uint64_t total = std::uint64_t{timeouts.read_per_byte_ms} * size + timeouts.read_constant_ms;
  if (total != 0) return Deadline::in(total);
  return timeouts.inter_byte_ms == Timeouts::max() ? Deadline::in(0) : Deadline::never();
}

Deadline gapDeadline(const Timeouts& timeouts, const Deadline& total) {
  if (timeouts.inter_byte_ms == 0 || timeouts.inter_byte_ms == Timeouts::max()) return total;
  return total.earlier(Deadline::in(timeouts.inter_byte_ms));
}

Deadline writeDeadline(const Timeouts& timeouts, std::size_t size, std::uint64_t line_ms) {
  const std::uint64_t total = std::uint64_t{timeouts.write_per_byte_ms} * size + timeouts.write_constant_ms;
  if (total == 0) return Deadline::never();
  // The device takes the bytes no faster than the line carries them: a
  // 2 KiB request needs 180 ms at 115200 baud, more than a fixed 100 ms.
  return Deadline::in(total + line_ms);
}

}  // namespace serial
