// SensorComms: the comms object for a program that wants every frame, each
// stamped, rather than FeltwiseComms' newest sample alone. feltwise.Sensor is
// built on it.
//
//   SensorComms comms;
//   comms.init("pad.msgpack");                    // or "1": a bare protocol version
//   comms.connect("/dev/ttyUSB0", {/*queue_capacity=*/256, /*reconnect=*/true});
//   StampedSample sample;
//   while (comms.take(SamplePath::kQueue, deadline, sample)) use(sample);
//
// Same protocols, models and acquisition thread as FeltwiseComms; what differs:
// - samples are stamped (stamped_sample.h) and taken from one of two paths,
//   kNewest or kQueue, which keeps queue_capacity frames in order and counts
//   what overflows it in `dropped`;
// - with reconnect, a lost port is reopened under the same name every 250 ms
//   until the device is back or disconnect() is called; meanwhile
//   is_connected() is false and waits go on to their deadlines. Without it,
//   port_lost() turns true when the acquisition thread gives the port up,
//   every wait ends at once, and take, once nothing is left to take, raises
//   DeviceLostError (device_lost_error.h);
// - with collect_notices, what the library would print (a unit not plugged
//   in, a device's error line) is kept for take_notices() instead.
//
// Errors: init raises what FeltwiseComms::init raises (ParameterFileError or
// ParameterValueError for a file, parameter_file_error.h); connect raises
// PortOpenError (port_open_error.h); zero raises ZeroFailure
// (zero_failure.h); the register calls RegisterTimeoutError and
// RegisterStatusError (register_errors.h), and DeviceLostError on a lost
// port, besides the refusals of FeltwiseComms. A thread's WaitInterrupt (wait_interrupt.h) cuts the waits
// of zero and the register calls short.
//
// Threads: every call may come from any thread, several at once;
// take/await/give_back and the register calls run beside each other.
#ifndef FELTWISE_COMM_SENSOR_COMMS_H
#define FELTWISE_COMM_SENSOR_COMMS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "feltwise_comm/stamped_sample.h"

namespace feltwise_comm {

class CommsState;

struct ConnectOptions {
  // Frames kept for SamplePath::kQueue; 0 keeps none (take kNewest then).
  std::size_t queue_capacity = 0;
  // Reopen a lost port rather than give it up.
  bool reconnect = false;
  // Keep the library's notices for take_notices() instead of printing them.
  bool collect_notices = false;
};

class SensorComms {
 public:
  using Clock = std::chrono::steady_clock;

  SensorComms();
  ~SensorComms();
  SensorComms(const SensorComms&) = delete;
  SensorComms& operator=(const SensorComms&) = delete;

  // As FeltwiseComms::init: a parameter file's path, or a bare protocol version.
  void init(const std::string& init_text);
  // Closes a port already open, then opens `port` and starts acquisition.
  void connect(const std::string& port, const ConnectOptions& options);
  // Stops acquisition and closes the port; waits end at once.
  void disconnect();
  bool is_connected() const;
  // The acquisition thread gave the port up (never while it reconnects).
  bool port_lost();
  // Reopens of a lost port since connect.
  std::uint64_t reconnects();

  // Takes the next sample of `path` without waiting; false when none is there;
  // DeviceLostError when none is there and the port is lost.
  bool take(SamplePath path, StampedSample& out);
  // Waits until a sample of `path` is there, the port is lost, or `deadline`;
  // then takes it as take() does.
  bool take(SamplePath path, Clock::time_point deadline, StampedSample& out);
  // Waits as take() does and takes nothing; true when a sample is there.
  bool await(SamplePath path, Clock::time_point deadline);
  // Puts back `sample`, the last one taken from `path`, unless newer frames
  // have taken its place meanwhile.
  void give_back(SamplePath path, const StampedSample& sample);

  // Batches (stamped_sample.h). Waits until `min_rows` samples of `path` are
  // there (at most what the path holds: one for kNewest, queue_capacity for
  // kQueue), the port is lost, disconnect() runs, or `deadline`; returns how
  // many are there. The acquisition thread wakes the caller once, when
  // enough are there, not for every frame.
  std::size_t await(SamplePath path, Clock::time_point deadline, std::size_t min_rows);
  // Takes up to `max_rows` samples of `path` (0: every one there is), oldest
  // first, into `out` in one pass, without waiting; returns out.rows. The
  // rows stop before a frame of other widths than the first's.
  std::size_t take_batch(SamplePath path, std::size_t max_rows, SampleBatch& out);
  // Puts back the rows of `batch`, the last one taken from `path`, in front
  // of newer frames; those that no longer fit count as dropped.
  void give_back(SamplePath path, const SampleBatch& batch);

  // Zeroes the models of these calibrated outputs (all when empty) from 20
  // fresh frames: the next 20 the acquisition thread decodes, every one of
  // them, within a second (20 samples/s on average: a stall of the caller's
  // thread, or frames that come in a burst, are no failure).
  void zero(const std::vector<std::int32_t>& output_ids);
  void read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output,
                     std::int64_t timeout_ms);
  void write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                      std::int64_t timeout_ms);

  bool notices_waiting() const;
  // Moves the notices kept so far, oldest first, to the end of `out`.
  void take_notices(std::vector<std::string>& out);

  // In a child process after fork(): the parent's threads are not here, and
  // locks they held stay held. Closes the child's copy of the port (the
  // parent's lock on it stays) and lets go of everything else without
  // touching it. Nothing but the destructor may be called afterwards.
  void forget_after_fork() noexcept;

 private:
  std::unique_ptr<CommsState> state_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_SENSOR_COMMS_H
