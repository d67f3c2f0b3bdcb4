#include "support/paced_line.h"

#include <algorithm>
#include <thread>

namespace feltwise_test {

PacedLine::PacedLine(PtyPair& pty, LinePace pace, unsigned seed)
    : pty_(pty), pace_(pace), random_(seed), line_free_(Clock::now()) {}

std::chrono::microseconds PacedLine::lineTime(std::size_t bytes) const {
  const std::uint64_t bits = std::uint64_t{pace_.bits_per_byte} * bytes;
  return std::chrono::microseconds((bits * 1000000u + pace_.baud - 1) / pace_.baud);
}

void PacedLine::send(const std::vector<std::uint8_t>& bytes) {
  const std::size_t chunk = std::max<std::size_t>(pace_.chunk, 1);
  std::uniform_int_distribution<long long> jitter(0, pace_.jitter.count());
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    const std::size_t n = std::min(chunk, bytes.size() - at);
    // The line carries the chunk from when it is free; the adapter hands it
    // over once its last byte is in, a little later when it jitters.
    line_free_ = std::max(line_free_, Clock::now()) + lineTime(n);
    sleepUntil(line_free_ + std::chrono::microseconds(jitter(random_)));
    pty_.send(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
  }
}

void PacedLine::send(const std::string& text) { send(std::vector<std::uint8_t>(text.begin(), text.end())); }

void PacedLine::pause(std::chrono::microseconds silence) {
  line_free_ = std::max(line_free_, Clock::now()) + silence;
  sleepUntil(line_free_);
}

void PacedLine::sleepUntil(Clock::time_point due) {
  std::this_thread::sleep_until(due);
  if (Clock::now() - due > kLate) ++late_wakes_;
}

std::vector<std::uint8_t> PacedLine::answer(std::size_t request_bytes, const std::vector<std::uint8_t>& reply,
                                            std::chrono::milliseconds delay, int timeout_ms) {
  std::vector<std::uint8_t> request = pty_.receive(request_bytes, timeout_ms);
  pause(delay);
  send(reply);
  return request;
}

}  // namespace feltwise_test
