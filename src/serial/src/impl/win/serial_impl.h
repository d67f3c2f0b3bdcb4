// Windows implementation of the port, on the Win32 communications calls.
#ifndef FELTWISE_SERIAL_IMPL_WIN_SERIAL_IMPL_H
#define FELTWISE_SERIAL_IMPL_WIN_SERIAL_IMPL_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
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
  // ReadFile hands over exactly what was asked for: nothing waits here.
  std::size_t peekReceived(std::uint8_t*, std::size_t) const { return 0; }
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
  void applySettings();
  COMMTIMEOUTS commTimeouts() const;
  void restoreTimeouts();
  std::size_t readBytes(std::uint8_t* into, std::size_t size);

  std::wstring port_;
  HANDLE fd_ = INVALID_HANDLE_VALUE;
  bool is_open_ = false;
  Timeouts timeouts_;
  std::uint32_t baudrate_;
  Parity parity_;
  ByteSize bytesize_;
  StopBits stopbits_;
  FlowControl flowcontrol_;
  HANDLE read_mutex_ = nullptr;
  HANDLE write_mutex_ = nullptr;
  std::atomic<bool> reading_stopped_{false};
};

}  // namespace serial

#endif  // FELTWISE_SERIAL_IMPL_WIN_SERIAL_IMPL_H
