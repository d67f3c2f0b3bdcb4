// The failures of a sensor's sample calls (feltwise_comm::Sensor, and
// feltwise.Sensor in Python), typed so that a program tells a sensor it
// closed itself from a device that went away. Both derive from
// std::runtime_error and keep fixed texts:
// - SensorClosedError: "Sensor is closed", a call on a sensor after close()
//   (or one that close() in another thread ended);
// - DeviceLostError (device_lost_error.h): "Sensor lost: the port failed or the device was
//   unplugged", the acquisition thread gave the port up and nothing is left
//   to take (never while a sensor with reconnect waits for its device).
#ifndef FELTWISE_COMM_SENSOR_ERRORS_H
#define FELTWISE_COMM_SENSOR_ERRORS_H

#include <stdexcept>
#include <string>

#include "feltwise_comm/device_lost_error.h"

namespace feltwise_comm {

class SensorClosedError : public std::runtime_error {
 public:
  SensorClosedError() : std::runtime_error("Sensor is closed") {}
  explicit SensorClosedError(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_SENSOR_ERRORS_H
