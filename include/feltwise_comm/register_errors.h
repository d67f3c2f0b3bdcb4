// The failures of a register request (FeltwiseComms::read_register and
// write_register, protocol versions 3 and 4), typed so that a caller tells a
// device that did not answer from one that refused. Both derive from
// std::runtime_error and keep the fixed texts, <kind> being "read" or "write":
// - RegisterTimeoutError: "Register <kind> timeout", no answer within the
//   request's time-out (or the line stayed owed to an earlier request);
// - RegisterStatusError: "Register <kind> error: " + status in decimal, the
//   device answered with a status other than success; status() is that code.
// Other refusals ("Timeout must be greater than 0 ms", "Serial port is not
// open", a version without registers) stay plain std::runtime_error.
#ifndef FELTWISE_COMM_REGISTER_ERRORS_H
#define FELTWISE_COMM_REGISTER_ERRORS_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace feltwise_comm {

enum class RegisterKind { kRead, kWrite };

class RegisterTimeoutError : public std::runtime_error {
 public:
  explicit RegisterTimeoutError(RegisterKind kind)
      : std::runtime_error(std::string("Register ") + (kind == RegisterKind::kRead ? "read" : "write") + " timeout"),
        kind_(kind) {}

  RegisterKind kind() const { return kind_; }

 private:
  RegisterKind kind_;
};

class RegisterStatusError : public std::runtime_error {
 public:
  RegisterStatusError(RegisterKind kind, std::uint16_t status)
      : std::runtime_error(std::string("Register ") + (kind == RegisterKind::kRead ? "read" : "write") +
                           " error: " + std::to_string(status)),
        kind_(kind),
        status_(status) {}

  RegisterKind kind() const { return kind_; }
  std::uint16_t status() const { return status_; }

 private:
  RegisterKind kind_;
  std::uint16_t status_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_REGISTER_ERRORS_H
