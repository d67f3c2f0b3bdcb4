// The Python face of FeltwiseComms. Every call keeps the interpreter lock for
// its whole duration (waits included): Python threads never run two comms
// operations at once, and the acquisition thread never touches Python.
//
// Keeping the lock also keeps Python's signal handlers from running, so a
// wait looks up every 50 ms for a signal that arrived (Ctrl-C) and ends with
// its exception (KeyboardInterrupt) at once rather than after the time-out.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <string>
#include <vector>

#include "feltwise_comm/feltwise_comms.h"
#include "feltwise_comm/version.h"
#include "feltwise_comm/wait_interrupt.h"
#include "standard_translation.h"

namespace py = pybind11;
using feltwise_comm::FeltwiseComms;
using feltwise_comm::WaitInterrupt;

namespace {

void raisePendingSignal() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// read and read_raw: the wait itself is the comms object's, which runs this
// thread's check every 50 ms while it waits. The sample passes through a
// buffer this thread keeps, so a read allocates nothing but the list it
// returns and its floats.
py::typing::List<float> readWatchingSignals(FeltwiseComms& self, std::int32_t timeout,
                                            void (FeltwiseComms::*read)(std::vector<double>&, std::int64_t)) {
  thread_local std::vector<double> sample;
  const WaitInterrupt on_signal(raisePendingSignal);
  (self.*read)(sample, timeout);
  py::list values(sample.size());
  for (std::size_t i = 0; i < sample.size(); ++i) {
    PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(i), py::float_(sample[i]).release().ptr());
  }
  return values;
}

}  // namespace

PYBIND11_MODULE(feltwise_comm_py, m) {
  feltwise_python::registerStandardTranslation();
  m.attr("__version__") = FELTWISE_COMM_VERSION;

  py::class_<FeltwiseComms>(m, "FeltwiseComms", "FeltwiseComms wrapper")
      .def(py::init<>(), "Constructs FeltwiseComms object")
      .def("init", &FeltwiseComms::init, "Initialise sensor comms", py::arg("file_name") = std::string())
      .def("connect", &FeltwiseComms::connect, "Connects to the sensor", py::arg("port"))
      .def(
          "read",
          [](FeltwiseComms& self, std::int32_t timeout) {
            return readWatchingSignals(self, timeout, &FeltwiseComms::read);
          },
          "Reads and returns data", py::arg("timeout") = 500)
      .def(
          "read_raw",
          [](FeltwiseComms& self, std::int32_t timeout) {
            return readWatchingSignals(self, timeout, &FeltwiseComms::read_raw);
          },
          "Reads and returns raw data", py::arg("timeout") = 500)
      .def(
          "read_register",
          [](FeltwiseComms& self, std::uint16_t address, std::uint16_t id, std::int32_t timeout) {
            std::vector<std::uint8_t> data;
            data.reserve(256);
            const WaitInterrupt on_signal(raisePendingSignal);
            self.read_register(address, id, data, timeout);
            return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
          },
          "Reads register data", py::arg("address"), py::arg("id"), py::arg("timeout") = 500)
      .def(
          "write_register",
          [](FeltwiseComms& self, std::uint16_t address, std::uint16_t id, const py::bytes& data,
             std::int32_t timeout) {
            const std::string text = data;
            const WaitInterrupt on_signal(raisePendingSignal);
            self.write_register(address, id, std::vector<std::uint8_t>(text.begin(), text.end()), timeout);
          },
          "Writes register data", py::arg("address"), py::arg("id"), py::arg("data"), py::arg("timeout") = 500)
      .def("is_connected", &FeltwiseComms::is_connected, "Is sensor connected?")
      .def(
          "zero",
          [](FeltwiseComms& self, const std::vector<std::int32_t>& taxel_ids) {
            const WaitInterrupt on_signal(raisePendingSignal);
            self.zero(taxel_ids);
          },
          "Zeroes the sensor", py::arg("taxel_ids"))
      .def("zero",
           py::overload_cast<const std::vector<std::vector<double>>&, const std::vector<std::int32_t>&>(
               &FeltwiseComms::zero),
           "Zeroes the sensor with data from a buffer", py::arg("data_buf"), py::arg("taxel_ids"))
      .def_property_readonly_static(
          "version", [](const py::object&) { return FeltwiseComms::version(); }, "Returns the version string");
}
