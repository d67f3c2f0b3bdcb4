#include "protocols/protocol_binary_configurable.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

namespace feltwise_comm {
namespace {

void putWord(std::uint8_t* at, std::uint16_t word) {
  at[0] = static_cast<std::uint8_t>(word & 0xFF);
  at[1] = static_cast<std::uint8_t>(word >> 8);
}

}  // namespace

bool ProtocolBinaryConfigurable::readSample(std::vector<double>& sample, PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  if (!first_word_.read(port, buffer_, header_)) return false;
  switch (header_) {
    case kSampleWord:
      return readPayload(sample, comms);
    case kReadWord:
      return readReadReply(port);
    case kStatusWord:
      return readStatusFrame(port);
    default:
      first_word_.reject(header_);
      return false;
  }
}

bool ProtocolBinaryConfigurable::readWord(serial::Serial& port, std::uint16_t& word) {
  buffer_.clear();
  if (port.read(buffer_, 2) != 2) return false;
  word = decodeWord(buffer_);
  return true;
}

bool ProtocolBinaryConfigurable::readStatusFrame(serial::Serial& port) {
  std::uint16_t code = 0;
  return completeAll(readWord(port, code) ? code : kStatusCodeCut);
}

bool ProtocolBinaryConfigurable::readReadReply(serial::Serial& port) {
  // The two words after FB FF carry nothing the host uses, but a reply cut
  // off inside them must still end the wait rather than leave it to time out.
  std::uint16_t word = 0;
  if (!readWord(port, word)) return completeAll(kStatusReplyWord1Cut);
  if (!readWord(port, word)) return completeAll(kStatusReplyWord2Cut);
  if (!readWord(port, word)) return completeAll(kStatusLengthCut);
  const std::size_t length = word;
  buffer_.clear();
  if (port.read(buffer_, length) != length) return completeAll(kStatusDataCut);

  // A whole reply answers the read alone: a pending write still waits for its
  // status frame.
  read_.post(kStatusSuccess, buffer_);
  return false;
}

bool ProtocolBinaryConfigurable::completeAll(std::uint16_t status) {
  RegisterCompletion::postBoth(read_, write_, status);
  return false;
}

void ProtocolBinaryConfigurable::readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out,
                                              PortHolder& comms, std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  std::array<std::uint8_t, 8> request{};
  putWord(&request[0], kReadWord);
  putWord(&request[2], address);
  putWord(&request[4], id);
  read_.arm();
  port.write(request.data(), request.size());
  read_.await(timeout_ms, &out);
}

void ProtocolBinaryConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  // One write for header and data: a request split across two writes could
  // reach the sensor with a pause inside it.
  std::vector<std::uint8_t> request(8 + data.size());
  putWord(&request[0], kWriteWord);
  putWord(&request[2], address);
  putWord(&request[4], id);
  putWord(&request[6], static_cast<std::uint16_t>(data.size() & 0xFFFF));
  std::copy(data.begin(), data.end(), request.begin() + 8);
  write_.arm();
  port.write(request);
  write_.await(timeout_ms);
}

}  // namespace feltwise_comm
