#include "protocols/protocol_string_configurable.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "protocols/text_register_lines.h"

namespace feltwise_comm {
namespace {

namespace status = text_register_status;
using Clock = std::chrono::steady_clock;

// Python hands over any integer. Far beyond any wait a caller means, and far
// from the end of the clock's range, where now + timeout would overflow.
constexpr std::int64_t kLongestWaitMs = 10LL * 365 * 24 * 60 * 60 * 1000;

Clock::time_point deadlineAfter(std::int64_t timeout_ms) {
  return Clock::now() + std::chrono::milliseconds(timeout_ms < kLongestWaitMs ? timeout_ms : kLongestWaitMs);
}

void checkTimeout(std::int64_t timeout_ms) {
  if (timeout_ms < 1) throw std::runtime_error("Timeout must be greater than 0 ms");
}

// The process's standard output, not Python's sys.stdout: this runs on the
// acquisition thread, which never takes the interpreter lock. One write, so
// that a line from another thread cannot land inside it.
void echoDeviceError(const std::string& line) {
  std::string echo;
  echo.reserve(line.size() + 5);
  echo += "ERR ";
  echo += line;
  echo += '\n';
  std::fwrite(echo.data(), 1, echo.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

bool ProtocolStringConfigurable::readSample(std::vector<double>& sample, PortHolder& comms) {
  receiveLine(comms);
  // Also drops a lone line feed, and one byte cut off by the time-out, which
  // could not be told apart from the start of a reply.
  if (line_.size() < 2) return false;
  switch (line_[0]) {
    case 'E':
      echoDeviceError(line_);
      completeAll(status::kDeviceError);
      return false;
    case 'O':
      completeAll(status::kOk);
      return false;
    case 'R':
    case 'r':
      handleReadReply();
      return false;
    default:
      return parseLine(sample, line_);
  }
}

void ProtocolStringConfigurable::handleReadReply() {
  const std::uint16_t result = decodeReadReply(line_, decoded_bytes_);
  if (result != status::kOk) {
    completeAll(result);
    return;
  }
  try {
    completeRead(decoded_bytes_);
  } catch (const std::exception&) {
    // The waiting read must still end, if not with the data.
    completeAll(status::kUnreadable);
  }
}

void ProtocolStringConfigurable::completeRead(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(read_mutex_);
  reply_bytes_ = bytes;
  read_status_ = status::kOk;
  read_done_ = true;
  read_cv_.notify_all();
}

void ProtocolStringConfigurable::completeAll(std::uint16_t result) {
  // The read mutex first, on every path that holds both.
  std::lock_guard<std::mutex> read_lock(read_mutex_);
  std::lock_guard<std::mutex> write_lock(write_mutex_);
  read_status_ = result;
  read_done_ = true;
  read_cv_.notify_all();
  write_status_ = result;
  write_done_ = true;
  write_cv_.notify_all();
}

void ProtocolStringConfigurable::readRegister(std::uint16_t address, std::uint16_t id,
                                              std::vector<std::uint8_t>& out, PortHolder& comms,
                                              std::int64_t timeout_ms) {
  checkTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatReadRequest(address, id);
  {
    // Before the request goes out: its reply may arrive before this thread
    // runs again.
    std::lock_guard<std::mutex> lock(read_mutex_);
    read_done_ = false;
    read_status_ = status::kPending;
  }
  port.write(request);

  std::unique_lock<std::mutex> lock(read_mutex_);
  if (!read_cv_.wait_until(lock, deadlineAfter(timeout_ms), [this] { return read_done_; })) {
    out.clear();
    throw std::runtime_error("Register read timeout");
  }
  read_done_ = false;
  if (read_status_ != status::kOk) {
    throw std::runtime_error("Register read error: " + std::to_string(read_status_));
  }
  out = reply_bytes_;
}

void ProtocolStringConfigurable::writeRegister(std::uint16_t address, std::uint16_t id,
                                               const std::vector<std::uint8_t>& data, PortHolder& comms,
                                               std::int64_t timeout_ms) {
  checkTimeout(timeout_ms);
  serial::Serial& port = portOf(comms);
  const std::string request = formatWriteRequest(address, id, data);
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    write_done_ = false;
    write_status_ = status::kPending;
  }
  port.write(request);

  std::unique_lock<std::mutex> lock(write_mutex_);
  if (!write_cv_.wait_until(lock, deadlineAfter(timeout_ms), [this] { return write_done_; })) {
    throw std::runtime_error("Register write timeout");
  }
  write_done_ = false;
  if (write_status_ != status::kOk) {
    throw std::runtime_error("Register write error: " + std::to_string(write_status_));
  }
}

}  // namespace feltwise_comm
