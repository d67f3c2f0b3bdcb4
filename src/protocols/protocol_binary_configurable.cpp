#include "protocols/protocol_binary_configurable.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>
#include <string>

namespace feltwise_comm {
namespace {

using Clock = std::chrono::steady_clock;

// Callers may pass any 64-bit time-out; now + INT64_MAX ms would overflow the
// clock and expire at once. A century is "wait for ever" for any caller, and
// stays representable even where the library converts the deadline to the
// system clock to wait.
Clock::time_point deadlineAfter(std::int64_t timeout_ms) {
  constexpr std::int64_t kLongestWaitMs = std::int64_t{100} * 365 * 24 * 3600 * 1000;
  return Clock::now() + std::chrono::milliseconds(std::min(timeout_ms, kLongestWaitMs));
}

void putWord(std::uint8_t* at, std::uint16_t word) {
  at[0] = static_cast<std::uint8_t>(word & 0xFF);
  at[1] = static_cast<std::uint8_t>(word >> 8);
}

void checkTimeout(std::int64_t timeout_ms) {
  if (timeout_ms < 1) throw std::runtime_error("Timeout must be greater than 0 ms");
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
  std::lock_guard<std::mutex> lock(read_mutex_);
  read_status_ = kStatusSuccess;
  reply_bytes_.assign(buffer_.begin(), buffer_.end());
  read_done_ = true;
  read_cv_.notify_all();
  return false;
}

bool ProtocolBinaryConfigurable::completeAll(std::uint16_t status) {
  std::unique_lock<std::mutex> read_lock(read_mutex_);
  std::unique_lock<std::mutex> write_lock(write_mutex_);
  read_status_ = status;
  read_done_ = true;
  read_cv_.notify_all();
  write_status_ = status;
  write_done_ = true;
  write_cv_.notify_all();
  read_lock.unlock();
  write_lock.unlock();
  return false;
}

void ProtocolBinaryConfigurable::readRegister(std::uint16_t address, std::uint16_t id, std::vector<std::uint8_t>& out,
                                              PortHolder& comms, std::int64_t timeout_ms) {
  checkTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  {
    // Emptied before the request goes out, so that a late answer to an
    // earlier request, already posted, cannot answer this one, and an answer
    // that comes back before this thread starts waiting is not missed.
    std::lock_guard<std::mutex> lock(read_mutex_);
    read_done_ = false;
    read_status_ = kStatusPending;
  }
  std::array<std::uint8_t, 8> request{};
  putWord(&request[0], kReadWord);
  putWord(&request[2], address);
  putWord(&request[4], id);
  port.write(request.data(), request.size());

  std::unique_lock<std::mutex> lock(read_mutex_);
  if (!read_cv_.wait_until(lock, deadlineAfter(timeout_ms), [this] { return read_done_; })) {
    lock.unlock();
    out.clear();
    throw std::runtime_error("Register read timeout");
  }
  if (read_status_ != kStatusSuccess) {
    const std::uint16_t status = read_status_;
    lock.unlock();
    throw std::runtime_error("Register read error: " + std::to_string(status));
  }
  out.assign(reply_bytes_.begin(), reply_bytes_.end());
}

void ProtocolBinaryConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    write_done_ = false;
    write_status_ = kStatusPending;
  }
  // One write for header and data: a request split across two writes could
  // reach the sensor with a pause inside it.
  std::vector<std::uint8_t> request(8 + data.size());
  putWord(&request[0], kWriteWord);
  putWord(&request[2], address);
  putWord(&request[4], id);
  putWord(&request[6], static_cast<std::uint16_t>(data.size() & 0xFFFF));
  std::copy(data.begin(), data.end(), request.begin() + 8);
  port.write(request);

  std::unique_lock<std::mutex> lock(write_mutex_);
  if (!write_cv_.wait_until(lock, deadlineAfter(timeout_ms), [this] { return write_done_; })) {
    throw std::runtime_error("Register write timeout");
  }
  if (write_status_ != kStatusSuccess) {
    const std::uint16_t status = write_status_;
    lock.unlock();
    throw std::runtime_error("Register write error: " + std::to_string(status));
  }
}

}  // namespace feltwise_comm
