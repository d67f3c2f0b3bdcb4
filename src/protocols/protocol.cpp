#include "protocols/protocol.h"

#include <stdexcept>

namespace feltwise_comm {

serial::Serial& portOf(PortHolder& comms) {
  if (!comms.port_) throw serial::PortNotOpenedException("Serial::read");
  return *comms.port_;
}

void Protocol::readRegister(std::uint16_t, std::uint16_t, std::vector<std::uint8_t>&, PortHolder&, std::int64_t) {
  throw std::runtime_error("Register read operation is not supported");
}

void Protocol::writeRegister(std::uint16_t, std::uint16_t, const std::vector<std::uint8_t>&, PortHolder&,
                             std::int64_t) {
  throw std::runtime_error("Register write operation is not supported");
}

void Protocol::startStream(PortHolder&, StreamStart, SampleRule) {}

bool Protocol::sampleWaiting(PortHolder&) { return false; }

std::uint16_t decodeWord(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != 2) return 0;
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace feltwise_comm
