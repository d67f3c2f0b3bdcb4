// The port layer's own failures. Each class derives directly from
// std::exception and returns its composed message from what().
#ifndef FELTWISE_SERIAL_EXCEPTIONS_H
#define FELTWISE_SERIAL_EXCEPTIONS_H

#include <exception>
#include <string>

namespace serial {

// "SerialException " + description + " failed."
class SerialException : public std::exception {
 public:
  explicit SerialException(const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// "IO Exception: " + description + ", file " + file + ", line " + line + "."
class IOException : public std::exception {
 public:
  IOException(std::string file, int line, const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }

  const std::string& getFile() const { return file_; }
  int getLine() const { return line_; }

 private:
  std::string file_;
  int line_;
  std::string message_;
};

// "PortNotOpenedException " + description + " failed."
class PortNotOpenedException : public std::exception {
 public:
  explicit PortNotOpenedException(const std::string& description);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace serial

// Raises an IOException that names the raising statement's file and line.
#define FELTWISE_THROW_IO(description) throw ::serial::IOException(__FILE__, __LINE__, (description))

#endif  // FELTWISE_SERIAL_EXCEPTIONS_H
