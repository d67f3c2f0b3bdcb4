#include "serial/exceptions.h"

#include <utility>

namespace serial {

SerialException::SerialException(const std::string& description)
    : message_("SerialException " + description + " failed.") {}

IOException::IOException(std::string file, int line, const std::string& description)
    : file_(std::move(file)),
      line_(line),
      message_("IO Exception: " + description + ", file " + file_ + ", line " + std::to_string(line) +
               ".") {}

PortNotOpenedException::PortNotOpenedException(const std::string& description)
    : message_("PortNotOpenedException " + description + " failed.") {}

}  // namespace serial
