// The sensor's side of a PtyPair as a real serial line delivers it. A pty hands
// every write over at once; a sensor behind a USB-serial adapter at 115200
// baud delivers about 11.5 bytes per millisecond, in the adapter's chunks, a
// little late now and then. PacedLine writes to the pty master at the line's
// rate (bits per character / baud), chunk by chunk, each chunk handed over when
// its last byte would have crossed the wire, plus a random jitter; and it can
// answer a request late. It sleeps between chunks, never spins.
//
// One thread at a time sends through one PacedLine.
#ifndef FELTWISE_TESTS_SUPPORT_PACED_LINE_H
#define FELTWISE_TESTS_SUPPORT_PACED_LINE_H

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/pty_pair.h"

namespace feltwise_test {

struct LinePace {
  std::uint32_t baud = 115200;
  unsigned bits_per_byte = 10;          // 8N1: start, eight data bits, stop
  std::size_t chunk = 64;               // bytes the adapter hands over at once
  std::chrono::microseconds jitter{0};  // each chunk up to this much later
};

class PacedLine {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PacedLine(PtyPair& pty, LinePace pace = LinePace(), unsigned seed = 1);

  // Returns once the last chunk has been handed over.
  void send(const std::vector<std::uint8_t>& bytes);
  void send(const std::string& text);
  // The line stays silent this long (on top of what it still carries).
  void pause(std::chrono::microseconds silence);

  // Waits up to `timeout_ms` for `request_bytes` from the host, stays silent
  // for `delay`, then sends `reply` at the line's pace. Returns the request.
  std::vector<std::uint8_t> answer(std::size_t request_bytes, const std::vector<std::uint8_t>& reply,
                                   std::chrono::milliseconds delay, int timeout_ms = 2000);

  // How long the line needs to carry `bytes`.
  std::chrono::microseconds lineTime(std::size_t bytes) const;

  // How many times this thread woke more than kLate after a chunk or the end
  // of a pause was due (a loaded machine): the line was silent that much
  // longer than its pace says, long enough for a port's 100 ms read time-out
  // to end a read mid-frame. On an idle machine it stays 0.
  static constexpr std::chrono::milliseconds kLate{50};
  std::size_t lateWakes() const { return late_wakes_; }

 private:
  PtyPair& pty_;
  LinePace pace_;
  std::mt19937 random_;
  // When the line has carried everything sent so far.
  Clock::time_point line_free_;
  std::size_t late_wakes_ = 0;

  void sleepUntil(Clock::time_point due);
};

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_PACED_LINE_H
