// One sample as SensorComms (and feltwise.Sensor) hands it out: raw and
// calibrated values of the same frame, and where that frame stands in the
// stream.
//
// - seq: frames handed off since connect, this one included (the first is 1),
//   so a reader sees a gap as a jump.
// - t_host_ns: the steady (monotonic) clock in nanoseconds, read on the
//   acquisition thread the moment the protocol had decoded the frame. On Linux
//   it is CLOCK_MONOTONIC, the clock of Python's time.monotonic_ns().
// - dropped: frames since connect that the reader's path lost: replaced in the
//   newest slot before anyone took them, or pushed out of a full queue.
//   A reader that took every frame it did not lose sees seq == taken + dropped.
// - reconnects: how many times the port had been reopened after a loss when
//   the frame was decoded (0 until the first; see SensorComms' reconnect).
//   The first frame after each return carries one more than the frame before.
//
// Two paths lead to the samples, each with its own "taken" state and drop
// count: kNewest, the newest frame nobody took, and kQueue, the oldest of
// the frames kept in order (ConnectOptions::queue_capacity of them).
#ifndef FELTWISE_COMM_STAMPED_SAMPLE_H
#define FELTWISE_COMM_STAMPED_SAMPLE_H

#include <cstdint>
#include <vector>

namespace feltwise_comm {

struct StampedSample {
  std::vector<double> raw;
  std::vector<double> calibrated;
  std::uint64_t seq = 0;
  std::int64_t t_host_ns = 0;
  std::uint64_t dropped = 0;
  std::uint64_t reconnects = 0;
};

enum class SamplePath { kNewest, kQueue };

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_STAMPED_SAMPLE_H
