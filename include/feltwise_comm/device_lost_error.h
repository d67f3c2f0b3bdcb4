// The port is gone: the acquisition thread gave it up (an unplugged adapter,
// a device the system no longer answers for) and the comms object does not
// reconnect. A std::runtime_error whose what() is the text the call always
// had on a closed port:
// - SensorComms::take and feltwise_comm::Sensor's reads, once nothing is left
//   to take (the default text): "Sensor lost: the port
//   failed or the device was unplugged";
// - read_register and write_register (FeltwiseComms and SensorComms):
//   "Serial port is not open".
// A port that was never opened, or was closed by disconnect(), is no loss:
// those calls refuse it with a plain std::runtime_error of the same text.
#ifndef FELTWISE_COMM_DEVICE_LOST_ERROR_H
#define FELTWISE_COMM_DEVICE_LOST_ERROR_H

#include <stdexcept>
#include <string>

namespace feltwise_comm {

class DeviceLostError : public std::runtime_error {
 public:
  DeviceLostError() : std::runtime_error("Sensor lost: the port failed or the device was unplugged") {}
  explicit DeviceLostError(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_DEVICE_LOST_ERROR_H
