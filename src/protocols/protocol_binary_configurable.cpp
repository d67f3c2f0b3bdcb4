#include "protocols/protocol_binary_configurable.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
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
  // Sample frames as version 1 takes them; register frames word by word.
  switch (takeHeldFrame(sample, port)) {
    case HeldFrame::kTaken:
      return true;
    case HeldFrame::kSilent:
      return false;
    case HeldFrame::kNone:
      break;
  }
  if (!first_word_.read(port, buffer_, header_)) return false;
  switch (header_) {
    case kSampleWord:
      return readPayload(sample, comms);
    case kReadWord:
    case kStatusWord: {
      RegisterCompletion::Clock::time_point until;
      if (!line_.expectsReply(until)) break;
      return header_ == kReadWord ? readReadReply(port, until) : readStatusFrame(port);
    }
    default:
      break;
  }
  first_word_.reject(header_);
  return false;
}

bool ProtocolBinaryConfigurable::readWord(serial::Serial& port, std::uint16_t& word) {
  buffer_.clear();
  if (port.read(buffer_, 2) != 2) return false;
  word = decodeWord(buffer_);
  return true;
}

bool ProtocolBinaryConfigurable::readStatusFrame(serial::Serial& port) {
  std::uint16_t code = 0;
  if (!readWord(port, code)) {
    line_.post(ReplyKind::kError, kStatusCodeCut);
  } else if (code == kStatusSuccess) {
    line_.post(ReplyKind::kAcknowledgement, kStatusSuccess);
  } else {
    line_.post(ReplyKind::kError, code);
  }
  return false;
}

bool ProtocolBinaryConfigurable::readReadReply(serial::Serial& port, RegisterCompletion::Clock::time_point until) {
  // The two words after FB FF carry nothing the host uses, but a reply cut
  // off inside them must still end the read rather than leave it to time out.
  std::uint16_t word = 0;
  if (!readWord(port, word)) return failRead(kStatusReplyWord1Cut);
  if (!readWord(port, word)) return failRead(kStatusReplyWord2Cut);
  if (!readWord(port, word)) return failRead(kStatusLengthCut);
  const std::size_t length = word;
  // Left unread when it cannot come in time: if the length was no reply's,
  // its bytes are frames.
  const auto line_time = std::chrono::milliseconds(port.lineTimeMs(length));
  if (RegisterCompletion::Clock::now() + line_time > until) return failRead(kStatusDataCut);
  buffer_.clear();
  if (port.read(buffer_, length, until) != length) return failRead(kStatusDataCut);
  line_.post(ReplyKind::kData, kStatusSuccess, buffer_);
  return false;
}

bool ProtocolBinaryConfigurable::failRead(std::uint16_t status) {
  line_.post(ReplyKind::kData, status);
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
  RegisterCompletion::Turn turn(line_, RegisterKind::kRead, timeout_ms, &out);
  sendWhole(port, turn, request.data(), request.size());
  turn.await();
}

void ProtocolBinaryConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkRegisterTimeout(timeout_ms);
  if (data.size() > kMaxWriteBytes) {
    throw std::runtime_error("Register data too long: " + std::to_string(data.size()) + " bytes, at most " +
                             std::to_string(kMaxWriteBytes));
  }
  serial::Serial& port = portOf(comms);
  // One write for header and data: a request split across two writes could
  // reach the sensor with a pause inside it.
  std::vector<std::uint8_t> request(8 + data.size());
  putWord(&request[0], kWriteWord);
  putWord(&request[2], address);
  putWord(&request[4], id);
  putWord(&request[6], static_cast<std::uint16_t>(data.size()));
  std::copy(data.begin(), data.end(), request.begin() + 8);
  RegisterCompletion::Turn turn(line_, RegisterKind::kWrite, timeout_ms);
  sendWhole(port, turn, request.data(), request.size());
  turn.await();
}

void ProtocolBinaryConfigurable::sendWhole(serial::Serial& port, RegisterCompletion::Turn& turn,
                                           const std::uint8_t* request, std::size_t size) {
  if (port.write(request, size) == size) return;
  // What is still queued is dropped so that it cannot lead the next request.
  // What already left is a frame the device holds cut; the turn's give-up
  // keeps the next request off the line until the device has answered it or
  // been quiet for the settle time.
  port.discardOutput();
  turn.giveUp();
}

}  // namespace feltwise_comm
