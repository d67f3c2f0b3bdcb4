#include "parameters/parameter_type_error.h"

namespace feltwise_comm {

const char* ParameterTypeError::what() const noexcept { return "bad cast"; }

}  // namespace feltwise_comm
