#include "feltwise_comm/port_open_error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace feltwise_comm {
namespace {

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The port layer gives errors it has no words for as their number.
constexpr const char* kNumberedError = "Unknown error opening the serial port: ";

int numberAfter(const std::string& text, std::size_t at) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + at, &end, 10);
  if (end == text.c_str() + at || value <= 0 || value > 4095) return 0;
  return static_cast<int>(value);
}

int errorNumberOf(const std::string& detail, int seen) {
  if (contains(detail, "is busy")) return EBUSY;
  if (contains(detail, "does not exist")) return ENOENT;
  const auto numbered = detail.find(kNumberedError);
  if (numbered != std::string::npos) {
    if (const int number = numberAfter(detail, numbered + std::strlen(kNumberedError))) return number;
  }
  return seen;
}

PortOpenError::Cause causeOf(int error_number) {
  switch (error_number) {
    case EBUSY:
    case EAGAIN:  // flock() refused: another open file holds the port's lock
      return PortOpenError::Cause::kBusy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return PortOpenError::Cause::kMissing;
    case EACCES:
    case EPERM:
      return PortOpenError::Cause::kPermission;
    case ENOTTY:  // no terminal: a file, /dev/null
    case EISDIR:
      return PortOpenError::Cause::kNotSerialPort;
    default:
      return PortOpenError::Cause::kOther;
  }
}

}  // namespace

PortOpenError::PortOpenError(const std::string& port, const std::string& detail, int error_number)
    : std::runtime_error("Cannot open serial port: " + port),
      port_(port),
      detail_(detail),
      error_number_(errorNumberOf(detail, error_number)),
      cause_(causeOf(error_number_)),
      system_text_(error_number_ ? std::strerror(error_number_) : "") {}

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
