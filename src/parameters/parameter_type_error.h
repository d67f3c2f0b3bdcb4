// The error of every refused conversion from a msgpack object.
//
// msgpack::type_error derives from std::bad_cast and keeps its what(), which
// libstdc++ spells "std::bad_cast"; callers, down to Python, are promised
// "bad cast". Deriving from msgpack::type_error keeps `catch
// (msgpack::type_error&)` working for code written against msgpack-c.
//
// field() names the record field whose value was refused, once the record
// conversion has named it (nullptr before, and for a refusal of no one field:
// a key that is not a string, a record that is not a map).
#ifndef FELTWISE_PARAMETERS_PARAMETER_TYPE_ERROR_H
#define FELTWISE_PARAMETERS_PARAMETER_TYPE_ERROR_H

#include <msgpack.hpp>

namespace feltwise_comm {

class ParameterTypeError : public msgpack::v1::type_error {
 public:
  const char* what() const noexcept override;

  const char* field() const { return field_; }
  // Names the field unless an inner conversion named one already.
  void name_field(const char* field) {
    if (field_ == nullptr) field_ = field;
  }

 private:
  const char* field_ = nullptr;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PARAMETERS_PARAMETER_TYPE_ERROR_H
