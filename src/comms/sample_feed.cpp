#include "comms/sample_feed.h"

namespace feltwise_comm {
namespace {

void store(StampedSample& slot, const std::vector<double>& raw, const std::vector<double>& calibrated,
           std::uint64_t seq, std::int64_t t_host_ns, std::uint64_t reconnects) {
  // assign() reuses the slot's storage: it allocates only for a longer sample.
  slot.raw.assign(raw.begin(), raw.end());
  slot.calibrated.assign(calibrated.begin(), calibrated.end());
  slot.seq = seq;
  slot.t_host_ns = t_host_ns;
  slot.reconnects = reconnects;
}

void copyOut(const StampedSample& slot, std::uint64_t dropped, StampedSample& out) {
  out.raw.assign(slot.raw.begin(), slot.raw.end());
  out.calibrated.assign(slot.calibrated.begin(), slot.calibrated.end());
  out.seq = slot.seq;
  out.t_host_ns = slot.t_host_ns;
  out.dropped = dropped;
  out.reconnects = slot.reconnects;
}

}  // namespace

void SampleFeed::activate(std::size_t queue_capacity) {
  active_ = true;
  ring_.resize(queue_capacity);
  ring_.shrink_to_fit();
  restart();
}

void SampleFeed::restart() {
  seq_ = 0;
  reconnects_ = 0;
  newest_pending_ = false;
  newest_dropped_ = 0;
  oldest_ = 0;
  queued_ = 0;
  queue_dropped_ = 0;
}

void SampleFeed::hand_off(const std::vector<double>& raw, const std::vector<double>& calibrated,
                          std::int64_t t_host_ns) {
  ++seq_;
  if (newest_pending_) ++newest_dropped_;
  store(newest_, raw, calibrated, seq_, t_host_ns, reconnects_);
  newest_pending_ = true;

  if (ring_.empty()) return;
  if (queued_ == ring_.size()) {
    oldest_ = (oldest_ + 1) % ring_.size();
    --queued_;
    ++queue_dropped_;
  }
  store(ring_[(oldest_ + queued_) % ring_.size()], raw, calibrated, seq_, t_host_ns, reconnects_);
  ++queued_;
}

void SampleFeed::give_back(Path path, const StampedSample& sample) {
  if (path == Path::kNewest) {
    if (newest_pending_) {
      ++newest_dropped_;
      return;
    }
    store(newest_, sample.raw, sample.calibrated, sample.seq, sample.t_host_ns, sample.reconnects);
    newest_pending_ = true;
    return;
  }
  if (ring_.empty()) return;
  if (queued_ == ring_.size()) {
    ++queue_dropped_;
    return;
  }
  oldest_ = (oldest_ + ring_.size() - 1) % ring_.size();
  store(ring_[oldest_], sample.raw, sample.calibrated, sample.seq, sample.t_host_ns, sample.reconnects);
  ++queued_;
}

bool SampleFeed::take(Path path, StampedSample& out) {
  if (!available(path)) return false;
  if (path == Path::kNewest) {
    copyOut(newest_, newest_dropped_, out);
    newest_pending_ = false;
    return true;
  }
  copyOut(ring_[oldest_], queue_dropped_, out);
  oldest_ = (oldest_ + 1) % ring_.size();
  --queued_;
  return true;
}

}  // namespace feltwise_comm
