// The Python face of FeltwiseComms. Every call keeps the interpreter lock for
// its whole duration (waits included): Python threads never run two comms
// operations at once, and the acquisition thread never touches Python.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "comms/feltwise_comms.h"

namespace py = pybind11;
using feltwise_comm::FeltwiseComms;

PYBIND11_MODULE(feltwise_comm_py, m) {
  m.attr("__version__") = "0.1.6b";

  py::class_<FeltwiseComms>(m, "FeltwiseComms", "FeltwiseComms wrapper")
      .def(py::init<>(), "Constructs FeltwiseComms object")
      .def("init", &FeltwiseComms::init, "Initialise sensor comms", py::arg("file_name") = std::string())
      .def("connect", &FeltwiseComms::connect, "Connects to the sensor", py::arg("port"))
      .def(
          "read",
          [](FeltwiseComms& self, std::int32_t timeout) {
            std::vector<double> sample;
            sample.reserve(100);
            self.read(sample, timeout);
            return sample;
          },
          "Reads and returns data", py::arg("timeout") = 500)
      .def(
          "read_raw",
          [](FeltwiseComms& self, std::int32_t timeout) {
            std::vector<double> sample;
            sample.reserve(100);
            self.read_raw(sample, timeout);
            return sample;
          },
          "Reads and returns raw data", py::arg("timeout") = 500)
      .def(
          "read_register",
          [](FeltwiseComms& self, std::uint16_t address, std::uint16_t id, std::int32_t timeout) {
            std::vector<std::uint8_t> data;
            data.reserve(256);
            self.read_register(address, id, data, timeout);
            return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
          },
          "Reads register data", py::arg("address"), py::arg("id"), py::arg("timeout") = 500)
      .def(
          "write_register",
          [](FeltwiseComms& self, std::uint16_t address, std::uint16_t id, const py::bytes& data,
             std::int32_t timeout) {
            const std::string text = data;
            self.write_register(address, id, std::vector<std::uint8_t>(text.begin(), text.end()), timeout);
          },
          "Writes register data", py::arg("address"), py::arg("id"), py::arg("data"), py::arg("timeout") = 500)
      .def("is_connected", &FeltwiseComms::is_connected, "Is sensor connected?")
      .def("zero", py::overload_cast<const std::vector<std::int32_t>&>(&FeltwiseComms::zero), "Zeroes the sensor",
           py::arg("taxel_ids"))
      .def("zero",
           py::overload_cast<const std::vector<std::vector<double>>&, const std::vector<std::int32_t>&>(
               &FeltwiseComms::zero),
           "Zeroes the sensor with data from a buffer", py::arg("data_buf"), py::arg("taxel_ids"))
      .def_property_readonly_static(
          "version", [](const py::object&) { return FeltwiseComms::version(); }, "Returns the version string");
}
