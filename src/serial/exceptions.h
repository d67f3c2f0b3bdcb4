// The port layer's errors (public: feltwise_comm/serial_errors.h) and the
// macros its implementations raise them with.
#ifndef FELTWISE_SERIAL_EXCEPTIONS_H
#define FELTWISE_SERIAL_EXCEPTIONS_H

#include "feltwise_comm/serial_errors.h"

// Raises an IOException that names the raising statement's file and line.
#define FELTWISE_THROW_IO(description) throw ::serial::IOException(__FILE__, __LINE__, (description))
// The same, with the system's error number of the failed call (errno, or
// GetLastError() on Windows) kept on the exception.
#define FELTWISE_THROW_IO_SYSTEM(description, error_number) \
  throw ::serial::IOException(__FILE__, __LINE__, (description), (error_number))
// The same for a port that did not open, with the cause the platform code
// read from that number.
#define FELTWISE_THROW_IO_OPEN(description, error_number, port_cause) \
  throw ::serial::IOException(__FILE__, __LINE__, (description), (error_number), (port_cause))

#endif  // FELTWISE_SERIAL_EXCEPTIONS_H
