// The comms object's private state and everything that runs on it: `init`,
// `connect`, the acquisition thread and the sample hand-off.
//
// Threads
// - The acquisition thread reads samples through the protocol, outside every
//   lock, and takes `lock_` only to hand a sample off (copy, calibrate, wake;
//   the wake only when somebody waits).
// - `init` and `zero` may run while it does: they build the new protocol and
//   models completely, then install them under `lock_`. The thread picks up a
//   new protocol at the top of its next turn and keeps the old one alive until
//   then, as does a register request that is waiting on it.
// - With the sample feed on (feltwise.Sensor), the hand-off also stamps the
//   frame (clock read right after decoding, outside the lock) and stores it
//   in the feed under `lock_`; waits on the feed share `data_ready_cv_`.
// - A caller's thread that installed a WaitInterrupt check has it run at
//   least every 50 ms while it waits in read, read_raw or zero, without `lock_`.
// - A port that does not open raises PortOpenError, "Cannot open serial
//   port: " + port, carrying the port layer's cause.
// - The port is destroyed only under `port_mutex_` held exclusively, which
//   register requests hold shared for as long as they use the port: a thread
//   that loses the port never frees it under a request's feet.
//
// What the hand-off promises
// - `init` replaces: it decodes into a holder of its own and installs
//   protocol, version, records, models and the calibrated sample together,
//   or, when anything is refused, changes nothing.
// - A sample is handed out at most once, and only by the connection that
//   read it: `connect` starts with none pending. A frame without values never
//   hides or replaces a pending sample.
// - When the port has handed over several frames at once (they came faster
//   than the thread wakes), only the newest is handed off: handed off one by
//   one, each would be replaced within microseconds, before a woken reader
//   runs. feltwise.Sensor's seq and dropped count the ones passed over. With
//   its queue on, every frame is handed off and queued.
// - Every stream starts with the protocol's startStream (protocols/protocol.h):
//   at the start of the thread, that is of each connection (a thread that
//   reopens the port must call it again before reading on), and with kJoined
//   when it picks up a protocol that `init` installed meanwhile. A connection
//   starts with kPortOpened, or kJoined when `connect` reopens the port it
//   has just closed while the device was sending (bytes within the last
//   100 ms): the device did not stop for us, so its stream runs on. The
//   rule is kWholeSamples with the sample feed on (feltwise.Sensor: sample 1
//   of a text stream starts after a line feed received on this connection),
//   kAsReceived otherwise (FeltwiseComms: a line written after connect is
//   read; see protocols/protocol_string.h).
// - When the thread loses the port it wakes every waiter: `read` and
//   `read_raw` then return what is still pending, else an empty result at
//   once, until the next `connect`.
// - With `reconnect_on_loss` on (feltwise.Sensor(reconnect=True)), the thread
//   does not give the port up: it closes it and reopens the same name every
//   kRetryPeriod (a symlink such as /dev/serial/by-id/... is followed anew
//   each time) until the device is back or `disconnect` stops it, then reads
//   on with the same protocol, models and offsets. Meanwhile `is_connected`
//   is false and waiters wait on to their deadlines; seq goes on counting
//   and the frames of each return carry one reconnect more.
#ifndef FELTWISE_COMMS_COMMS_STATE_H
#define FELTWISE_COMMS_COMMS_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "comms/notice_board.h"
#include "comms/sample_feed.h"
#include "models/sensor_model.h"
#include "parameters/parameter_holder.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

class CommsState : public PortHolder, public ParameterHolder {
 public:
  CommsState() = default;
  ~CommsState();
  CommsState(const CommsState&) = delete;
  CommsState& operator=(const CommsState&) = delete;

  void init(const std::string& file_name);
  void connect(const std::string& port);
  void disconnect();
  bool is_connected() const { return connected_.load(std::memory_order_acquire); }

  void read(std::vector<double>& output, std::int64_t timeout);
  void read_raw(std::vector<double>& output, std::int64_t timeout);
  // How zero(taxel_ids) times its 20 samples. kEachWithin50Ms: each within
  // 50 ms of the one before, as read_raw hands them out (FeltwiseComms, as it
  // has always done). kOnAverage: the next 20 frames the acquisition thread
  // decodes, every one (none passed over as the newest-sample hand-off does),
  // all within 20 x 50 ms: a sensor streaming 20 samples/s or more is zeroed
  // even when the caller's thread was not scheduled for a while (a loaded
  // machine) and the frames came in a burst.
  enum class ZeroPace { kEachWithin50Ms, kOnAverage };
  void zero(const std::vector<std::int32_t>& taxel_ids, ZeroPace pace = ZeroPace::kEachWithin50Ms);
  void zero(const std::vector<std::vector<double>>& data_buf, const std::vector<std::int32_t>& taxel_ids);

  void read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output, std::int64_t timeout);
  void write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                      std::int64_t timeout);

  // The one wait of `read` and `read_raw`: a sample no caller has taken yet,
  // or an empty `output` after `timeout` ms; below 1 copies `buffer` at once.
  void wait_for_sample(const std::vector<double>& buffer, std::vector<double>& output, std::int64_t timeout);

  // Stamped samples for feltwise.Sensor (sample_feed.h): off until called,
  // restarted by every connect; read and read_raw do not see them.
  void feed_samples(std::size_t queue_capacity);
  // Waits until a sample of `path` is there, the port was lost for good, or
  // `deadline`; true when a sample is there. Takes nothing.
  bool await_stamped(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline);
  // Takes the next sample of `path` without waiting; false when none is there,
  // DeviceLostError (kSensorLost) when none is there and the port was lost for good.
  bool take_stamped(SampleFeed::Path path, StampedSample& out);
  // Puts back `sample`, the last one taken from `path` (SampleFeed::give_back).
  void give_back_stamped(SampleFeed::Path path, const StampedSample& sample);
  // Both: waits as await_stamped, then takes.
  bool take_stamped(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline, StampedSample& out);
  // Waits until `min_rows` samples of `path` are there (at most what the
  // path can hold: 1 for kNewest, the queue's capacity), the port was lost
  // for good, disconnect ran, or `deadline`; returns how many are there. A
  // hand-off wakes such a waiter only once enough are, not for every frame.
  std::size_t await_rows(SampleFeed::Path path, std::chrono::steady_clock::time_point deadline, std::size_t min_rows);
  // Takes up to `max_rows` samples of `path` (0: all) without waiting
  // (SampleFeed::take_batch).
  std::size_t take_batch(SampleFeed::Path path, std::size_t max_rows, SampleBatch& out);
  void give_back_batch(SampleFeed::Path path, const SampleBatch& batch);

  // Off until called; applies from the next connect on. See above.
  void reconnect_on_loss(bool on) { reconnect_.store(on); }
  // Reopens since the last connect.
  std::uint64_t reconnects();
  // The acquisition thread gave the port up: nothing will arrive until the
  // next connect. Never true while it is reconnecting.
  bool port_lost();

  static constexpr std::chrono::milliseconds kRetryPeriod{250};
  static constexpr const char* kSensorLost = "Sensor lost: the port failed or the device was unplugged";

  // Off until called; applies from the next connect on: the acquisition
  // thread's notices (a unit not plugged in, a device's error line) are kept
  // on the notice board (notice_board.h) instead of printed.
  void collect_notices(bool on) { collect_notices_.store(on); }
  bool notices_waiting() const { return notices_.waiting(); }
  void take_notices(std::vector<std::string>& out) { notices_.take(out); }

  // In a child process after fork(): the acquisition thread and every other
  // thread of the parent are not here, and locks they held stay held. Closes
  // the child's copy of the port's descriptor (the parent's lock on the port
  // stays) and forgets the thread, taking no lock. Nothing else may be called
  // after it, the destructor included: leak the object.
  void forget_after_fork() noexcept;

 private:
  // A sample decoded on the acquisition thread and not handed off yet,
  // because a newer one had already arrived behind it.
  struct HeldSample {
    std::vector<double> values;
    bool holding = false;
    // Samples decoded before it that nobody could take.
    std::uint64_t passed_over = 0;
    std::int64_t t_host_ns = 0;
  };

  void acquire();
  // Makes the port of `name` as connect opens it.
  static std::unique_ptr<serial::Serial> open_port(const std::string& name);
  // The start of every stream the thread reads, the first and each one after
  // a reopen: drops what the device sent before we listened and tells the
  // protocol where its stream begins. False when the port failed at once.
  bool start_stream(Protocol& protocol, StreamStart start, SampleRule rule);
  // Closes the failed port and opens `port_name_` again, every kRetryPeriod,
  // until it opens (true) or disconnect stops the thread (false).
  bool reopen_port();
  // Copy, calibrate, wake: the newest sample becomes the pending one.
  void hand_off(HeldSample& held);
  void empty_frame();
  void apply_models();
  void drop_port() noexcept;
  // drop_port, then tells every waiter that no sample will come.
  void lose_port() noexcept;
  std::shared_ptr<Protocol> current_protocol();
  // Under lock_ (held by `guard`): until a sample of `path` is there, the
  // port is lost for good, or `deadline`.
  void wait_stamped(std::unique_lock<std::mutex>& guard, SampleFeed::Path path,
                    std::chrono::steady_clock::time_point deadline);
  // Under lock_: takes as take_stamped does, refusing a lost port.
  bool take_or_refuse(SampleFeed::Path path, StampedSample& out);
  // "Serial port is not open": DeviceLostError when the thread lost it.
  [[noreturn]] void refuse_closed_port();
  // How the acquisition thread's streams are read: kWholeSamples with the feed on.
  SampleRule sample_rule();

  std::unique_ptr<std::thread> reader_;
  std::mutex lock_;
  // Held by init and zero(data_buf, ...) so they never interleave with each other.
  std::mutex config_mutex_;
  std::shared_mutex port_mutex_;

  // Guarded by lock_; protocol_generation_ tells the thread when to look.
  std::shared_ptr<Protocol> protocol_;
  std::atomic<std::uint64_t> protocol_generation_{0};
  std::vector<std::shared_ptr<SensorModel>> models_;
  std::vector<double> raw_sample_;
  std::vector<double> calibrated_sample_;
  const std::int32_t zero_sample_count_ = 20;
  std::condition_variable data_ready_cv_;
  bool data_ready_ = false;
  // The acquisition thread lost the port; cleared by the next connect.
  bool port_lost_ = false;
  // disconnect ran (or no connect yet): stamped waits end at once.
  bool stopped_ = true;
  // Threads blocked on data_ready_cv_: a hand-off wakes nobody when it is 0.
  std::size_t waiting_ = 0;
  // Threads in take_batch's wait, and the fewest queued rows one of them
  // waits for: a hand-off wakes them once that many are there.
  std::size_t batch_waiting_ = 0;
  std::size_t batch_wake_rows_ = SIZE_MAX;
  SampleFeed feed_;
  // feltwise.Sensor queues every frame: each is handed off, none passed over.
  std::atomic<bool> every_frame_{false};
  // A zero (ZeroPace::kOnAverage) gathering the frames handed off, every one
  // of them (none passed over meanwhile): its slots and how many are filled.
  std::atomic<bool> zero_gathering_{false};
  std::vector<std::vector<double>>* zero_slots_ = nullptr;
  std::size_t zero_filled_ = 0;

  // Fills `slots` with the next frames handed off, until all are filled, the
  // deadline passes or the port is lost; returns how many were filled.
  std::size_t gather_frames(std::vector<std::vector<double>>& slots, std::chrono::steady_clock::time_point deadline);

  std::atomic<bool> running_{false};
  std::atomic<bool> connected_{false};

  // The port of the current or last connection (which a reconnect opens
  // again), when its device last sent (read as it closed), and how the next
  // acquisition thread starts its stream. Written by connect and disconnect,
  // before the thread starts or after it was joined.
  std::string port_name_;
  std::chrono::steady_clock::time_point closed_port_received_at_{};
  StreamStart stream_start_ = StreamStart::kPortOpened;
  std::atomic<bool> reconnect_{false};
  std::atomic<bool> collect_notices_{false};
  NoticeBoard notices_;
  // Under lock_: wakes a thread waiting to retry the port when disconnect stops it.
  std::condition_variable retry_cv_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMMS_COMMS_STATE_H
