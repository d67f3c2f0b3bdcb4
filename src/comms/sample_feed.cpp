#include "comms/sample_feed.h"

#include <algorithm>
#include <cstddef>

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

// Appends `slot` as row `row` of `out`, whose widths are the slot's.
void appendRow(const StampedSample& slot, std::size_t row, SampleBatch& out) {
  std::copy(slot.raw.begin(), slot.raw.end(), out.raw.begin() + static_cast<std::ptrdiff_t>(row * out.raw_columns));
  std::copy(slot.calibrated.begin(), slot.calibrated.end(),
            out.calibrated.begin() + static_cast<std::ptrdiff_t>(row * out.calibrated_columns));
  out.seq[row] = slot.seq;
  out.t_host_ns[row] = slot.t_host_ns;
  out.reconnects[row] = slot.reconnects;
}

// Sizes `out` for `rows` rows of the widths it has; resize() keeps the
// storage it has, so this allocates only for a bigger batch than ever.
void shape(SampleBatch& out, std::size_t rows) {
  out.rows = rows;
  out.raw.resize(rows * out.raw_columns);
  out.calibrated.resize(rows * out.calibrated_columns);
  out.seq.resize(rows);
  out.t_host_ns.resize(rows);
  out.reconnects.resize(rows);
}

bool sameWidths(const StampedSample& slot, const SampleBatch& out) {
  return slot.raw.size() == out.raw_columns && slot.calibrated.size() == out.calibrated_columns;
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

std::size_t SampleFeed::take_batch(Path path, std::size_t max_rows, SampleBatch& out) {
  if (max_rows == 0) max_rows = ring_.size() + 1;
  const bool newest = path == Path::kNewest;
  // Without rows the batch still has the stream's widths: those of the
  // newest frame (the newest slot holds it, taken or not).
  const StampedSample& first = newest || queued_ == 0 ? newest_ : ring_[oldest_];
  out.raw_columns = first.raw.size();
  out.calibrated_columns = first.calibrated.size();
  out.dropped = newest ? newest_dropped_ : queue_dropped_;
  if (!available(path)) {
    shape(out, 0);
    return 0;
  }
  if (newest) {
    shape(out, 1);
    appendRow(newest_, 0, out);
    newest_pending_ = false;
    return 1;
  }
  std::size_t rows = 0;
  const std::size_t limit = std::min(max_rows, queued_);
  while (rows < limit && sameWidths(ring_[(oldest_ + rows) % ring_.size()], out)) ++rows;
  shape(out, rows);
  for (std::size_t row = 0; row < rows; ++row) appendRow(ring_[(oldest_ + row) % ring_.size()], row, out);
  oldest_ = (oldest_ + rows) % ring_.size();
  queued_ -= rows;
  return rows;
}

void SampleFeed::give_back(Path path, const SampleBatch& batch) {
  // Newest row first: each goes in front of the ones already given back.
  for (std::size_t row = batch.rows; row-- > 0;) {
    StampedSample& scratch = give_back_scratch_;
    scratch.raw.assign(batch.raw_row(row), batch.raw_row(row) + batch.raw_columns);
    scratch.calibrated.assign(batch.calibrated_row(row), batch.calibrated_row(row) + batch.calibrated_columns);
    scratch.seq = batch.seq[row];
    scratch.t_host_ns = batch.t_host_ns[row];
    scratch.reconnects = batch.reconnects[row];
    give_back(path, scratch);
  }
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
