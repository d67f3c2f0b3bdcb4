// The wire-protocol interface. One object per `init`; the acquisition thread
// calls `readSample` in a loop, register calls arrive from the caller's thread.
//
// Contract
// - `readSample` clears and refills `sample` and returns true when a whole
//   frame or line was read (the sample may then be empty: a frame that carries
//   no values); false when the line fell silent for the port's read time-out
//   before a frame or line was complete. A frame still arriving, however
//   slowly, is never cut. Port failures propagate as the port layer's
//   exceptions.
// - `sampleWaiting`, asked by the acquisition thread right after a
//   `readSample` that returned a sample: true only when the next sample frame
//   has arrived whole already, so that the next `readSample` returns it
//   without waiting. The thread then hands off only the newer one. A variant
//   that cannot tell says false (the default), and every sample is handed off.
// - `readRegister` / `writeRegister` are refused unless a variant carries
//   register traffic.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_H
#define FELTWISE_PROTOCOLS_PROTOCOL_H

#include <cstdint>
#include <memory>
#include <vector>

#include "serial/serial.h"

namespace feltwise_comm {

// What a protocol sees of the comms object: its port. The comms object's state
// extends this, so protocols never depend on the rest of it.
struct PortHolder {
  std::unique_ptr<serial::Serial> port_;
};

// The port a protocol may use; PortNotOpenedException when there is none.
serial::Serial& portOf(PortHolder& comms);

class Protocol {
 public:
  virtual ~Protocol() = default;

  virtual bool readSample(std::vector<double>& sample, PortHolder& comms) = 0;
  virtual void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                            std::int64_t timeout_ms);
  virtual void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                             PortHolder& comms, std::int64_t timeout_ms);
  virtual bool sampleWaiting(PortHolder& comms);
};

// Every 16-bit field of the binary protocols: exactly two bytes give
// byte 0 + 256 * byte 1 (little-endian); any other length gives 0.
std::uint16_t decodeWord(const std::vector<std::uint8_t>& bytes);

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_H
