// The port implementation the fuzz targets are built with instead of the
// POSIX one: the same `Serial::SerialImpl`, reading from and writing to the
// process's MemoryLine. Opening needs a name, as a device would, and sets no
// line state; time-outs are kept but never waited for (see memory_line.h).
#ifndef FELTWISE_FUZZ_MEMORY_PORT_SERIAL_IMPL_H
#define FELTWISE_FUZZ_MEMORY_PORT_SERIAL_IMPL_H

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
  virtual ~SerialImpl() = default;

  void open();
  void close() { is_open_ = false; }
  bool isOpen() const { return is_open_; }

  void setTimeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
  Timeouts getTimeouts() const { return timeouts_; }

  std::size_t read(std::vector<std::uint8_t>& out, std::size_t size);
  std::size_t readLine(std::string& out, std::size_t size, const std::string& eol);
  // Reads here never wait, so there is nothing to stop.
  void stopReading() {}
  // Shows nothing read ahead, as the Windows port does: every frame is handed off.
  std::size_t peekReceived(std::uint8_t*, std::size_t) const { return 0; }
  std::size_t write(const std::uint8_t* data, std::size_t size);
  void flush();
  void discardOutput();

  void readLock() { read_mutex_.lock(); }
  void readUnlock() { read_mutex_.unlock(); }
  void writeLock() { write_mutex_.lock(); }
  void writeUnlock() { write_mutex_.unlock(); }

 private:
  std::string port_;
  bool is_open_ = false;
  Timeouts timeouts_;
  std::mutex read_mutex_;
  std::mutex write_mutex_;
};

}  // namespace serial

#endif  // FELTWISE_FUZZ_MEMORY_PORT_SERIAL_IMPL_H
