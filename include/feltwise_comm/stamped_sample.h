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
//
// SampleBatch holds several samples taken in one go, as arrays: row i of
// `raw` (raw_columns values) and of `calibrated` (calibrated_columns values,
// none without a parameter file) is the frame of seq[i], t_host_ns[i] and
// reconnects[i], rows in the order the frames were decoded. Every row of a
// batch has the same widths: a frame of other widths starts the next batch.
// `dropped` is the path's count after the last row, as StampedSample's.
// A batch with no rows keeps the widths of the newest frame decoded (0
// before the first). Filling a batch reuses its storage: it allocates only
// when it has to hold more than ever before.
#ifndef FELTWISE_COMM_STAMPED_SAMPLE_H
#define FELTWISE_COMM_STAMPED_SAMPLE_H

#include <cstddef>
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

struct SampleBatch {
  std::size_t rows = 0;
  std::size_t raw_columns = 0;
  std::size_t calibrated_columns = 0;
  std::vector<double> raw;         // rows x raw_columns, row after row
  std::vector<double> calibrated;  // rows x calibrated_columns, row after row
  std::vector<std::uint64_t> seq;
  std::vector<std::int64_t> t_host_ns;
  std::vector<std::uint64_t> reconnects;
  std::uint64_t dropped = 0;

  std::size_t size() const { return rows; }
  bool empty() const { return rows == 0; }
  const double* raw_row(std::size_t row) const { return raw.data() + row * raw_columns; }
  const double* calibrated_row(std::size_t row) const { return calibrated.data() + row * calibrated_columns; }
  // Row `row` as a StampedSample (with the batch's dropped).
  StampedSample sample(std::size_t row) const {
    StampedSample out;
    out.raw.assign(raw_row(row), raw_row(row) + raw_columns);
    out.calibrated.assign(calibrated_row(row), calibrated_row(row) + calibrated_columns);
    out.seq = seq[row];
    out.t_host_ns = t_host_ns[row];
    out.dropped = dropped;
    out.reconnects = reconnects[row];
    return out;
  }
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_STAMPED_SAMPLE_H
