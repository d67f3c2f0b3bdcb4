#include "serial/exceptions.h"

#include <system_error>
#include <utility>

namespace serial {

SerialException::SerialException(const std::string& description)
    : SerialError("SerialException " + description + " failed.") {}

IOException::IOException(std::string file, int line, const std::string& description, int error_number,
                         PortCause port_cause)
    : SerialError("IO Exception: " + description + ", file " + file + ", line " + std::to_string(line) + "."),
      file_(std::move(file)),
      line_(line),
      description_(description),
      error_number_(error_number),
      // The system category reads the platform's own numbers: on POSIX its
      // text is strerror's; on Windows the C++ runtime's for a GetLastError() code.
      system_text_(error_number != 0 ? std::system_category().message(error_number) : std::string()),
      port_cause_(port_cause) {}

PortNotOpenedException::PortNotOpenedException(const std::string& description)
    : SerialError("PortNotOpenedException " + description + " failed.") {}

}  // namespace serial
