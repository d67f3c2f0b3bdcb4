// feltwise._native: the C++ core behind feltwise.Sensor.
//
// Unlike feltwise_comm_py, every call that waits releases the interpreter
// lock, so other Python threads, other sensors and event loops run meanwhile.
// Waits are cut into slices of at most 50 ms; between two slices the call
// takes the lock back for a moment to let a pending signal (Ctrl-C) raise,
// and to notice a sensor that was closed or lost.
//
// A port that does not open raises feltwise.errors.PortError with its cause;
// every other failure is a RuntimeError with the core's message, which
// feltwise.sensor turns into the matching feltwise.SensorError subclass.
//
// For the tools, two functions read the library's own tables and loader:
// protocols() lists the protocol table's rows, and read_parameters(path)
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
#include <vector>

#include "comms/comms_state.h"
#include "comms/component_factory.h"
#include "comms/sample_feed.h"
#include "feltwise_comm/port_open_error.h"
#include "models/sensor_type_table.h"
#include "parameters/parameter_file.h"
#include "parameters/parameter_holder.h"
#include "parameters/record_fields.h"
#include "protocols/protocol_table.h"
#include "protocols/wait_interrupt.h"

namespace py = pybind11;
using feltwise_comm::CommsState;
using feltwise_comm::PortOpenError;
using feltwise_comm::SampleFeed;
using feltwise_comm::StampedSample;
using feltwise_comm::WaitInterrupt;
using Clock = std::chrono::steady_clock;

namespace {

// Runs on a thread that released the interpreter lock: takes it for the check.
void raisePendingSignalWithoutLock() {
  py::gil_scoped_acquire with_lock;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
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

class NativeSensor {
 public:
  NativeSensor() : state_(std::make_unique<CommsState>()) {}

  ~NativeSensor() {
    // The acquisition thread never needs the interpreter lock: joining it
    // with the lock held cannot deadlock.
    close();
  }

  void init(const std::string& init_text) {
    py::gil_scoped_release without_lock;
    state_->init(init_text);
  }

  void connect(const std::string& port, std::size_t queue_capacity, bool reconnect) {
    py::gil_scoped_release without_lock;
    state_->feed_samples(queue_capacity);
    state_->reconnect_on_loss(reconnect);
    state_->connect(port);
  }

  py::object take(SampleFeed::Path path, double timeout) {
    const Clock::time_point deadline = deadlineAfter(timeout);
    // Kept by the thread: the copy out of the feed reuses its storage, and a
    // read allocates nothing but the two arrays it returns.
    thread_local StampedSample sample;
    for (;;) {
      if (closed_.load()) throw std::runtime_error("Sensor is closed");
      // Before taking: a sample taken and then dropped by the KeyboardInterrupt
      // that Python raises on the way back would be lost without a count.
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (state_->take_stamped(path, sample)) {
        return py::make_tuple(toArray(sample.raw), toArray(sample.calibrated), sample.seq, sample.t_host_ns,
                              sample.dropped, sample.reconnects);
      }
      if (state_->port_lost()) throw std::runtime_error("Sensor lost: the port failed or the device was unplugged");
      if (Clock::now() >= deadline) return py::none();
      py::gil_scoped_release without_lock;
      state_->await_stamped(path, std::min(deadline, Clock::now() + WaitInterrupt::kPollPeriod));
    }
  }

  std::uint64_t reconnects() { return state_->reconnects(); }

  void zero(const std::vector<std::int32_t>& ids) {
    py::gil_scoped_release without_lock;
    const WaitInterrupt on_signal(raisePendingSignalWithoutLock);
    state_->zero(ids);
  }

  py::bytes readRegister(std::uint16_t address, std::uint16_t id, std::int64_t timeout_ms) {
    std::vector<std::uint8_t> data;
    {
      py::gil_scoped_release without_lock;
      const WaitInterrupt on_signal(raisePendingSignalWithoutLock);
      state_->read_register(address, id, data, timeout_ms);
    }
    return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
  }

  void writeRegister(std::uint16_t address, std::uint16_t id, const py::bytes& data, std::int64_t timeout_ms) {
    const std::string text = data;
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    py::gil_scoped_release without_lock;
    const WaitInterrupt on_signal(raisePendingSignalWithoutLock);
    state_->write_register(address, id, bytes, timeout_ms);
  }

  bool isConnected() const { return !closed_.load() && state_->is_connected(); }
  bool closed() const { return closed_.load(); }

  // Stops the acquisition thread and closes the port. Calls waiting in other
  // threads notice within one slice; the state they wait on lives until the
  // Python object goes, which cannot happen while they are inside it.
  void close() {
    // The interpreter lock goes first: a second closer holding it while it
    // waits for close_mutex_ would keep the first from ever taking it back.
    py::gil_scoped_release without_lock;
    std::lock_guard<std::mutex> once(close_mutex_);
    if (closed_.exchange(true)) return;
    state_->disconnect();
  }

 private:
  std::unique_ptr<CommsState> state_;
  std::mutex close_mutex_;
  std::atomic<bool> closed_{false};
};

void translatePortOpenError(std::exception_ptr error) {
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
  }
}

py::list protocolRows() {
  py::list rows;
  for (const feltwise_comm::ProtocolEntry& row : feltwise_comm::protocolTable()) {
    rows.append(py::make_tuple(row.version, row.class_name, row.wire == feltwise_comm::Wire::text,
                               row.registers == feltwise_comm::Registers::yes));
  }
  return rows;
}

py::dict fieldsToDict(const feltwise_comm::RecordFields& fields) {
  py::dict dict;
  for (const auto& field : fields) dict[py::str(field.first)] = py::cast(field.second);
  return dict;
}

// Every loaded record has a row (the loader made it from one); a record of
// no row would show its base fields only.
py::dict recordToDict(const feltwise_comm::SensorParameters& record, const feltwise_comm::SensorTypeEntry* type) {
  py::dict dict;
  dict["SensorParameters"] = fieldsToDict(feltwise_comm::baseFields(record));
  if (type == nullptr) return dict;
  for (const auto& entry : fieldsToDict(type->own_fields(record))) dict[entry.first] = entry.second;
  return dict;
}

py::tuple readParameters(const std::string& path) {
  feltwise_comm::ParameterHolder loaded;
  std::vector<const feltwise_comm::SensorTypeEntry*> types;
  bool failed = false;
  std::string failure;
  {
    py::gil_scoped_release without_lock;
    try {
      decode_parameters(loaded, feltwise_comm::read_parameter_file(path));
      // init's own build step: a version without a protocol, a record its
      // model refuses or an output beyond the largest is refused here as there.
      feltwise_comm::buildComponents(loaded);
      for (const auto& record : loaded.records_) {
        // The record's class is its detected type's; its sensor_type field
        // may name another (see SensorParameters), so find the row by class.
        const feltwise_comm::SensorTypeEntry* found = nullptr;
        for (const auto& row : feltwise_comm::sensorTypeTable()) {
          if (row.holds_record(*record)) found = &row;
        }
        types.push_back(found);
      }
    } catch (const std::exception& error) {
      failed = true;
      failure = error.what();
    }
  }
  if (failed) {
    const py::object error_class = py::module_::import("feltwise.errors").attr("ParameterFileError");
    const py::object instance = error_class(failure, path);
    instance.attr("reason") = failure;
    PyErr_SetObject(error_class.ptr(), instance.ptr());
    throw py::error_already_set();
  }
  py::list records;
  for (std::size_t i = 0; i < types.size(); ++i) records.append(recordToDict(*loaded.records_[i], types[i]));
  return py::make_tuple(loaded.protocol_version_, records);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The C++ core behind feltwise.Sensor; use feltwise.Sensor instead.";
  py::register_local_exception_translator(translatePortOpenError);

  m.def("protocols", &protocolRows,
        "The protocol table: one (version, class name, is_text, has_registers) per protocol, in version order");
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
          "read", [](NativeSensor& self, double timeout) { return self.take(SampleFeed::Path::kNewest, timeout); },
          "The newest sample not taken yet, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None",
          py::arg("timeout"))
      .def(
          "next", [](NativeSensor& self, double timeout) { return self.take(SampleFeed::Path::kQueue, timeout); },
          "The oldest queued sample, as (raw, calibrated, seq, t_host_ns, dropped, reconnects), or None",
          py::arg("timeout"))
      .def("zero", &NativeSensor::zero, "Zeroes the models of these outputs (all when empty)", py::arg("ids"))
      .def("read_register", &NativeSensor::readRegister, "Reads a device register", py::arg("address"), py::arg("id"),
           py::arg("timeout_ms"))
      .def("write_register", &NativeSensor::writeRegister, "Writes a device register", py::arg("address"),
           py::arg("id"), py::arg("data"), py::arg("timeout_ms"))
      .def("is_connected", &NativeSensor::isConnected, "Whether the port is open and acquisition runs")
      .def_property_readonly("closed", &NativeSensor::closed, "Whether close() ran")
      .def_property_readonly("reconnects", &NativeSensor::reconnects, "Reopens of a lost port since connect")
      .def("close", &NativeSensor::close, "Stops acquisition and closes the port");
}
