// POSIX (termios) implementation of the port. Linux today; nothing here goes
// beyond POSIX and the common termios ioctls, so macOS can follow.
#ifndef FELTWISE_SERIAL_IMPL_POSIX_SERIAL_IMPL_H
#define FELTWISE_SERIAL_IMPL_POSIX_SERIAL_IMPL_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace serial {

class Serial::SerialImpl {
 public:
  SerialImpl(const std::string& port, std::uint32_t baudrate, ByteSize bytesize, Parity parity, StopBits stopbits,
             FlowControl flowcontrol);
  virtual ~SerialImpl();

  void open();
  void close();
  bool isOpen() const { return is_open_; }

  void setTimeouts(const Timeouts& timeouts);
  Timeouts getTimeouts() const { return timeouts_; }

  std::size_t read(std::vector<std::uint8_t>& out, std::size_t size);
  std::size_t peekReceived(std::uint8_t* into, std::size_t size) const;
  std::size_t readLine(std::string& out, std::size_t size, const std::string& eol);
  std::size_t write(const std::uint8_t* data, std::size_t size);
  void flush();
  void discardOutput();
  void stopReading() { reading_stopped_.store(true, std::memory_order_relaxed); }

  void readLock();
  void readUnlock();
  void writeLock();
  void writeUnlock();

 private:
  using Clock = std::chrono::steady_clock;

  // When a read or write must give up; `bounded` false means never.
  struct Deadline {
    bool bounded = false;
    Clock::time_point at{};
  };

  void applySettings();
  Deadline readDeadline(std::size_t size) const;
  // Fills the receive buffer with what the kernel holds, waiting until
  // `total` (or the gap limit, once bytes have come) for the first byte.
  // False on time-out.
  bool fillReceiveBuffer(const Deadline& total, bool gap_limited);
  // Milliseconds to poll for: -1 without a deadline, 0 once it has passed.
  static int millisecondsLeft(const Deadline& deadline);
  // `total`, shortened to the gap limit counted from now.
  Deadline gapDeadline(const Deadline& total) const;
  std::size_t buffered() const { return rx_end_ - rx_begin_; }
  void discardReceiveBuffer() { rx_begin_ = rx_end_ = 0; }

  std::string port_;
  int fd_ = -1;
  bool is_open_ = false;
  Timeouts timeouts_;
  std::uint32_t baudrate_;
  Parity parity_;
  ByteSize bytesize_;
  StopBits stopbits_;
  FlowControl flowcontrol_;

  std::mutex read_mutex_;
  std::mutex write_mutex_;

  // Bytes read from the kernel but not yet handed out, in [rx_begin_, rx_end_).
  // Guarded by the read lock.
  std::vector<std::uint8_t> rx_;
  std::size_t rx_begin_ = 0;
  std::size_t rx_end_ = 0;
  bool kernel_may_hold_more_ = true;
  std::atomic<bool> reading_stopped_{false};
};

}  // namespace serial

#endif  // FELTWISE_SERIAL_IMPL_POSIX_SERIAL_IMPL_H
