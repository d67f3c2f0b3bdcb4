#include "serial/exceptions.h"

#include <system_error>
#include <utility>

namespace serial {

SerialException::SerialException(const std::string& description)
    : SerialError("SerialException " + description + " failed.") {}

IOException::IOException(std::string file, int line, const std::string& description, int error_number)
    : SerialError("IO Exception: " + description + ", file " + file + ", line " + std::to_string(line) + "."),
      file_(std::move(file)),
      line_(line),
      error_number_(error_number),
      // The system category speaks the platform's numbers: strerror's text on
      // POSIX, FormatMessage's for a GetLastError() code on Windows.
      system_text_(error_number != 0 ? std::system_category().message(error_number) : std::string()) {}

PortNotOpenedException::PortNotOpenedException(const std::string& description)
    : SerialError("PortNotOpenedException " + description + " failed.") {}

}  // namespace serial
