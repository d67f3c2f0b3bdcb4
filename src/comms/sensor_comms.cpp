#include "feltwise_comm/sensor_comms.h"

#include "comms/comms_state.h"

namespace feltwise_comm {

SensorComms::SensorComms() : state_(std::make_unique<CommsState>()) {}

SensorComms::~SensorComms() = default;

void SensorComms::init(const std::string& init_text) { state_->init(init_text); }

void SensorComms::connect(const std::string& port, const ConnectOptions& options) {
  // Each applies from this connect on.
  state_->feed_samples(options.queue_capacity);
  state_->reconnect_on_loss(options.reconnect);
  state_->collect_notices(options.collect_notices);
  state_->connect(port);
}

void SensorComms::disconnect() { state_->disconnect(); }
bool SensorComms::is_connected() const { return state_->is_connected(); }
bool SensorComms::port_lost() { return state_->port_lost(); }
std::uint64_t SensorComms::reconnects() { return state_->reconnects(); }

bool SensorComms::take(SamplePath path, StampedSample& out) { return state_->take_stamped(path, out); }
bool SensorComms::take(SamplePath path, Clock::time_point deadline, StampedSample& out) {
  return state_->take_stamped(path, deadline, out);
}
bool SensorComms::await(SamplePath path, Clock::time_point deadline) { return state_->await_stamped(path, deadline); }
void SensorComms::give_back(SamplePath path, const StampedSample& sample) { state_->give_back_stamped(path, sample); }
std::size_t SensorComms::await(SamplePath path, Clock::time_point deadline, std::size_t min_rows) {
  return state_->await_rows(path, deadline, min_rows);
}
std::size_t SensorComms::take_batch(SamplePath path, std::size_t max_rows, SampleBatch& out) {
  return state_->take_batch(path, max_rows, out);
}
void SensorComms::give_back(SamplePath path, const SampleBatch& batch) { state_->give_back_batch(path, batch); }

void SensorComms::zero(const std::vector<std::int32_t>& output_ids) {
  state_->zero(output_ids, CommsState::ZeroPace::kOnAverage);
}
void SensorComms::read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output,
                                std::int64_t timeout_ms) {
  state_->read_register(address, id, output, timeout_ms);
}
void SensorComms::write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                                 std::int64_t timeout_ms) {
  state_->write_register(address, id, data, timeout_ms);
}

bool SensorComms::notices_waiting() const { return state_->notices_waiting(); }
void SensorComms::take_notices(std::vector<std::string>& out) { state_->take_notices(out); }

void SensorComms::forget_after_fork() noexcept {
  if (!state_) return;
  state_->forget_after_fork();
  // Its destructor would join a thread and take locks of the parent's.
  (void)state_.release();
}

}  // namespace feltwise_comm
