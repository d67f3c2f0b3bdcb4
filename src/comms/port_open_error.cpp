#include "feltwise_comm/port_open_error.h"

namespace feltwise_comm {

PortOpenError::PortOpenError(const std::string& port, const serial::IOException& failure)
    : std::runtime_error("Cannot open serial port: " + port),
      port_(port),
      detail_(failure.description()),
      error_number_(failure.errorNumber()),
      cause_(failure.portCause()),
      system_text_(failure.systemText()) {}

const char* causeName(PortOpenError::Cause cause) {
  switch (cause) {
    case PortOpenError::Cause::kBusy:
      return "busy";
    case PortOpenError::Cause::kMissing:
      return "missing";
    case PortOpenError::Cause::kPermission:
      return "permission denied";
    case PortOpenError::Cause::kNotSerialPort:
      return "not a serial port";
    case PortOpenError::Cause::kOther:
      break;
  }
  return "other";
}

}  // namespace feltwise_comm
