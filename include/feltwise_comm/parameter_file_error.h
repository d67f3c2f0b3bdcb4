// The failures of loading a parameter file (FeltwiseComms::init and
// SensorComms::init given a path, loadParameters), typed, with what the
// loader knows of where the file went wrong. what() is the loader's text,
// exactly as FeltwiseComms callers have always seen it.
//
// - ParameterFileError (a std::runtime_error): "Cannot find sensor parameter
//   file", "Cannot open sensor parameter file", "Sensor parameter file is
//   larger than 64 MiB", msgpack-c's "insufficient bytes", "parse error" and
//   "depth size overflow", "Invalid sensor parameter data format (n)", and
//   what building the protocol and models refuses ("Invalid protocol version
//   in sensor parameters", a model's refusal of its record, an output index
//   out of range);
// - ParameterValueError (a std::bad_cast, as msgpack-c's type_error is):
//   "bad cast", a value of the wrong kind or shape.
//
// Both are a ParameterFileFailure, which tells:
// - path(): the file, as init was given it;
// - reason(): which kind of failure it is (kinds above, in order);
// - record(): the failing record's place among the file's records in file
//   order, counting from 0, when a record was being decoded; empty otherwise
//   (the file's shape, its protocol version, building);
// - field(): the record field whose value did not convert ("sensor_type",
//   "coefs_x", ...), empty when no one field is to blame.
#ifndef FELTWISE_COMM_PARAMETER_FILE_ERROR_H
#define FELTWISE_COMM_PARAMETER_FILE_ERROR_H

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace feltwise_comm {

enum class ParameterFileReason {
  kMissing,     // "Cannot find sensor parameter file"
  kNotOpened,   // "Cannot open sensor parameter file": not a regular file, or reading failed
  kTooLarge,    // "Sensor parameter file is larger than 64 MiB"
  kNotMsgpack,  // empty, truncated, unparsable or nested too deeply
  kFormat,      // "Invalid sensor parameter data format (n)"
  kValue,       // "bad cast"
  kRefused,     // the protocol version or a record refused when the components are built
};

class ParameterFileFailure {
 public:
  ParameterFileFailure(ParameterFileReason reason, std::string path, std::optional<std::size_t> record,
                       std::string field)
      : reason_(reason), path_(std::move(path)), record_(record), field_(std::move(field)) {}
  virtual ~ParameterFileFailure() = default;
  ParameterFileFailure(const ParameterFileFailure&) = default;
  ParameterFileFailure& operator=(const ParameterFileFailure&) = default;

  // The exception's what().
  virtual const char* text() const noexcept = 0;
  ParameterFileReason reason() const { return reason_; }
  const std::string& path() const { return path_; }
  const std::optional<std::size_t>& record() const { return record_; }
  const std::string& field() const { return field_; }

 private:
  ParameterFileReason reason_;
  std::string path_;
  std::optional<std::size_t> record_;
  std::string field_;
};

class ParameterFileError : public std::runtime_error, public ParameterFileFailure {
 public:
  ParameterFileError(const std::string& message, ParameterFileReason reason, std::string path,
                     std::optional<std::size_t> record = std::nullopt)
      : std::runtime_error(message), ParameterFileFailure(reason, std::move(path), record, std::string()) {}

  const char* text() const noexcept override { return what(); }
};

class ParameterValueError : public std::bad_cast, public ParameterFileFailure {
 public:
  ParameterValueError(std::string path, std::optional<std::size_t> record, std::string field)
      : ParameterFileFailure(ParameterFileReason::kValue, std::move(path), record, std::move(field)) {}

  const char* what() const noexcept override { return "bad cast"; }
  const char* text() const noexcept override { return what(); }
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_PARAMETER_FILE_ERROR_H
