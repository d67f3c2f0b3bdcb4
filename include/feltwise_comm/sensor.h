// Sensor: one sensor for a C++ program, what feltwise.Sensor is in Python.
// It opens its port at once and streams until close() or its end.
//
//   feltwise_comm::Sensor sensor("/dev/ttyUSB0", "pad.msgpack");  // or "1": a protocol version
//   feltwise_comm::StampedSample sample;
//   if (sensor.read(sample)) use(sample.calibrated, sample.seq, sample.t_host_ns);
//   feltwise_comm::SampleBatch batch;                            // reused call after call
//   while (sensor.readBatch(batch) > 0) use(batch);              // every queued frame, as arrays
//
// Samples are stamped (stamped_sample.h): seq, t_host_ns on the steady clock,
// read the moment the frame was decoded, dropped, reconnects.
// - read: the newest frame no read took yet; frames between two reads are
//   skipped and counted in its dropped.
// - readBatch: every frame in order, through a bounded queue of
//   SensorOptions::queue frames, taken in one pass into one SampleBatch; what
//   overflows the queue counts in its dropped, so a reader that took every
//   frame it did not lose sees seq == taken + dropped. min_samples lets a
//   reader wait for several frames at once, woken once rather than per frame.
//   Without a queue (queue = 0) it takes the newest frame, as read does.
// - With reconnect, an unplugged device is waited for: its port is reopened
//   under the same name every 250 ms and streaming goes on with the same
//   models and offsets; meanwhile is_connected() is false and reads wait to
//   their time-outs.
//
// Errors: the constructor raises what SensorComms::init and connect raise
// (a bad parameter file as std::runtime_error with the loader's message,
// PortOpenError with its cause); read and readBatch raise DeviceLostError and
// SensorClosedError (sensor_errors.h); zero ZeroFailure (zero_failure.h);
// the register calls RegisterTimeoutError and RegisterStatusError
// (register_errors.h) besides SensorComms' refusals.
//
// Threads: any call from any thread, several at once; close() in one thread
// ends the waits of the others at once, with SensorClosedError. The object
// must outlive every call in it. What the library has to report (a unit not
// plugged in, a device's error line) goes to stderr.
#ifndef FELTWISE_COMM_SENSOR_H
#define FELTWISE_COMM_SENSOR_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "feltwise_comm/sensor_comms.h"
#include "feltwise_comm/sensor_errors.h"
#include "feltwise_comm/stamped_sample.h"

namespace feltwise_comm {

struct SensorOptions {
  // Frames kept in order for readBatch; 0: readBatch takes the newest frame.
  std::size_t queue = 256;
  // Wait for an unplugged device rather than give the port up.
  bool reconnect = false;
};

class Sensor {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDefaultTimeout{500};

  // `init_text`: a parameter file's path, or a bare protocol version ("0".."4").
  Sensor(const std::string& port, const std::string& init_text, const SensorOptions& options = SensorOptions());
  ~Sensor();
  Sensor(const Sensor&) = delete;
  Sensor& operator=(const Sensor&) = delete;

  // The newest sample no read took yet, into `out`; false after `timeout`
  // without one (zero: do not wait).
  bool read(StampedSample& out, Clock::duration timeout = kDefaultTimeout);
  // Waits up to `timeout` until `min_samples` frames are queued (fewer when
  // the time-out ends the wait with some there), then takes every one
  // queued, up to `max_samples` (0: no limit), into `out`; returns out.rows,
  // 0 after the time-out without a frame.
  std::size_t readBatch(SampleBatch& out, std::size_t max_samples = 0, Clock::duration timeout = kDefaultTimeout,
                        std::size_t min_samples = 1);

  // Re-estimates the rest offsets from 20 fresh samples, of the units of
  // these calibrated outputs (all when empty).
  void zero(const std::vector<std::int32_t>& output_ids = {});
  std::vector<std::uint8_t> readRegister(std::uint16_t address, std::uint16_t id,
                                         std::chrono::milliseconds timeout = kDefaultTimeout);
  void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                     std::chrono::milliseconds timeout = kDefaultTimeout);

  const std::string& port() const { return port_; }
  std::size_t queue() const { return queue_; }
  // The port is open and read; false while a reconnecting sensor waits.
  bool isConnected() const;
  // How many times the device came back after an unplug.
  std::uint64_t reconnects();
  bool closed() const { return closed_.load(); }
  // Stops streaming and closes the port; calls waiting in other threads end
  // with SensorClosedError. Closing twice is harmless.
  void close();

 private:
  SamplePath path() const { return queue_ != 0 ? SamplePath::kQueue : SamplePath::kNewest; }
  SensorComms& open();

  SensorComms comms_;
  std::string port_;
  std::size_t queue_;
  std::mutex close_mutex_;
  std::atomic<bool> closed_{false};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_SENSOR_H
