// Stamped samples for feltwise.Sensor, beside the plain newest-sample hand-off
// that FeltwiseComms::read uses and that this leaves untouched.
//
// Two paths, each with its own "taken" state and drop counter:
// - newest: one slot holding the newest frame nobody took; a frame that
//   replaces an untaken one counts as dropped.
// - queue: a ring of `capacity` frames, oldest first, allocated once by
//   `activate` (at connect); when it is full the oldest frame is pushed out
//   and counted as dropped, so the queue always ends at the newest frame.
// A sample's `dropped` is the path's count when it is taken.
//
// Threads: not synchronised itself. Its owner (CommsState) calls every member
// under its hand-off lock: `hand_off` from the acquisition thread, the rest
// from callers. `hand_off` allocates nothing once sample sizes have settled.
#ifndef FELTWISE_COMMS_SAMPLE_FEED_H
#define FELTWISE_COMMS_SAMPLE_FEED_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "comms/sample_stamp.h"

namespace feltwise_comm {

class SampleFeed {
 public:
  using Path = SamplePath;

  bool active() const { return active_; }

  // Turns the feed on with a queue of `queue_capacity` frames (0: newest only),
  // allocating the queue, and restarts it.
  void activate(std::size_t queue_capacity);

  // Forgets every frame and count: seq, dropped and reconnects start again
  // at 0. Call at connect.
  void restart();

  // The port was reopened after a loss: frames handed off from now on carry
  // one more reconnect. Pending and queued frames, seq and dropped go on.
  void reconnected() { ++reconnects_; }
  std::uint64_t reconnects() const { return reconnects_; }

  void hand_off(const std::vector<double>& raw, const std::vector<double>& calibrated, std::int64_t t_host_ns);

  // `frames` decoded and replaced by a newer one before any hand-off (a burst
  // decoded in one go): they count in seq and as dropped on the newest path.
  // The owner passes frames over only while the queue is off.
  void pass_over(std::uint64_t frames) {
    seq_ += frames;
    newest_dropped_ += frames;
  }

  bool available(Path path) const { return path == Path::kNewest ? newest_pending_ : queued_ > 0; }
  // Samples of `path` waiting to be taken.
  std::size_t waiting(Path path) const { return path == Path::kNewest ? (newest_pending_ ? 1 : 0) : queued_; }

  // Copies the next sample of `path` into `out` and marks it taken; false
  // when none is waiting.
  bool take(Path path, StampedSample& out);

  // Moves up to `max_rows` samples of `path` (0: all there are), oldest
  // first, into `out` in one pass and marks them taken; the rows stop before
  // the first frame whose widths differ from the first row's. kNewest gives
  // one row at most. Returns the rows taken (out.rows). Allocates only when
  // `out` must hold more than ever before.
  std::size_t take_batch(Path path, std::size_t max_rows, SampleBatch& out);

  // Undoes the take of `sample`, the last one taken from `path`, which never
  // reached its reader (Ctrl-C came on its way): it is the next to take
  // again, unless newer frames took its place meanwhile (the newest slot
  // holds a newer one, or the queue filled up), in which case it counts as
  // dropped.
  void give_back(Path path, const StampedSample& sample);

  // give_back for every row of `batch`, the last taken from `path`: rows
  // that no longer fit in front of newer frames count as dropped, the
  // oldest first.
  void give_back(Path path, const SampleBatch& batch);

  std::size_t queue_capacity() const { return ring_.size(); }

 private:
  bool active_ = false;
  std::uint64_t seq_ = 0;
  std::uint64_t reconnects_ = 0;

  StampedSample newest_;
  bool newest_pending_ = false;
  std::uint64_t newest_dropped_ = 0;

  std::vector<StampedSample> ring_;
  std::size_t oldest_ = 0;
  std::size_t queued_ = 0;
  std::uint64_t queue_dropped_ = 0;

  StampedSample give_back_scratch_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_SAMPLE_FEED_H
