// The seam between the `Serial` facade and the operating system: one
// definition of `PlatformPort` per system (platform_port_posix.cpp,
// platform_port_win.cpp), chosen by the build, and an in-memory one
// (platform_port_memory.cpp) that the fuzzers and the facade's own tests put
// in their place. It makes system calls and nothing else: the
// facade owns the locks, the receive buffer, the time-out rules and the
// checks that the port is open, and calls in here under its locks: reads
// under the read lock, writes and discardOutput under the write lock, the
// rest under both or (open, close) under none.
//
// Failures raise IOException (the system's error number on it) with the
// texts each definition documents; bad line settings raise
// std::invalid_argument.
#ifndef FELTWISE_SERIAL_IMPL_PLATFORM_PORT_H
#define FELTWISE_SERIAL_IMPL_PLATFORM_PORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/deadline.h"
#include "serial/serial.h"

namespace serial::impl {

struct LineSettings {
  std::uint32_t baudrate;
  ByteSize bytesize;
  Parity parity;
  StopBits stopbits;
  FlowControl flowcontrol;
};

class PlatformPort {
 public:
  PlatformPort();
  ~PlatformPort();
  PlatformPort(const PlatformPort&) = delete;
  PlatformPort& operator=(const PlatformPort&) = delete;

  // Opens the device `name` and applies `settings`; on failure nothing stays
  // open. Returns how many received bytes the device held, and dropped, as
  // the settings were applied: a device already sending.
  std::size_t open(const std::string& name, const LineSettings& settings);
  // Applies `settings` to the open device again and drops what it holds in
  // either direction; returns how many received bytes it dropped.
  std::size_t configure(const LineSettings& settings);
  // Releases the device, also when the system reports an error on the way.
  void close();
  // In a child process after fork(): closes this process's copy of the
  // device and nothing else. The parent's port stays as it was, locked and
  // exclusive.
  void forgetAfterFork() noexcept;

  // Waits until `deadline` for at least one byte, then moves what the device
  // holds, up to `capacity`, into `into`. 0 when the deadline passed with
  // nothing; a deadline already passed still takes what is there.
  std::size_t readSome(std::uint8_t* into, std::size_t capacity, const Deadline& deadline);
  // Hands the device up to `size` bytes, waiting until `deadline` for room;
  // how many it took, 0 once the deadline passed without room.
  std::size_t writeSome(const std::uint8_t* data, std::size_t size, const Deadline& deadline);
  // Waits until the device has sent what it was given.
  void drain();
  // Drops what it was given and has not sent.
  void discardOutput();

 private:
  struct Device;
  std::unique_ptr<Device> device_;
};

}  // namespace serial::impl

#endif  // FELTWISE_SERIAL_IMPL_PLATFORM_PORT_H
