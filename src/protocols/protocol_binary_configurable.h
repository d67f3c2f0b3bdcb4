// Protocol version 4: version-1 sample frames plus register traffic on the
// same line. Every word is u16 little-endian.
//
//   host -> sensor   FB FF | address | id | 00 00                  read request
//                    FC FF | address | id | n | n data bytes       write request
//   sensor -> host   FF FF | count | values                        sample frame
//                    FB FF | word | word | L | L data bytes        read reply
//                    FA FF | code                                  status (1 = success)
//
// The acquisition thread sorts what arrives by its first word and posts
// replies and statuses to the request that waits for them; register calls run
// on the caller's thread, write their request and wait with a deadline.
// Replies name no request: whatever arrives while a request waits answers it.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H
#define FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H

#include <cstdint>
#include <vector>

#include "protocols/protocol_binary.h"
#include "protocols/register_completion.h"

namespace feltwise_comm {

class ProtocolBinaryConfigurable : public ProtocolBinary {
 public:
  static constexpr std::uint16_t kStatusWord = 0xFFFA;
  static constexpr std::uint16_t kReadWord = 0xFFFB;  // read request and read reply
  static constexpr std::uint16_t kWriteWord = 0xFFFC;

  // Completion statuses. 1 and the sensor's own codes arrive in status frames;
  // 405 to 409 say which field of a register frame was cut off.
  static constexpr std::uint16_t kStatusSuccess = 1;
  static constexpr std::uint16_t kStatusDataCut = 405;
  static constexpr std::uint16_t kStatusLengthCut = 406;
  static constexpr std::uint16_t kStatusReplyWord2Cut = 407;
  static constexpr std::uint16_t kStatusReplyWord1Cut = 408;
  static constexpr std::uint16_t kStatusCodeCut = 409;

  // True only for a sample frame; register replies and status frames are
  // posted to the waiting request and give false. Acquisition thread only.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Both raise "Timeout must be greater than 0 ms" for a time-out below 1
  // (sending nothing), "Register read timeout" / "Register write timeout"
  // when no completion arrives in time (a read then empties `out`), and
  // "Register read error: N" / "Register write error: N" for a status N other
  // than 1 (a read then leaves `out` as it was).
  void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                    std::int64_t timeout_ms) override;
  void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data,
                     PortHolder& comms, std::int64_t timeout_ms) override;

 private:
  bool readReadReply(serial::Serial& port);
  bool readStatusFrame(serial::Serial& port);
  bool readWord(serial::Serial& port, std::uint16_t& word);
  // Posts `status` to both request kinds; false, as readSample then returns.
  bool completeAll(std::uint16_t status);

  RegisterCompletion read_{"read"};
  RegisterCompletion write_{"write"};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H
