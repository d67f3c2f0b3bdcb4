#include "comms/comms_state.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "comms/component_factory.h"
#include "comms/protocol_version_text.h"
#include "comms/sample_stamp.h"
#include "feltwise_comm/device_lost_error.h"
#include "feltwise_comm/port_open_error.h"
#include "feltwise_comm/wait_interrupt.h"
#include "feltwise_comm/zero_failure.h"
#include "parameters/parameter_file.h"
#include "sensor_types/sensor_type_table.h"

namespace feltwise_comm {
namespace {

// Longest single wait on the condition variable; longer time-outs loop.
constexpr std::int64_t kMaxWaitMs = 86400000;

serial::Timeouts commsTimeouts() { return serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0); }

// A device that sent bytes less than a read time-out before we closed its
// port had not paused: reopened at once, the port joins its stream part-way.
constexpr std::chrono::milliseconds kStreamPause{100};

}  // namespace

CommsState::~CommsState() {
  try {
    disconnect();
  } catch (...) {
  }
}

void CommsState::init(const std::string& file_name) {
  std::lock_guard<std::mutex> config(config_mutex_);
  // Everything is decoded and built aside and installed in one step, only
  // when all of it succeeded: a refused init (a missing or malformed file, a
  // refused record, an unknown version) leaves protocol, version, records,
  // models and the calibrated sample exactly as they were, and a file's
  // records replace those of the previous file instead of adding to them.
  ParameterHolder loaded;
  loaded.protocol_version_ = 1;
  const auto version = file_name.empty() ? std::optional<std::int32_t>(1) : protocolVersionFromText(file_name);
  Components built;
  if (version) {
    // A bare version keeps the records held, zeroed offsets included, and
    // builds new models on them.
    loaded.protocol_version_ = *version;
    loaded.records_ = records_;
    built = buildComponents(loaded);
  } else {
    built = loadComponents(loaded, file_name);
  }
  std::vector<double> calibrated(built.calibrated_size, 0.0);

  // Swapped, so that the previous protocol, models and records are released
  // after the lock, when this scope ends.
  std::lock_guard<std::mutex> guard(lock_);
  protocol_version_ = loaded.protocol_version_;
  records_.swap(loaded.records_);
  protocol_.swap(built.protocol);
  protocol_generation_.fetch_add(1, std::memory_order_release);
  models_.swap(built.models);
  calibrated_sample_.swap(calibrated);
  notices_.forget_units();
  // A sample handed off under the previous models and not taken yet stays
  // pending. Calibrate it again with the new models, as if it had arrived a
  // moment later, or read() would hand out the new zeros as a sample.
  if (data_ready_ && !raw_sample_.empty()) apply_models();
}

void CommsState::connect(const std::string& port) {
  if (!current_protocol()) throw std::runtime_error("Cannot connect before init has chosen a protocol");
  // Also when the thread already lost the port: it must be joined before a new one starts.
  disconnect();
  const bool reopens_running_stream =
      port == port_name_ && std::chrono::steady_clock::now() - closed_port_received_at_ < kStreamPause;
  closed_port_received_at_ = {};

  std::unique_ptr<serial::Serial> serial_port = open_port(port);
  {
    // The previous thread is joined: nothing it read may be handed out as a
    // sample of this port. read(0) gives zeros and read_raw(0) nothing, as
    // before the first sample after init.
    std::lock_guard<std::mutex> guard(lock_);
    data_ready_ = false;
    port_lost_ = false;
    stopped_ = false;
    raw_sample_.clear();
    std::fill(calibrated_sample_.begin(), calibrated_sample_.end(), 0.0);
    feed_.restart();
  }
  {
    std::unique_lock<std::shared_mutex> exclusive(port_mutex_);
    port_ = std::move(serial_port);
  }
  port_name_ = port;
  stream_start_ = reopens_running_stream ? StreamStart::kJoined : StreamStart::kPortOpened;
  connected_.store(port_->isOpen(), std::memory_order_release);
  running_.store(true);
  try {
    reader_ = std::make_unique<std::thread>(&CommsState::acquire, this);
  } catch (...) {
    // A port with nobody reading it would only hold the device.
    running_.store(false);
    lose_port();
    throw;
  }
}

std::unique_ptr<serial::Serial> CommsState::open_port(const std::string& name) {
  try {
    return std::make_unique<serial::Serial>(name, 115200, commsTimeouts(), serial::eightbits, serial::parity_none,
                                            serial::stopbits_one, serial::flowcontrol_none);
  } catch (const serial::IOException& error) {
    throw PortOpenError(name, error);
  }
}

void CommsState::disconnect() {
  running_.store(false);
  {
    // A thread waiting to retry a lost port checks running_ under lock_.
    std::lock_guard<std::mutex> guard(lock_);
  }
  retry_cv_.notify_all();
  {
    // The thread sees running_ between two reads; a device that streams text
    // without line feeds would keep one read going for seconds.
    std::shared_lock<std::shared_mutex> port_in_use(port_mutex_);
    if (port_) port_->stopReading();
  }
  if (reader_ && reader_->joinable()) reader_->join();
  reader_.reset();
  connected_.store(false, std::memory_order_release);
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
  }
  data_ready_cv_.notify_all();
  std::unique_lock<std::shared_mutex> exclusive(port_mutex_);
  if (port_) closed_port_received_at_ = port_->lastReceivedAt();
  if (port_ && port_->isOpen()) port_->close();
  port_.reset();
}

void CommsState::forget_after_fork() noexcept {
  if (port_) port_->forgetAfterFork();
  // Neither joined nor detached: the thread is the parent's.
  (void)reader_.release();
  // Its destructor would close the port the parent still uses.
  (void)port_.release();
}

void CommsState::drop_port() noexcept {
  connected_.store(false, std::memory_order_release);
  std::unique_lock<std::shared_mutex> exclusive(port_mutex_);
  if (port_) {
    try {
      port_->close();
    } catch (...) {
    }
  }
  port_.reset();
}

void CommsState::lose_port() noexcept {
  drop_port();
  {
    std::lock_guard<std::mutex> guard(lock_);
    port_lost_ = true;
  }
  // Nothing can arrive any more: waiters give up now, not at their deadline.
  data_ready_cv_.notify_all();
}

SampleRule CommsState::sample_rule() {
  std::lock_guard<std::mutex> guard(lock_);
  return feed_.active() ? SampleRule::kWholeSamples : SampleRule::kAsReceived;
}

std::shared_ptr<Protocol> CommsState::current_protocol() {
  std::lock_guard<std::mutex> guard(lock_);
  return protocol_;
}

void CommsState::acquire() {
  const console::Redirect notices(collect_notices_.load() ? &notices_ : nullptr);
  std::vector<double> scratch(1024, 0.0);
  HeldSample held;
  held.values.reserve(scratch.size());
  const SampleRule rule = sample_rule();
  // The generation first: an init between the two is then seen at the next turn.
  std::uint64_t generation_seen = protocol_generation_.load(std::memory_order_acquire);
  std::shared_ptr<Protocol> protocol = current_protocol();
  bool streaming = start_stream(*protocol, stream_start_, rule);

  while (running_.load()) {
    if (!streaming) {
      // Only with reconnect_on_loss: the port failed and was closed.
      if (!reopen_port()) break;
      {
        std::lock_guard<std::mutex> guard(lock_);
        feed_.reconnected();
      }
      // An init while the device was away may have replaced the protocol.
      generation_seen = protocol_generation_.load(std::memory_order_acquire);
      protocol = current_protocol();
      streaming = start_stream(*protocol, StreamStart::kPortOpened, rule);
      continue;
    }
    try {
      const std::uint64_t generation = protocol_generation_.load(std::memory_order_acquire);
      if (generation != generation_seen) {
        // This protocol takes over a stream that is running already.
        protocol = current_protocol();
        generation_seen = generation;
        protocol->startStream(*this, StreamStart::kJoined, rule);
      }
      const bool read = protocol->readSample(scratch, *this);
      if (read && !scratch.empty()) {
        // A newer sample replaces the one held back, which nobody could take.
        if (held.holding) ++held.passed_over;
        held.values.swap(scratch);
        held.holding = true;
        held.t_host_ns = steadyNowNs();
      } else if (read && !held.holding) {
        empty_frame();
      }
      // A frame without values behind a held sample leaves it as it is, as it
      // would leave a pending one.
      if (!held.holding) continue;
      // A read of the port brings many frames at once when they come faster
      // than this thread wakes (a burst, a flood): decode them all, and lock,
      // copy, calibrate and wake once, for the newest. Not while feltwise.Sensor
      // queues every frame.
      if (read && !every_frame_.load(std::memory_order_relaxed) && !zero_gathering_.load(std::memory_order_relaxed) &&
          protocol->sampleWaiting(*this)) {
        continue;
      }
      hand_off(held);
    } catch (...) {
      // A sample read before the port failed is still handed off.
      if (held.holding) {
        try {
          hand_off(held);
        } catch (...) {
        }
      }
      if (reconnect_.load()) {
        drop_port();
        streaming = false;
        continue;
      }
      // The port is gone or talks nonsense we cannot survive: release it and
      // stop, rather than spin on a port that is not there. connect() starts over.
      lose_port();
      break;
    }
  }
  running_.store(false);
}

bool CommsState::start_stream(Protocol& protocol, StreamStart start, SampleRule rule) {
  try {
    if (port_ && port_->isOpen()) port_->flush();
    protocol.startStream(*this, start, rule);
    return true;
  } catch (...) {
    if (reconnect_.load()) {
      drop_port();
    } else {
      lose_port();
      running_.store(false);
    }
    return false;
  }
}

bool CommsState::reopen_port() {
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(lock_);
      // Also a first try only after a pause: a device that fails as soon as
      // it opens is retried a few times a second, not in a spin.
      retry_cv_.wait_for(guard, kRetryPeriod, [this] { return !running_.load(); });
    }
    if (!running_.load()) return false;
    std::unique_ptr<serial::Serial> reopened;
    try {
      reopened = open_port(port_name_);
    } catch (...) {
      // Still away (missing, busy, not yet ready): try again.
      continue;
    }
    {
      std::unique_lock<std::shared_mutex> exclusive(port_mutex_);
      port_ = std::move(reopened);
    }
    connected_.store(port_->isOpen(), std::memory_order_release);
    return true;
  }
}

void CommsState::hand_off(HeldSample& held) {
  // Cleared first: a hand-off that fails is not tried again.
  held.holding = false;
  const std::uint64_t passed_over = std::exchange(held.passed_over, 0);
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    raw_sample_.assign(held.values.begin(), held.values.end());
    apply_models();
    data_ready_ = true;
    if (zero_slots_ != nullptr && zero_filled_ < zero_slots_->size()) {
      (*zero_slots_)[zero_filled_++].assign(raw_sample_.begin(), raw_sample_.end());
    }
    if (feed_.active()) {
      feed_.pass_over(passed_over);
      feed_.hand_off(raw_sample_, calibrated_sample_, held.t_host_ns);
    }
    // Nobody waits in a flood most of the time: no wake-up to pay for then.
    // A batch waiter only once the rows it waits for are there.
    wake = waiting_ != 0 ||
           (batch_waiting_ != 0 && std::max(feed_.waiting(SampleFeed::Path::kQueue),
                                            feed_.waiting(SampleFeed::Path::kNewest)) >= batch_wake_rows_);
  }
  // Woken after the lock is released, a reader does not wake only to
  // block again on the mutex this thread still holds.
  if (wake) data_ready_cv_.notify_all();
}

void CommsState::empty_frame() {
  std::lock_guard<std::mutex> guard(lock_);
  // A frame without values is no sample. It empties the current raw
  // sample, but never the one still pending: that one stays whole
  // until a reader takes it.
  if (!data_ready_) raw_sample_.clear();
}

void CommsState::apply_models() {
  std::fill(calibrated_sample_.begin(), calibrated_sample_.end(), 0.0);
  for (std::size_t i = 0; i < models_.size(); ++i) {
    // models_[i] was built from records_[i]: init installs both together.
    notices_.unit(i, records_[i].get(), raw_sample_.size());
    models_[i]->apply(calibrated_sample_, raw_sample_);
  }
}

void CommsState::wait_for_sample(const std::vector<double>& buffer, std::vector<double>& output, std::int64_t timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  if (timeout < 1) {
    output.assign(buffer.begin(), buffer.end());
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  while (!data_ready_) {
    // A sample still pending when the port was lost is handed out above;
    // after that there is nothing left to wait for.
    if (port_lost_) {
      output.clear();
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      output.clear();
      return;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    const auto wake = WaitInterrupt::nextWake(now + std::min(left, std::chrono::milliseconds(kMaxWaitMs)));
    ++waiting_;
    data_ready_cv_.wait_until(guard, wake);
    --waiting_;
    // The caller's check may run any code, this object's calls included.
    guard.unlock();
    WaitInterrupt::poll();
    guard.lock();
  }
  output.assign(buffer.begin(), buffer.end());
  data_ready_ = false;
}

void CommsState::feed_samples(std::size_t queue_capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  feed_.activate(queue_capacity);
  every_frame_.store(queue_capacity != 0, std::memory_order_relaxed);
}

void CommsState::wait_stamped(std::unique_lock<std::mutex>& guard, SampleFeed::Path path,
                              std::chrono::steady_clock::time_point deadline) {
  // A lost port ends the wait as it ends read's: what is queued is still taken.
  while (!feed_.available(path) && !port_lost_ && !stopped_ && std::chrono::steady_clock::now() < deadline) {
    ++waiting_;
    data_ready_cv_.wait_until(guard, deadline);
    --waiting_;
  }
}

bool CommsState::await_stamped(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> guard(lock_);
  wait_stamped(guard, path, deadline);
  return feed_.available(path);
}

bool CommsState::take_stamped(SampleFeed::Path path, StampedSample& out) {
  std::lock_guard<std::mutex> guard(lock_);
  return take_or_refuse(path, out);
}

bool CommsState::take_or_refuse(SampleFeed::Path path, StampedSample& out) {
  if (feed_.take(path, out)) return true;
  if (port_lost_) throw DeviceLostError(kSensorLost);
  return false;
}

bool CommsState::take_stamped(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline,
                              StampedSample& out) {
  std::unique_lock<std::mutex> guard(lock_);
  wait_stamped(guard, path, deadline);
  return take_or_refuse(path, out);
}

void CommsState::give_back_stamped(SampleFeed::Path path, const StampedSample& sample) {
  std::lock_guard<std::mutex> guard(lock_);
  feed_.give_back(path, sample);
  // A reader may be waiting already.
  if (waiting_ != 0 || batch_waiting_ != 0) data_ready_cv_.notify_all();
}

std::size_t CommsState::await_rows(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline,
                                   std::size_t min_rows) {
  std::unique_lock<std::mutex> guard(lock_);
  // More than the path holds would never come: full is enough.
  const std::size_t capacity = path == SampleFeed::Path::kNewest ? 1 : std::max<std::size_t>(feed_.queue_capacity(), 1);
  const std::size_t needed = std::min(std::max<std::size_t>(min_rows, 1), capacity);
  while (feed_.waiting(path) < needed && !port_lost_ && !stopped_ && std::chrono::steady_clock::now() < deadline) {
    ++batch_waiting_;
    batch_wake_rows_ = std::min(batch_wake_rows_, needed);
    data_ready_cv_.wait_until(guard, deadline);
    if (--batch_waiting_ == 0) batch_wake_rows_ = SIZE_MAX;
  }
  return feed_.waiting(path);
}

std::size_t CommsState::take_batch(SampleFeed::Path path, std::size_t max_rows, SampleBatch& out) {
  std::lock_guard<std::mutex> guard(lock_);
  return feed_.take_batch(path, max_rows, out);
}

void CommsState::give_back_batch(SampleFeed::Path path, const SampleBatch& batch) {
  std::lock_guard<std::mutex> guard(lock_);
  feed_.give_back(path, batch);
  if (waiting_ != 0 || batch_waiting_ != 0) data_ready_cv_.notify_all();
}

std::uint64_t CommsState::reconnects() {
  std::lock_guard<std::mutex> guard(lock_);
  return feed_.reconnects();
}

bool CommsState::port_lost() {
  std::lock_guard<std::mutex> guard(lock_);
  return port_lost_;
}

void CommsState::read(std::vector<double>& output, std::int64_t timeout) {
  wait_for_sample(calibrated_sample_, output, timeout);
}

void CommsState::read_raw(std::vector<double>& output, std::int64_t timeout) {
  wait_for_sample(raw_sample_, output, timeout);
}

void CommsState::zero(const std::vector<std::int32_t>& taxel_ids, ZeroPace pace) {
  constexpr std::int64_t kZeroWaitMs = 50;
  std::vector<std::vector<double>> data_buf(static_cast<std::size_t>(zero_sample_count_));
  std::vector<double> sample;
  // Whatever is pending now may be old; the samples below are fresh.
  read_raw(sample, 500);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kZeroWaitMs * zero_sample_count_);
  if (pace == ZeroPace::kOnAverage) {
    const int gathered = static_cast<int>(gather_frames(data_buf, deadline));
    if (gathered < zero_sample_count_) {
      throw ZeroFailure(zero_sample_count_, gathered, !sample.empty() || gathered > 0, is_connected());
    }
    zero(data_buf, taxel_ids);
    return;
  }
  int gathered = 0;
  for (auto& slot : data_buf) {
    read_raw(slot, kZeroWaitMs);
    if (slot.empty()) throw ZeroFailure(zero_sample_count_, gathered, !sample.empty() || gathered > 0, is_connected());
    ++gathered;
  }
  zero(data_buf, taxel_ids);
}

std::size_t CommsState::gather_frames(std::vector<std::vector<double>>& slots,
                                      std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> guard(lock_);
  // Sized now, so the acquisition thread's copies allocate nothing.
  for (auto& slot : slots) slot.reserve(raw_sample_.size());
  zero_slots_ = &slots;
  zero_filled_ = 0;
  zero_gathering_.store(true, std::memory_order_relaxed);
  struct Stop {
    CommsState& self;
    std::unique_lock<std::mutex>& guard;
    ~Stop() {
      if (!guard.owns_lock()) guard.lock();
      self.zero_gathering_.store(false, std::memory_order_relaxed);
      self.zero_slots_ = nullptr;
    }
  } stop{*this, guard};
  while (zero_filled_ < slots.size() && !port_lost_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    ++waiting_;
    data_ready_cv_.wait_until(guard, WaitInterrupt::nextWake(deadline));
    --waiting_;
    // The caller's check may run any code, this object's calls included.
    guard.unlock();
    WaitInterrupt::poll();
    guard.lock();
  }
  return zero_filled_;
}

void CommsState::zero(const std::vector<std::vector<double>>& data_buf, const std::vector<std::int32_t>& taxel_ids) {
  std::lock_guard<std::mutex> config(config_mutex_);
  // Offsets change under the hand-off lock, so no sample is calibrated half
  // with the old and half with the new ones.
  std::lock_guard<std::mutex> guard(lock_);
  if (taxel_ids.empty()) {
    for (const auto& model : models_) model->zero(data_buf);
    return;
  }
  // models_[i] was built from records_[i]: init installs both together.
  for (std::size_t i = 0; i < models_.size(); ++i) {
    for (const auto& entry : records_[i]->output_map) {
      if (std::find(taxel_ids.begin(), taxel_ids.end(), entry.second) != taxel_ids.end()) {
        models_[i]->zero(data_buf);
      }
    }
  }
}

void CommsState::read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output,
                               std::int64_t timeout) {
  std::shared_ptr<Protocol> protocol = current_protocol();
  {
    std::shared_lock<std::shared_mutex> port_in_use(port_mutex_);
    if (port_ && port_->isOpen()) {
      if (!protocol) throw std::runtime_error("Cannot access registers before init has chosen a protocol");
      protocol->readRegister(address, id, output, *this, timeout);
      return;
    }
  }
  refuse_closed_port();
}

void CommsState::write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                                std::int64_t timeout) {
  std::shared_ptr<Protocol> protocol = current_protocol();
  {
    std::shared_lock<std::shared_mutex> port_in_use(port_mutex_);
    if (port_ && port_->isOpen()) {
      if (!protocol) throw std::runtime_error("Cannot access registers before init has chosen a protocol");
      protocol->writeRegister(address, id, data, *this, timeout);
      return;
    }
  }
  refuse_closed_port();
}

void CommsState::refuse_closed_port() {
  constexpr const char* kNotOpen = "Serial port is not open";
  if (port_lost()) throw DeviceLostError(kNotOpen);
  throw std::runtime_error(kNotOpen);
}

}  // namespace feltwise_comm
