// FeltwiseComms: the one object a client creates per tactile sensor.
//
//   FeltwiseComms comms;
//   comms.init("sensor.bin");          // or "1": a bare protocol version
//   comms.connect("/dev/ttyUSB0");     // opens the port, starts acquisition
//   std::vector<double> sample;
//   comms.read(sample, 500);           // newest calibrated sample, or empty after 500 ms
//
// Every operation forwards to the private CommsState, which documents the
// threading rules.
//
// Errors, each a std::runtime_error with its fixed text unless said: init
// of a file raises ParameterFileError, or ParameterValueError ("bad cast", a
// std::bad_cast) (parameter_file_error.h); connect raises PortOpenError
// (port_open_error.h); the register calls RegisterTimeoutError and
// RegisterStatusError (register_errors.h), and DeviceLostError once the
// acquisition thread lost the port (device_lost_error.h).
#ifndef FELTWISE_COMM_FELTWISE_COMMS_H
#define FELTWISE_COMM_FELTWISE_COMMS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace feltwise_comm {

class CommsState;

class FeltwiseComms {
 public:
  FeltwiseComms();
  virtual ~FeltwiseComms();
  FeltwiseComms(const FeltwiseComms&) = delete;
  FeltwiseComms& operator=(const FeltwiseComms&) = delete;

  void init(const std::string& file_name);
  void connect(const std::string& port);
  bool is_connected() const;
  void read(std::vector<double>& output, std::int64_t timeout);
  void read_raw(std::vector<double>& output, std::int64_t timeout);
  void zero(const std::vector<std::int32_t>& taxel_ids);
  void zero(const std::vector<std::vector<double>>& data_buf, const std::vector<std::int32_t>& taxel_ids);
  void read_register(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& output, std::int64_t timeout);
  void write_register(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                      std::int64_t timeout);
  static std::string version();

 private:
  std::unique_ptr<CommsState> state_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_FELTWISE_COMMS_H
