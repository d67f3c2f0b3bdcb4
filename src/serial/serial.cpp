// The facade: everything about a port that does not depend on the operating
// system. The platform port (impl/platform_port.h) only moves bytes; the
// rules of when a call returns are all here, so that every system, and the
// in-memory port of the tests and fuzzers, keeps them alike.
#include "serial/serial.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "serial/deadline.h"
#include "serial/impl/platform_port.h"

namespace serial {
namespace {

// One platform read takes whatever the device holds, up to this much: enough
// for a burst of the largest frames without a system call per frame.
constexpr std::size_t kReceiveBufferSize = 16384;

std::unique_lock<std::mutex> claim(std::mutex& mutex, const char* failure) {
  try {
    return std::unique_lock<std::mutex>(mutex);
  } catch (const std::system_error&) {
    FELTWISE_THROW_IO(failure);
  }
}

constexpr const char* kReadLockFailure = "Error claiming read mutex.";
constexpr const char* kWriteLockFailure = "Error claiming write mutex.";

// Does the line, the bytes of `text` from `start` on extended by the first
// `extra` bytes of `chunk`, end with `eol`?
bool endsWith(const std::string& text, std::size_t start, const std::uint8_t* chunk, std::size_t extra,
              const std::string& eol) {
  const std::size_t held = text.size() - start;
  const std::size_t total = held + extra;
  if (total < eol.size()) return false;
  for (std::size_t k = 0; k < eol.size(); ++k) {
    const std::size_t pos = total - 1 - k;
    const char c = pos >= held ? static_cast<char>(chunk[pos - held]) : text[start + pos];
    if (c != eol[eol.size() - 1 - k]) return false;
  }
  return true;
}

// How many of the `size` bytes at `chunk` belong to the line begun at
// `start` in `text`: up to and with the `eol` that ends it (`found`), or all.
std::size_t lineEnd(const std::string& text, std::size_t start, const std::uint8_t* chunk, std::size_t size,
                    const std::string& eol, bool& found) {
  found = false;
  if (eol.empty()) return size;
  const auto last = static_cast<unsigned char>(eol.back());
  std::size_t scanned = 0;
  while (scanned < size) {
    const void* hit = std::memchr(chunk + scanned, last, size - scanned);
    if (hit == nullptr) break;
    scanned = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - chunk) + 1;
    if (endsWith(text, start, chunk, scanned, eol)) {
      found = true;
      return scanned;
    }
  }
  return size;
}

}  // namespace

Serial::Serial(const std::string& port, std::uint32_t baudrate, Timeouts timeouts, ByteSize bytesize, Parity parity,
               StopBits stopbits, FlowControl flowcontrol)
    : port_(port),
      baudrate_(baudrate),
      bytesize_(bytesize),
      parity_(parity),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol),
      received_(kReceiveBufferSize),
      platform_(std::make_unique<impl::PlatformPort>()) {
  if (!port_.empty()) open();
  setTimeouts(timeouts);
}

Serial::~Serial() {
  try {
    close();
  } catch (...) {
  }
}

void Serial::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (is_open_) throw SerialException("Serial port already open.");
  dropped_at_open_ = platform_->open(port_, {baudrate_, bytesize_, parity_, stopbits_, flowcontrol_});
  received_.clear();
  is_open_ = true;
}

void Serial::close() {
  if (!is_open_) return;
  is_open_ = false;
  received_.clear();
  platform_->close();
}

bool Serial::isOpen() const { return is_open_; }

void Serial::forgetAfterFork() noexcept {
  is_open_ = false;
  platform_->forgetAfterFork();
}

void Serial::setTimeouts(const Timeouts& timeouts) {
  // Readers and writers consult the record and the receive buffer under their
  // own locks; take both so that a change never tears a running call.
  auto read_lock = claim(read_mutex_, kReadLockFailure);
  auto write_lock = claim(write_mutex_, kWriteLockFailure);
  timeouts_ = timeouts;
  if (!is_open_) return;
  dropped_at_open_ += platform_->configure({baudrate_, bytesize_, parity_, stopbits_, flowcontrol_}) + received_.size();
  received_.clear();
}

Timeouts Serial::getTimeouts() const { return timeouts_; }

void Serial::flush() {
  auto read_lock = claim(read_mutex_, kReadLockFailure);
  auto write_lock = claim(write_mutex_, kWriteLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::flush");
  platform_->drain();
}

void Serial::discardOutput() {
  auto lock = claim(write_mutex_, kWriteLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::discardOutput");
  platform_->discardOutput();
}

void Serial::stopReading() { reading_stopped_.store(true, std::memory_order_relaxed); }

bool Serial::fillReceiveBuffer(const Deadline& total, bool gap_limited) {
  received_.clear();
  if (reading_stopped_.load(std::memory_order_relaxed)) return false;
  // The gap between two bytes is measured from the last byte handed out.
  const Deadline deadline = gap_limited ? gapDeadline(timeouts_, total) : total;
  received_.filled(platform_->readSome(received_.space(), received_.capacity(), deadline));
  if (received_.size() == 0) return false;
  // One clock read per batch of bytes the device hands over, not per byte.
  last_received_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  return true;
}

std::size_t Serial::read(std::vector<std::uint8_t>& buffer, std::size_t size) {
  return readUntil(buffer, size, Deadline::never());
}

std::size_t Serial::read(std::vector<std::uint8_t>& buffer, std::size_t size,
                         std::chrono::steady_clock::time_point give_up) {
  return readUntil(buffer, size, Deadline::at(give_up));
}

std::size_t Serial::readUntil(std::vector<std::uint8_t>& buffer, std::size_t size, const Deadline& give_up) {
  auto lock = claim(read_mutex_, kReadLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  if (size == 0) return 0;
  std::size_t got = 0;
  for (;;) {
    const std::size_t take = std::min(received_.size(), size - got);
    buffer.insert(buffer.end(), received_.data(), received_.data() + take);
    received_.consume(take);
    got += take;
    if (got == size || give_up.passed()) return got;
    // Counted afresh whenever the buffer runs dry, that is at the call or just
    // after bytes arrived: the total bounds a silence. A 2050-byte frame takes
    // 180 ms at 115200 baud, and must not be cut at 100 ms while it arrives.
    // The clock is read only then.
    if (!fillReceiveBuffer(readDeadline(timeouts_, size).earlier(give_up), got != 0)) return got;
  }
}

std::size_t Serial::peekReceived(std::uint8_t* into, std::size_t size) {
  auto lock = claim(read_mutex_, kReadLockFailure);
  return received_.peek(into, size);
}

std::size_t Serial::takeReceivedBy(std::size_t size, TakeBytes call, void* take) {
  auto lock = claim(read_mutex_, kReadLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  // The wait of a read's first byte: the same deadline, no gap limit yet.
  if (received_.size() == 0 && !fillReceiveBuffer(readDeadline(timeouts_, size), false)) return 0;
  const std::size_t held = received_.size();
  received_.consume(std::min(call(take, received_.data(), held), held));
  return held;
}

std::size_t Serial::readLine(std::string& buffer, std::size_t size, const std::string& eol) {
  auto lock = claim(read_mutex_, kReadLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  const std::size_t start = buffer.size();
  std::size_t got = 0;
  while (got < size) {
    // As in read(): the time-out counts from the call or the last bytes
    // received, so a long line still arriving is never cut; only a line that
    // falls silent ends without its end of line.
    if (received_.size() == 0 && !fillReceiveBuffer(readDeadline(timeouts_, size), got != 0)) break;
    // Only the bytes of this call count: an end of line already in `buffer`
    // before it does not end the line.
    bool found = false;
    const std::size_t take =
        lineEnd(buffer, start, received_.data(), std::min(received_.size(), size - got), eol, found);
    buffer.append(reinterpret_cast<const char*>(received_.data()), take);
    received_.consume(take);
    got += take;
    if (found) break;
  }
  return got;
}

std::size_t Serial::bytesDroppedAtOpen() const { return dropped_at_open_.load(); }

std::chrono::steady_clock::time_point Serial::lastReceivedAt() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(last_received_.load(std::memory_order_relaxed)));
}

std::uint64_t Serial::lineTimeMs(std::size_t bytes) const {
  return serial::lineTimeMs(bytes, baudrate_, bytesize_, parity_, stopbits_);
}

std::string Serial::readLine(std::size_t size, const std::string& eol) {
  std::string line;
  readLine(line, size, eol);
  return line;
}

std::size_t Serial::write(const std::string& data) {
  return write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::size_t Serial::write(const std::vector<std::uint8_t>& data) { return write(data.data(), data.size()); }

std::size_t Serial::write(const std::uint8_t* data, std::size_t size) {
  auto lock = claim(write_mutex_, kWriteLockFailure);
  if (!is_open_) throw PortNotOpenedException("Serial::write");
  const Deadline deadline = writeDeadline(timeouts_, size, lineTimeMs(size));
  std::size_t done = 0;
  while (done < size) {
    const std::size_t taken = platform_->writeSome(data + done, size - done, deadline);
    if (taken == 0) break;
    done += taken;
  }
  return done;
}

}  // namespace serial
