#include "feltwise_comm/sensor.h"

#include <algorithm>

namespace feltwise_comm {
namespace {

// A year is "for ever" for a sensor, and keeps the clock arithmetic in range.
Sensor::Clock::time_point deadlineAfter(Sensor::Clock::duration timeout) {
  const Sensor::Clock::duration year = std::chrono::hours(24 * 365);
  return Sensor::Clock::now() + std::max(Sensor::Clock::duration::zero(), std::min(timeout, year));
}

}  // namespace

Sensor::Sensor(const std::string& port, const std::string& init_text, const SensorOptions& options)
    : port_(port), queue_(options.queue) {
  comms_.init(init_text);
  ConnectOptions connect;
  connect.queue_capacity = options.queue;
  connect.reconnect = options.reconnect;
  comms_.connect(port, connect);
}

Sensor::~Sensor() { close(); }

SensorComms& Sensor::open() {
  if (closed_.load()) throw SensorClosedError();
  return comms_;
}

bool Sensor::read(StampedSample& out, Clock::duration timeout) {
  const Clock::time_point deadline = deadlineAfter(timeout);
  SensorComms& comms = open();
  if (comms.take(SamplePath::kNewest, deadline, out)) return true;
  if (closed_.load()) throw SensorClosedError();
  if (comms.port_lost()) throw DeviceLostError();
  return false;
}

std::size_t Sensor::readBatch(SampleBatch& out, std::size_t max_samples, Clock::duration timeout,
                              std::size_t min_samples) {
  const Clock::time_point deadline = deadlineAfter(timeout);
  SensorComms& comms = open();
  if (max_samples != 0 && min_samples > max_samples) min_samples = max_samples;
  comms.await(path(), deadline, min_samples);
  if (closed_.load()) throw SensorClosedError();
  // A lost port still hands out what it queued before it went.
  if (comms.take_batch(path(), max_samples, out) == 0 && comms.port_lost()) throw DeviceLostError();
  return out.rows;
}

void Sensor::zero(const std::vector<std::int32_t>& output_ids) { open().zero(output_ids); }

std::vector<std::uint8_t> Sensor::readRegister(std::uint16_t address, std::uint16_t id,
                                               std::chrono::milliseconds timeout) {
  std::vector<std::uint8_t> data;
  open().read_register(address, id, data, timeout.count());
  return data;
}

void Sensor::writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                           std::chrono::milliseconds timeout) {
  open().write_register(address, id, data, timeout.count());
}

bool Sensor::isConnected() const { return !closed_.load() && comms_.is_connected(); }

std::uint64_t Sensor::reconnects() { return comms_.reconnects(); }

void Sensor::close() {
  // A second closer waits for the first.
  std::lock_guard<std::mutex> once(close_mutex_);
  if (closed_.exchange(true)) return;
  comms_.disconnect();
}

}  // namespace feltwise_comm
