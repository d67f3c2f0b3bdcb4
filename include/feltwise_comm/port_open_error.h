// The failure of connect to open its port, with the cause kept.
//
// what() is exactly "Cannot open serial port: " + port, the text FeltwiseComms
// callers have always seen. What the port layer said travels with it, so that
// a caller who wants to can tell a busy port from a missing or forbidden one:
// - cause(): kBusy (another program holds it), kMissing (no such device),
//   kPermission (the user may not open it), kNotSerialPort (a directory, a
//   file or a device that is no terminal, such as /dev/null), kOther; the
//   port layer decides it where the system call failed (serial::PortCause);
// - errorNumber(): the system's error number of that call (errno,
//   GetLastError() on Windows), 0 when no system call failed;
// - systemText(): the system's text for it (strerror), empty when unknown;
// - detail(): the port layer's own message (its description, without the
//   source file and line that the port layer's what() names).
#ifndef FELTWISE_COMM_PORT_OPEN_ERROR_H
#define FELTWISE_COMM_PORT_OPEN_ERROR_H

#include <stdexcept>
#include <string>

#include "feltwise_comm/serial_errors.h"

namespace feltwise_comm {

class PortOpenError : public std::runtime_error {
 public:
  using Cause = serial::PortCause;

  // `failure` is what the port layer raised when `port` did not open.
  PortOpenError(const std::string& port, const serial::IOException& failure);

  const std::string& port() const { return port_; }
  Cause cause() const { return cause_; }
  int errorNumber() const { return error_number_; }
  const std::string& systemText() const { return system_text_; }
  const std::string& detail() const { return detail_; }

 private:
  std::string port_;
  std::string detail_;
  int error_number_;
  Cause cause_;
  std::string system_text_;
};

// "busy", "missing", "permission denied", "not a serial port" or "other".
const char* causeName(PortOpenError::Cause cause);

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_PORT_OPEN_ERROR_H
