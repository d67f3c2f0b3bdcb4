// zero() could not gather its fresh samples. what() is "Could not zero the
// sensor", as FeltwiseComms has always said; the rest tells why, for a
// caller that explains it (feltwise.Sensor):
// - needed: samples zero gathers (20);
// - gathered: how many came in time (each within 50 ms of the one before
//   for FeltwiseComms; for SensorComms, of the frames decoded within a
//   second);
// - any_arrived: whether any sample came at all, the one zero first waits
//   up to 500 ms for and throws away included (false: the sensor is silent);
// - port_open: whether the port was open when zero gave up (false: the
//   device was lost, or is away while the comms object reconnects).
#ifndef FELTWISE_COMM_ZERO_FAILURE_H
#define FELTWISE_COMM_ZERO_FAILURE_H

#include <stdexcept>

namespace feltwise_comm {

class ZeroFailure : public std::runtime_error {
 public:
  ZeroFailure(int needed, int gathered, bool any_arrived, bool port_open)
      : std::runtime_error("Could not zero the sensor"),
        needed_(needed),
        gathered_(gathered),
        any_arrived_(any_arrived),
        port_open_(port_open) {}

  int needed() const { return needed_; }
  int gathered() const { return gathered_; }
  bool anyArrived() const { return any_arrived_; }
  bool portOpen() const { return port_open_; }

 private:
  int needed_;
  int gathered_;
  bool any_arrived_;
  bool port_open_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_COMM_ZERO_FAILURE_H
