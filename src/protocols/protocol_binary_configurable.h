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
// replies and statuses; register calls run on the caller's thread, write
// their request and wait with a deadline. How a reply finds its request is
// register_completion.h: one request on the line at a time; a read reply,
// whole or cut (405 to 408), ends only a read; a status 1 ends only a write;
// any other code, and a cut status frame (409), ends whichever waits; after
// a request gave up, the next waits for its late reply or kSettle of quiet.
//
// FB FF and FA FF begin a reply only while one is expected: a request waits
// for it, or one gave up and its reply is still owed (register_completion.h).
// At any other time they are bytes between sample frames, searched for the
// next frame as version 1 does (frame_word_reader.h): a stray FB or FA in
// front of a frame costs no more than that frame. A reply's length word
// claims up to 65,535 bytes, 5.7 s of line at 115200 baud, which a stray
// byte can make of a frame's values: its data may take until the waiting
// request's deadline (or the end of the settle, for an owed one) and no
// longer. A length the line cannot carry by then is cut at once, and one
// that has not come whole by then is cut there (status 405, the request
// ends with it); the bytes after the cut are searched for frames again.
//
// A write carries at most 65535 data bytes, the most its length word can
// count; a longer one is refused before anything is sent. A request the port
// could not send whole fails with the time-out error and what is still
// queued is dropped. The part that left is a frame whose length word
// promises more than came, and nothing on the wire can end it: a device that
// keeps waiting for the rest would take the next request as that rest. So
// the cut request counts as given up, and the next request waits for the
// device's answer to it or for kSettle of quiet, the time a device's frame
// time-out needs to drop the cut frame.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H
#define FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H

#include <cstddef>
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
  static constexpr std::size_t kMaxWriteBytes = 65535;

  // Completion statuses. 1 and the sensor's own codes arrive in status frames;
  // 405 to 409 say which field of a register frame was cut off.
  static constexpr std::uint16_t kStatusSuccess = 1;
  static constexpr std::uint16_t kStatusDataCut = 405;
  static constexpr std::uint16_t kStatusLengthCut = 406;
  static constexpr std::uint16_t kStatusReplyWord2Cut = 407;
  static constexpr std::uint16_t kStatusReplyWord1Cut = 408;
  static constexpr std::uint16_t kStatusCodeCut = 409;

  // True only for a sample frame; register replies and status frames are
  // posted to the waiting request and give false, as do the bytes of an
  // unexpected one. Acquisition thread only.
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;

  // Both raise "Timeout must be greater than 0 ms" for a time-out below 1
  // (sending nothing), "Register read timeout" / "Register write timeout"
  // when no reply of theirs arrives in time or the request could not be sent
  // whole (a read then empties `out`), and "Register read error: N" /
  // "Register write error: N" for a status N other than 1 (a read then leaves
  // `out` as it was). A write of more than 65535 bytes raises "Register data
  // too long: N bytes, at most 65535" and sends nothing. Port errors while
  // writing the request propagate.
  void readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out, PortHolder& comms,
                    std::int64_t timeout_ms) override;
  void writeRegister(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data, PortHolder& comms,
                     std::int64_t timeout_ms) override;

 private:
  bool readReadReply(serial::Serial& port, RegisterCompletion::Clock::time_point until);
  bool readStatusFrame(serial::Serial& port);
  bool readWord(serial::Serial& port, std::uint16_t& word);
  // Ends a waiting read with `status`; false, as readSample then returns.
  bool failRead(std::uint16_t status);
  void sendWhole(serial::Serial& port, RegisterCompletion::Turn& turn, const std::uint8_t* request, std::size_t size);

  RegisterCompletion line_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_BINARY_CONFIGURABLE_H
