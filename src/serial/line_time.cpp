#include "serial/serial.h"

namespace serial {

std::uint64_t lineTimeMs(std::size_t bytes, std::uint32_t baudrate, ByteSize bytesize, Parity parity,
                         StopBits stopbits) {
  if (baudrate == 0) return 0;
  const std::uint64_t stop_bits = stopbits == stopbits_one ? 1 : 2;
  const std::uint64_t parity_bits = parity == parity_none ? 0 : 1;
  const std::uint64_t bits_per_char = 1 + static_cast<std::uint64_t>(bytesize) + parity_bits + stop_bits;
  const std::uint64_t bits = bits_per_char * bytes * 1000u;
  return (bits + baudrate - 1) / baudrate;
}

}  // namespace serial
