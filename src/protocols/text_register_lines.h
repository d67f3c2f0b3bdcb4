// The register lines of protocol version 3 and the statuses they complete a
// request with.
//
//   host:   r<address>,<id>,0\n                 read request
//           w<address>,<id>,<count>,<HEX>\n     write request, HEX upper case,
//                                               two digits per byte
//   sensor: R<a>,<b>,<count>,<hex>\n            read reply ("r" too); a and b
//                                               are not checked against the request
//           O...\n                              acknowledgement
//           E...\n                              device error
//
// Replies carry nothing that ties them to a request: the device answers one
// request at a time, in order.
#ifndef FELTWISE_PROTOCOLS_TEXT_REGISTER_LINES_H
#define FELTWISE_PROTOCOLS_TEXT_REGISTER_LINES_H

#include <cstdint>
#include <string>
#include <vector>

namespace feltwise_comm {

namespace text_register_status {
// The device reported an error. Its error line has no code we know how to find.
constexpr std::uint16_t kDeviceError = 0;
constexpr std::uint16_t kOk = 1;
// A read reply with a field that is not a number.
constexpr std::uint16_t kUnreadable = 404;
// A read reply whose data field is not 2 x count digits followed by the line feed.
constexpr std::uint16_t kWrongDataLength = 405;
// A read reply without exactly four fields.
constexpr std::uint16_t kWrongFieldCount = 406;
}  // namespace text_register_status

std::string formatReadRequest(std::uint16_t address, std::uint16_t id);
std::string formatWriteRequest(std::uint16_t address, std::uint16_t id, const std::vector<std::uint8_t>& data);

// Decodes a read reply: `line` as received, its "R" or "r" and its line feed
// included. Returns kOk with the data in `bytes`, or the failure status;
// `bytes` is overwritten either way.
//
// After the first byte, the fields up to the first empty one (or the end of
// the line) must be exactly four. The first three are read as strtol reads
// base-10 integers; the first two are not used, the low 16 bits of the third
// are the byte count. The fourth is the data plus the line feed: exactly
// 2 x count + 1 characters, cut into groups of up to two characters between
// white space, each read as hexadecimal (either case; a group that is no
// number gives 0).
std::uint16_t decodeReadReply(const std::string& line, std::vector<std::uint8_t>& bytes) noexcept;

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_TEXT_REGISTER_LINES_H
