// The port layer's own failures. Each class derives from std::exception
// through one common base, serial::SerialError, so a caller can catch every
// port failure at once (and `catch (const std::exception&)` still sees them);
// what() returns the composed message, fixed as below.
//
// IOException also carries the system's cause when the failing call gave one:
// errorNumber() is errno (GetLastError() on Windows), 0 when no system call
// failed; systemText() is the system's text for it (strerror on POSIX), empty
// then. portCause() says why a port did not open, decided by the platform
// code where the call failed (PortCause::kOther for every other failure).
// description() is the message without the source file and line, for a
// caller that shows it to a user.
// These never change what(): its wording is fixed.
#ifndef FELTWISE_COMM_SERIAL_ERRORS_H
#define FELTWISE_COMM_SERIAL_ERRORS_H

#include <exception>
#include <string>
#include <utility>

namespace serial {

// Why a port did not open: kBusy (another program holds it), kMissing (no
// such device), kPermission (the user may not open it), kNotSerialPort (a
// directory, a file or a device that is no terminal, such as /dev/null),
// kOther (anything else, and every failure that is not an open's).
enum class PortCause { kBusy, kMissing, kPermission, kNotSerialPort, kOther };

class SerialError : public std::exception {
 public:
  const char* what() const noexcept override { return message_.c_str(); }

 protected:
  explicit SerialError(std::string message) : message_(std::move(message)) {}

 private:
  std::string message_;
};

// "SerialException " + description + " failed."
class SerialException : public SerialError {
 public:
  explicit SerialException(const std::string& description);
};

// "IO Exception: " + description + ", file " + file + ", line " + line + "."
class IOException : public SerialError {
 public:
  IOException(std::string file, int line, const std::string& description, int error_number = 0,
              PortCause port_cause = PortCause::kOther);

  const std::string& getFile() const { return file_; }
  int getLine() const { return line_; }
  const std::string& description() const { return description_; }
  int errorNumber() const { return error_number_; }
  const std::string& systemText() const { return system_text_; }
  PortCause portCause() const { return port_cause_; }

 private:
  std::string file_;
  int line_;
  std::string description_;
  int error_number_;
  std::string system_text_;
  PortCause port_cause_;
};

// "PortNotOpenedException " + description + " failed."
class PortNotOpenedException : public SerialError {
 public:
  explicit PortNotOpenedException(const std::string& description);
};

}  // namespace serial

#endif  // FELTWISE_COMM_SERIAL_ERRORS_H
