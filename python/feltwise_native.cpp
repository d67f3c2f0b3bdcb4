// feltwise._native: the C++ core behind feltwise.Sensor.
//
// Unlike feltwise_comm_py, every call that waits releases the interpreter
// lock, so other Python threads, other sensors and event loops run meanwhile.
// Waits are cut into slices of at most 50 ms; between two slices the call
// takes the lock back for a moment to let a pending signal (Ctrl-C) raise,
// and to notice a sensor that was closed or lost. A thread waiting here when
// the process exits never takes the lock back (interpreter_lock.h): the
// process ends with its own status.
//
// A port that does not open raises feltwise.errors.PortError with its cause;
// a register request that times out RegisterTimeoutError, one the device
// refuses RegisterError with its status; a closed sensor SensorClosedError,
// a lost one DeviceLostError; a parameter file the loader refuses
// ParameterFileError, with the record and field to blame; every other
// failure is a RuntimeError with the core's message (never the port layer's
// source file), which feltwise.sensor turns into a feltwise.SensorError.
// What the library would print (a unit not plugged in, a device's error
// line) goes to Python's logging, logger "feltwise", on the caller's thread.
//
// For the tools, three functions read the library's own tables and loader:
// protocols() and sensor_types() list the rows of the protocol and
// sensor-type tables, and read_parameters(path)
// loads a parameter file as init would (decoded, then its protocol and
// models built and thrown away) and returns (protocol version,
// records as dicts shaped like the file's record maps). A file the loader
// refuses raises feltwise.errors.ParameterFileError; its `reason` attribute
// is the loader's message, word for word.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

#include "feltwise_comm/device_lost_error.h"
#include "feltwise_comm/parameter_file_error.h"
#include "feltwise_comm/port_open_error.h"
#include "feltwise_comm/register_errors.h"
#include "feltwise_comm/sensor_comms.h"
#include "feltwise_comm/sensor_errors.h"
#include "feltwise_comm/serial_errors.h"
#include "feltwise_comm/stamped_sample.h"
#include "feltwise_comm/tables.h"
#include "feltwise_comm/wait_interrupt.h"
#include "feltwise_comm/zero_failure.h"
#include "interpreter_lock.h"
#include "standard_translation.h"

namespace py = pybind11;
using feltwise_comm::DeviceLostError;
using feltwise_comm::PortOpenError;
using feltwise_comm::SampleBatch;
using feltwise_comm::SamplePath;
using feltwise_comm::SensorComms;
using feltwise_comm::StampedSample;
using feltwise_comm::WaitInterrupt;
using feltwise_comm::ZeroFailure;
using feltwise_python::withoutInterpreter;
using Clock = std::chrono::steady_clock;

namespace {

using SensorClosed = feltwise_comm::SensorClosedError;

constexpr const char* kClosed = "Sensor is closed";
constexpr const char* kForked =
    "Sensor is closed in this process: it belongs to the process that opened it, which forked this one";
// Batches of this many bytes or more are copied into their arrays without the
// interpreter lock.
constexpr std::size_t kCopyWithoutLock = 64 * 1024;

// The closed flag of the sensor whose call this thread is waiting in.
const std::atomic<bool>*& closingFlag() {
  static thread_local const std::atomic<bool>* flag = nullptr;
  return flag;
}

// What the library's waits (zero, register requests) run at least every
// 50 ms while this thread waits in them without the interpreter lock: a
// sensor closed meanwhile ends the wait; so does a signal (Ctrl-C), with
// its exception, looked for with the lock taken back for a moment.
void checkWhileWaiting() {
  const std::atomic<bool>* const closing = closingFlag();
  if (closing != nullptr && closing->load()) throw SensorClosed(kClosed);
  feltwise_python::withInterpreter([] {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  });
}

// Installs checkWhileWaiting, for the sensor whose flag is `closing`, on
// this thread while it lives.
class WatchedWait {
 public:
  explicit WatchedWait(const std::atomic<bool>& closing)
      : outer_(std::exchange(closingFlag(), &closing)), interrupt_(checkWhileWaiting) {}
  ~WatchedWait() { closingFlag() = outer_; }
  WatchedWait(const WatchedWait&) = delete;
  WatchedWait& operator=(const WatchedWait&) = delete;

 private:
  const std::atomic<bool>* outer_;
  WaitInterrupt interrupt_;
};

long currentProcess() {
#ifdef _WIN32
  return 0;  // no fork()
#else
  return static_cast<long>(::getpid());
#endif
}

Clock::time_point deadlineAfter(double seconds) {
  if (std::isnan(seconds)) throw py::value_error("timeout must be a number of seconds");
  // A year is "for ever" for a sensor, and keeps the clock arithmetic in range.
  const double capped = std::min(std::max(seconds, 0.0), 365.0 * 24 * 3600);
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(capped));
}

py::array_t<double> toArray(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(double));
  return array;
}

std::string zeroFailureText(const ZeroFailure& failure, bool reconnecting) {
  std::string text = failure.what();
  if (!failure.portOpen()) {
    return text + (reconnecting ? ": the device is unplugged; the sensor reconnects when it is back"
                                : ": the port failed or the device was unplugged");
  }
  if (!failure.anyArrived()) return text + ": no sample arrived (is the sensor streaming, in this protocol?)";
  return text + ": " + std::to_string(failure.gathered()) + " of " + std::to_string(failure.needed()) +
         " samples arrived in time; the sensor streams below 20 samples/s (zero needs 20 within a second)";
}

// Every call that waits releases the interpreter lock (withoutInterpreter,
// which is safe at exit too); calls that wait inside the library also end
// when the sensor is closed (WatchedWait). In a process forked from the one
// that opened it, the sensor is closed: it lets go of the child's copy of the
// port and touches nothing else of the parent's (see forget()).
class NativeSensor {
 public:
  NativeSensor() : state_(std::make_unique<SensorComms>()), owner_(currentProcess()) {}

  ~NativeSensor() {
    if (forked()) {
      forget();
      return;
    }
    // The acquisition thread never needs the interpreter lock: joining it
    // while the lock is held (at exit, or when nothing released it) cannot
    // deadlock.
    try {
      stop();
    } catch (...) {
    }
  }

  NativeSensor(const NativeSensor&) = delete;
  NativeSensor& operator=(const NativeSensor&) = delete;

  void init(const std::string& init_text) {
    SensorComms& state = open();
    withoutInterpreter([&] { state.init(init_text); });
  }

  void connect(const std::string& port, std::size_t queue_capacity, bool reconnect) {
    SensorComms& state = open();
    port_ = port;
    reconnect_ = reconnect;
    queue_capacity_ = queue_capacity;
    feltwise_comm::ConnectOptions options;
    options.queue_capacity = queue_capacity;
    options.reconnect = reconnect;
    options.collect_notices = true;
    withoutInterpreter([&] { state.connect(port, options); });
  }

  // The next sample of `path`, or None after `timeout`. `ticket` names this
  // call for giveBack.
  py::object take(SamplePath path, double timeout, std::uint64_t ticket) {
    const Clock::time_point deadline = deadlineAfter(timeout);
    InHand& hand = inHand();
    hand.holding = false;
    for (;;) {
      SensorComms& state = open();
      logNotices();
      // Before taking: a pending Ctrl-C ends the call with nothing taken.
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (state.take(path, hand.sample)) {
        const StampedSample& sample = hand.sample;
        py::object taken = py::make_tuple(toArray(sample.raw), toArray(sample.calibrated), sample.seq, sample.t_host_ns,
                                          sample.dropped, sample.reconnects);
        hand.sensor = this;
        hand.path = path;
        hand.ticket = ticket;
        hand.holding = true;
        return taken;
      }
      // A lost port raised DeviceLostError in take.
      if (Clock::now() >= deadline) return py::none();
      withoutInterpreter([&] { state.await(path, std::min(deadline, Clock::now() + WaitInterrupt::kPollPeriod)); });
    }
  }

  // Every queued sample (the newest one without a queue), up to `max_rows`
  // (0: all), once `min_rows` are there or at `timeout`, as (raw, calibrated,
  // seq, t_host_ns, dropped, reconnects): 2-D arrays rows x values and 1-D
  // arrays. The rows are copied out of the queue in one pass, without the
  // interpreter lock, then into arrays allocated once per call (without the
  // lock too when the batch is big: kCopyWithoutLock).
  py::tuple takeBatch(std::size_t max_rows, double timeout, std::size_t min_rows, std::uint64_t ticket) {
    const Clock::time_point deadline = deadlineAfter(timeout);
    const SamplePath path = queue_capacity_ != 0 ? SamplePath::kQueue : SamplePath::kNewest;
    std::size_t needed = std::min(std::max<std::size_t>(min_rows, 1), std::max<std::size_t>(queue_capacity_, 1));
    if (max_rows != 0) needed = std::min(needed, max_rows);
    BatchInHand& hand = batchInHand();
    hand.holding = false;
    SampleBatch& batch = hand.batch;
    for (bool taken = false; !taken;) {
      SensorComms& state = open();
      logNotices();
      // Before taking: a pending Ctrl-C ends the call with nothing taken.
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      // One release of the lock for the wait and the take.
      withoutInterpreter([&] {
        const std::size_t there =
            state.await(path, std::min(deadline, Clock::now() + WaitInterrupt::kPollPeriod), needed);
        if (there >= needed || state.port_lost() || Clock::now() >= deadline) {
          state.take_batch(path, max_rows, batch);
          taken = true;
        }
      });
    }
    if (batch.rows != 0) {
      hand.sensor = this;
      hand.path = path;
      hand.ticket = ticket;
      hand.holding = true;
    }
    SensorComms& state = open();
    if (batch.rows == 0 && state.port_lost()) throw DeviceLostError();
    const auto rows = static_cast<py::ssize_t>(batch.rows);
    py::array_t<double> raw({rows, static_cast<py::ssize_t>(batch.raw_columns)});
    py::array_t<double> calibrated({rows, static_cast<py::ssize_t>(batch.calibrated_columns)});
    py::array_t<std::uint64_t> seq(rows);
    py::array_t<std::int64_t> t_host_ns(rows);
    py::array_t<std::uint32_t> reconnects(rows);
    double* const raw_out = raw.mutable_data();
    double* const calibrated_out = calibrated.mutable_data();
    std::uint64_t* const seq_out = seq.mutable_data();
    std::int64_t* const t_out = t_host_ns.mutable_data();
    std::uint32_t* const reconnects_out = reconnects.mutable_data();
    const auto copy = [&] {
      std::copy(batch.raw.begin(), batch.raw.end(), raw_out);
      std::copy(batch.calibrated.begin(), batch.calibrated.end(), calibrated_out);
      std::copy(batch.seq.begin(), batch.seq.end(), seq_out);
      std::copy(batch.t_host_ns.begin(), batch.t_host_ns.end(), t_out);
      for (std::size_t row = 0; row < batch.rows; ++row) {
        reconnects_out[row] = static_cast<std::uint32_t>(std::min<std::uint64_t>(batch.reconnects[row], UINT32_MAX));
      }
    };
    // A small batch is copied sooner than the lock changes hands twice.
    if ((batch.raw.size() + batch.calibrated.size()) * sizeof(double) >= kCopyWithoutLock) {
      withoutInterpreter(copy);
    } else {
      copy();
    }
    return py::make_tuple(raw, calibrated, seq, t_host_ns, batch.dropped, reconnects);
  }

  void zero(const std::vector<std::int32_t>& ids) {
    SensorComms& state = open();
    try {
      withoutInterpreter([&] {
        const WatchedWait watch(closed_);
        state.zero(ids);
      });
    } catch (const ZeroFailure& failure) {
      logNotices();
      if (closed_.load()) throw SensorClosed(kClosed);
      if (!failure.portOpen() && !reconnect_) throw DeviceLostError(zeroFailureText(failure, false));
      throw std::runtime_error(zeroFailureText(failure, reconnect_));
    }
    logNotices();
  }

  py::bytes readRegister(std::uint16_t address, std::uint16_t id, std::int64_t timeout_ms) {
    SensorComms& state = open();
    std::vector<std::uint8_t> data;
    withoutInterpreter([&] {
      const WatchedWait watch(closed_);
      state.read_register(address, id, data, timeout_ms);
    });
    logNotices();
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
  }

  void writeRegister(std::uint16_t address, std::uint16_t id, const py::bytes& data, std::int64_t timeout_ms) {
    SensorComms& state = open();
    const std::string text = data;
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    withoutInterpreter([&] {
      const WatchedWait watch(closed_);
      state.write_register(address, id, bytes, timeout_ms);
    });
    logNotices();
  }

  bool isConnected() { return !forked() && !closed_.load() && state_->is_connected(); }
  bool closed() { return forked() || closed_.load(); }
  std::uint64_t reconnects() { return forked() ? 0 : state_->reconnects(); }

  // Python raises KeyboardInterrupt where it next looks for a signal, which
  // may be on the way back from a take, after the sample left the queue and
  // before the caller has it. The caller then gives it back: the take of
  // `ticket`, if it was this thread's last and handed out a sample, is undone.
  void giveBack(std::uint64_t ticket) {
    if (forked() || closed_.load()) return;
    InHand& hand = inHand();
    if (hand.holding && hand.sensor == this && hand.ticket == ticket) {
      hand.holding = false;
      state_->give_back(hand.path, hand.sample);
    }
    BatchInHand& batch = batchInHand();
    if (batch.holding && batch.sensor == this && batch.ticket == ticket) {
      batch.holding = false;
      state_->give_back(batch.path, batch.batch);
    }
  }

  // Stops acquisition and closes the port. Calls waiting in other threads
  // end within one slice (50 ms), a register request or zero among them;
  // the state they wait on lives until the Python object goes, which cannot
  // happen while they are inside it. Notices not yet told are logged.
  void close() {
    if (forked()) {
      forget();
      return;
    }
    stop();
    logNotices();
  }

  // For os.register_at_fork's child hook: in a forked child, lets go now of
  // the child's copy of the port (and its lock); in the process that opened
  // the sensor, does nothing.
  void forgetAfterFork() {
    if (forked()) forget();
  }

 private:
  // The sample this thread's last take handed out. The copy out of the feed
  // reuses its storage: a take allocates nothing but the arrays it returns.
  struct InHand {
    StampedSample sample;
    const NativeSensor* sensor = nullptr;
    SamplePath path = SamplePath::kNewest;
    std::uint64_t ticket = 0;
    bool holding = false;
  };

  static InHand& inHand() {
    static thread_local InHand hand;
    return hand;
  }

  // The same for this thread's last batch; its storage, reused, grows only
  // for a bigger batch than ever.
  struct BatchInHand {
    SampleBatch batch;
    const NativeSensor* sensor = nullptr;
    SamplePath path = SamplePath::kQueue;
    std::uint64_t ticket = 0;
    bool holding = false;
  };

  static BatchInHand& batchInHand() {
    static thread_local BatchInHand hand;
    return hand;
  }

  bool forked() const { return owner_ != currentProcess(); }

  // The state, for a call on a sensor that is open in this process.
  SensorComms& open() {
    if (forked()) {
      forget();
      throw SensorClosed(kForked);
    }
    if (closed_.load()) throw SensorClosed(kClosed);
    return *state_;
  }

  void stop() {
    withoutInterpreter([&] {
      // A second closer waits here for the first, without the interpreter
      // lock, which the first may need to come back with.
      std::lock_guard<std::mutex> once(close_mutex_);
      if (closed_.exchange(true)) return;
      state_->disconnect();
    });
  }

  // In a forked child only, where just this thread exists: the parent's
  // acquisition thread is not here, and locks it or another thread held at
  // the fork stay held for good. The state is left as it is, never used or
  // destroyed again (destroying a held mutex is undefined); only the child's
  // copy of the port's descriptor is closed, which leaves the parent's port,
  // its lock and its exclusive mode as they were.
  void forget() {
    if (state_) state_->forget_after_fork();
    closed_.store(true);
  }

  // The acquisition thread's notices, told to Python's logging on this
  // (the caller's) thread, which holds the interpreter lock.
  void logNotices() {
    if (!state_ || !state_->notices_waiting()) return;
    std::vector<std::string> notices;
    state_->take_notices(notices);
    const py::object logger = py::module_::import("logging").attr("getLogger")("feltwise");
    for (const std::string& text : notices) logger.attr("warning")("%s: %s", port_, text);
  }

  std::unique_ptr<SensorComms> state_;
  const long owner_;
  std::string port_;
  bool reconnect_ = false;
  std::size_t queue_capacity_ = 0;
  std::mutex close_mutex_;
  std::atomic<bool> closed_{false};
};

// feltwise.errors.ParameterFileError: `reason` the loader's text, `path`,
// and `record` and `field` where the loader knows them.
void setParameterFileError(const feltwise_comm::ParameterFileFailure& failure) {
  const py::object error_class = py::module_::import("feltwise.errors").attr("ParameterFileError");
  const py::object record = failure.record() ? py::object(py::int_(*failure.record())) : py::object(py::none());
  const py::object instance = error_class(
      failure.text(), failure.path(), py::arg("record") = record,
      py::arg("field") = failure.field().empty() ? py::object(py::none()) : py::object(py::str(failure.field())));
  PyErr_SetObject(error_class.ptr(), instance.ptr());
}

void translateSensorErrors(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const PortOpenError& failure) {
    const py::object port_error = py::module_::import("feltwise.errors").attr("PortError");
    const py::object instance = port_error(
        failure.what(), py::arg("port") = failure.port(), py::arg("cause") = feltwise_comm::causeName(failure.cause()),
        py::arg("errno") = failure.errorNumber() ? py::object(py::int_(failure.errorNumber())) : py::none(),
        py::arg("strerror") =
            failure.systemText().empty() ? py::object(py::none()) : py::object(py::str(failure.systemText())),
        py::arg("detail") = failure.detail());
    PyErr_SetObject(port_error.ptr(), instance.ptr());
  } catch (const feltwise_comm::RegisterStatusError& failure) {
    const py::object refused = py::module_::import("feltwise.errors").attr("RegisterError");
    PyErr_SetObject(refused.ptr(), refused(failure.what(), failure.status()).ptr());
  } catch (const feltwise_comm::RegisterTimeoutError& failure) {
    const py::object timed_out = py::module_::import("feltwise.errors").attr("RegisterTimeoutError");
    PyErr_SetString(timed_out.ptr(), failure.what());
  } catch (const SensorClosed& failure) {
    const py::object closed_error = py::module_::import("feltwise.errors").attr("SensorClosedError");
    PyErr_SetString(closed_error.ptr(), failure.what());
  } catch (const DeviceLostError& failure) {
    const py::object lost_error = py::module_::import("feltwise.errors").attr("DeviceLostError");
    PyErr_SetString(lost_error.ptr(), failure.what());
  } catch (const feltwise_comm::ParameterFileFailure& failure) {
    setParameterFileError(failure);
  } catch (const serial::IOException& failure) {
    // The port layer's what() names its source file and line: the
    // description is what a user needs.
    PyErr_SetString(PyExc_RuntimeError, failure.description().c_str());
  }
}

py::list protocolRows() {
  py::list rows;
  for (const feltwise_comm::ProtocolInfo& row : feltwise_comm::protocols()) {
    rows.append(py::make_tuple(row.version, row.class_name, row.text, row.registers));
  }
  return rows;
}

const char* kindName(feltwise_comm::FieldKind kind) {
  switch (kind) {
    case feltwise_comm::FieldKind::kInteger:
      return "integer";
    case feltwise_comm::FieldKind::kNumber:
      return "number";
    case feltwise_comm::FieldKind::kNumbers:
      return "numbers";
    case feltwise_comm::FieldKind::kIntegerMap:
      return "integer map";
  }
  return "?";
}

py::list sensorTypeRows() {
  py::list rows;
  for (const feltwise_comm::SensorTypeInfo& row : feltwise_comm::sensorTypes()) {
    py::list fields;
    for (const feltwise_comm::FieldDescription& field : row.fields) {
      fields.append(py::make_tuple(field.name, kindName(field.kind), field.required, field.non_empty));
    }
    rows.append(py::make_tuple(row.sensor_type, row.model_name, row.description, fields));
  }
  return rows;
}

py::dict fieldsToDict(const feltwise_comm::RecordFields& fields) {
  py::dict dict;
  for (const auto& field : fields) dict[py::str(field.first)] = py::cast(field.second);
  return dict;
}

// A record of no sensor-type row would show its base fields only.
py::dict recordToDict(const feltwise_comm::LoadedRecord& record) {
  py::dict dict;
  dict["SensorParameters"] = fieldsToDict(record.base_fields);
  for (const auto& entry : fieldsToDict(record.own_fields)) dict[entry.first] = entry.second;
  return dict;
}

py::tuple readParameters(const std::string& path) {
  feltwise_comm::LoadedParameters loaded;
  // Every refusal of the loader is a ParameterFileFailure (the translator's).
  withoutInterpreter([&] { loaded = feltwise_comm::loadParameters(path); });
  py::list records;
  for (const feltwise_comm::LoadedRecord& record : loaded.records) records.append(recordToDict(record));
  return py::make_tuple(loaded.protocol_version, records);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The C++ core behind feltwise.Sensor; use feltwise.Sensor instead.";
  // pybind11 looks numpy's C API and the float64 dtype up once, on first use, inside a once-only
  // initialiser that an exception cannot leave without aborting the process. On the first sample that
  // lookup could meet a pending Ctrl-C or SIGTERM; here, at import, it fails as an import does.
  (void)py::array_t<double>(0);
  feltwise_python::registerStandardTranslation();
  py::register_local_exception_translator(translateSensorErrors);

  m.def("process_exiting", &feltwise_python::enterExit,
        "For feltwise's exit hook: from now on a thread other than this one that waits in a call here never takes "
        "the interpreter lock back (it stays until the process ends), so that the interpreter's finalising cannot "
        "end it in the middle of the library");
#ifndef _WIN32
  // Requests for the lock that threads of the parent had begun are not the child's.
  ::pthread_atfork(nullptr, nullptr, [] { feltwise_python::forgetExitRequestsAfterFork(); });
#endif

  m.def("protocols", &protocolRows,
        "The protocol table: one (version, class name, is_text, has_registers) per protocol, in version order");
  m.def("sensor_types", &sensorTypeRows,
        "The sensor-type table: one (sensor_type, model class name, description, fields) per type, in type order; "
        "fields lists the record's own fields (those beside its \"SensorParameters\" map) in file order, each as "
        "(name, kind, required, non_empty), kind one of \"integer\", \"number\", \"numbers\", \"integer map\"");
  m.def("read_parameters", &readParameters,
        "Loads a parameter file with the library's loader: (protocol version, records as dicts); "
        "raises feltwise.errors.ParameterFileError with the loader's message as `reason`",
        py::arg("path"));

  py::class_<NativeSensor>(m, "NativeSensor", "One sensor's comms object, its stamped samples and their queue")
      .def(py::init<>())
      .def("init", &NativeSensor::init, "Chooses the protocol and the models", py::arg("init_text"))
      .def("connect", &NativeSensor::connect,
           "Opens the port and starts acquisition; with reconnect, a lost port is reopened until close()",
           py::arg("port"), py::arg("queue_capacity"), py::arg("reconnect"))
      .def(
          "read",
          [](NativeSensor& self, double timeout, std::uint64_t ticket) {
            return self.take(SamplePath::kNewest, timeout, ticket);
          },
          "The newest sample not taken yet, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None",
          py::arg("timeout"), py::arg("ticket") = 0)
      .def(
          "next",
          [](NativeSensor& self, double timeout, std::uint64_t ticket) {
            return self.take(SamplePath::kQueue, timeout, ticket);
          },
          "The oldest queued sample, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None",
          py::arg("timeout"), py::arg("ticket") = 0)
      .def("read_batch", &NativeSensor::takeBatch,
           "Every queued sample (without a queue the newest), up to max_rows (0: all), once min_rows are there or "
           "after timeout, as (raw, calibrated, seq, t_host_ns, dropped, reconnects) arrays, rows x values",
           py::arg("max_rows"), py::arg("timeout"), py::arg("min_rows") = 1, py::arg("ticket") = 0)
      .def("give_back", &NativeSensor::giveBack,
           "Undoes the take of `ticket` if it was this thread's last and its sample never reached the caller",
           py::arg("ticket"))
      .def("zero", &NativeSensor::zero, "Zeroes the models of these outputs (all when empty)", py::arg("ids"))
      .def("read_register", &NativeSensor::readRegister, "Reads a device register", py::arg("address"), py::arg("id"),
           py::arg("timeout_ms"))
      .def("write_register", &NativeSensor::writeRegister, "Writes a device register", py::arg("address"),
           py::arg("id"), py::arg("data"), py::arg("timeout_ms"))
      .def("is_connected", &NativeSensor::isConnected, "Whether the port is open and acquisition runs")
      .def_property_readonly("closed", &NativeSensor::closed, "Whether close() ran")
      .def_property_readonly("reconnects", &NativeSensor::reconnects, "Reopens of a lost port since connect")
      .def("close", &NativeSensor::close, "Stops acquisition and closes the port")
      .def("forget_after_fork", &NativeSensor::forgetAfterFork,
           "In a forked child: closed, letting go of the child's copy of the port; elsewhere nothing");
}
