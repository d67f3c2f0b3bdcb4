// The serial port layer: one facade, `Serial`, that owns the locks, the
// receive buffer, line reading and the time-out rules, over one small
// platform port per operating system (impl/platform_port.h: platform_port_posix.cpp,
// platform_port_win.cpp) that makes the system calls.
//
// Contract
// - A port is opened by the constructor when its name is not empty, with the
//   given line settings, then configured with the given time-outs.
// - Reads follow the `Timeouts` rule: a call returns when everything asked for
//   has arrived or when the line has been silent for its total read time,
//   counted from the call or from the last byte received, whichever is later;
//   it returns with what arrived. A frame or line still arriving is never cut,
//   however slowly the adapter hands it over; a silent line ends the call after
//   one time-out. A time-out is not an error; a device that fails or
//   disappears is. `takeReceived` waits only while nothing is held, as such
//   a read waits for its first byte, and then shows what is held.
// - Writes may take their total write time plus the time the line needs to
//   carry the bytes at the port's baud rate and character frame.
// - Two locks: the read lock serialises `read`, `readLine`, `peekReceived` and
//   `takeReceived`, the write lock the three `write`s, so a request can be
//   written while a reader waits.
//   `flush` and `setTimeouts` take the read lock, then the write lock. `close`, `isOpen`,
//   `bytesDroppedAtOpen`, `lastReceivedAt`, `lineTimeMs`, the constructor and the destructor
//   take no lock.
// - Once sizes settle nothing allocates: the receive buffer is allocated with
//   the port, reads append to the caller's buffer, and `takeReceived` lets
//   the caller decode from the receive buffer itself, copying nothing.
#ifndef FELTWISE_SERIAL_SERIAL_H
#define FELTWISE_SERIAL_SERIAL_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/exceptions.h"
#include "serial/receive_buffer.h"

namespace serial {

class Deadline;
namespace impl {
class PlatformPort;
}

enum ByteSize : std::int32_t { fivebits = 5, sixbits = 6, sevenbits = 7, eightbits = 8 };

enum Parity : std::int32_t { parity_none = 0, parity_odd = 1, parity_even = 2, parity_mark = 3, parity_space = 4 };

enum StopBits : std::int32_t { stopbits_one = 1, stopbits_two = 2, stopbits_one_point_five = 3 };

enum FlowControl : std::int32_t { flowcontrol_none = 0, flowcontrol_software = 1, flowcontrol_hardware = 2 };

// Milliseconds. A read of n bytes waits read_constant_ms + read_per_byte_ms * n
// for the first byte, and as long again after every byte that arrives: the
// total bounds a silence, not a transfer making progress (a 2 KiB frame takes
// 180 ms at 115200 baud). When both are 0 there is no total limit.
// inter_byte_ms bounds the gap between two received bytes; 0xFFFFFFFF (and 0)
// set no gap limit, and 0xFFFFFFFF with both read totals 0 makes a read return
// at once with what the device already holds. A write of n bytes may take
// write_constant_ms + write_per_byte_ms * n plus the line time of n bytes
// (lineTimeMs); when both write fields are 0 there is no limit.
struct Timeouts {
  static constexpr std::uint32_t max() { return 0xFFFFFFFFu; }

  Timeouts() = default;
  Timeouts(std::uint32_t inter_byte, std::uint32_t read_constant, std::uint32_t read_per_byte,
           std::uint32_t write_constant, std::uint32_t write_per_byte)
      : inter_byte_ms(inter_byte),
        read_constant_ms(read_constant),
        read_per_byte_ms(read_per_byte),
        write_constant_ms(write_constant),
        write_per_byte_ms(write_per_byte) {}

  std::uint32_t inter_byte_ms = 0;
  std::uint32_t read_constant_ms = 0;
  std::uint32_t read_per_byte_ms = 0;
  std::uint32_t write_constant_ms = 0;
  std::uint32_t write_per_byte_ms = 0;
};

class Serial {
 public:
  // Opens `port` unless it is empty, then applies `timeouts`.
  // Throws std::invalid_argument for bad line settings, IOException when the
  // device cannot be opened or configured.
  explicit Serial(const std::string& port = "", std::uint32_t baudrate = 9600, Timeouts timeouts = Timeouts(),
                  ByteSize bytesize = eightbits, Parity parity = parity_none, StopBits stopbits = stopbits_one,
                  FlowControl flowcontrol = flowcontrol_none);
  virtual ~Serial();

  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  void open();
  void close();
  bool isOpen() const;

  // In a child process after fork(), where the threads that used this port
  // do not exist and the locks they held stay held: closes the child's copy
  // of the device without taking a lock and without touching the parent's
  // (its lock and exclusive mode stay). Only the destructor may follow, and
  // only where no lock can be held; leaking the object is the safe choice.
  void forgetAfterFork() noexcept;

  void setTimeouts(const Timeouts& timeouts);
  Timeouts getTimeouts() const;

  // Waits until the device has sent what was written to it. Bytes already
  // received stay queued.
  void flush();

  // Drops what was written but not yet sent, so that a request the port
  // could not send whole does not reach the device glued to the next one.
  // Takes the write lock.
  void discardOutput();

  // Makes every read in progress, and every later one, return at once with
  // what it has, as at a time-out. For a thread about to close the port while
  // another may be reading a stream that never falls silent (a device sending
  // text without line feeds keeps a line read going for seconds). Takes no lock.
  void stopReading();

  // Appends up to `size` bytes to `buffer`; returns how many arrived.
  std::size_t read(std::vector<std::uint8_t>& buffer, std::size_t size = 1);
  // The same, but it also returns once `give_up` has passed, with what came
  // by then: for a decoder whose bytes may not hold up the stream past a
  // moment of its own, however steadily they arrive.
  std::size_t read(std::vector<std::uint8_t>& buffer, std::size_t size, std::chrono::steady_clock::time_point give_up);

  // Copies up to `size` of the bytes that have arrived but not been read yet
  // into `into`, without waiting and without asking the device; returns how
  // many are waiting in all (possibly more than `size`). Lets a decoder tell
  // whether a whole frame is already here.
  std::size_t peekReceived(std::uint8_t* into, std::size_t size);

  // Lets a decoder take its bytes where they lie, under one lock: shows
  // `take(bytes, count)` every byte that has arrived and not been read yet,
  // and removes as many as it returns (0 leaves them all to later reads).
  // With none held it first waits for the device as a read of `size` bytes
  // waits for its first one; `take` is not called when none came by then (a
  // time-out) or reading was stopped. Returns how many bytes `take` was
  // shown. `take` runs under the read lock: it must not call the port.
  template <typename Take>
  std::size_t takeReceived(std::size_t size, Take& take) {
    return takeReceivedBy(size, &callTake<Take>, &take);
  }

  // Reads until `eol` has been read, `size` bytes were stored or the line has
  // been silent for the read time-out (counted from the call or the last byte
  // received). Appends the bytes, `eol` included, to `buffer` and returns how
  // many.
  std::size_t readLine(std::string& buffer, std::size_t size = 65536, const std::string& eol = "\n");
  std::string readLine(std::size_t size = 65536, const std::string& eol = "\n");

  // Received bytes the device held, and the port dropped, since it was opened
  // (every configuration starts the input afresh: the open's own, and
  // setTimeouts). More than 0 means the device was already sending as the
  // port opened, so what follows may start part-way through its data.
  std::size_t bytesDroppedAtOpen() const;
  // When bytes last came from the device (the steady clock; its epoch before
  // the first). A device that sent a moment ago is still sending.
  std::chrono::steady_clock::time_point lastReceivedAt() const;

  // Milliseconds, rounded up, that the line needs to carry `bytes` at this
  // port's settings (lineTimeMs below).
  std::uint64_t lineTimeMs(std::size_t bytes) const;

  // Write everything or until the write time-out (line time included); return
  // the bytes accepted.
  std::size_t write(const std::string& data);
  std::size_t write(const std::vector<std::uint8_t>& data);
  std::size_t write(const std::uint8_t* data, std::size_t size);

 private:
  // Refills the empty receive buffer with what the device holds, waiting
  // until `total` (or the gap limit, once bytes have come) for the first
  // byte. False on time-out or once reading was stopped.
  bool fillReceiveBuffer(const Deadline& total, bool gap_limited);
  std::size_t readUntil(std::vector<std::uint8_t>& buffer, std::size_t size, const Deadline& give_up);

  using TakeBytes = std::size_t (*)(void* take, const std::uint8_t* bytes, std::size_t count);
  template <typename Take>
  static std::size_t callTake(void* take, const std::uint8_t* bytes, std::size_t count) {
    return (*static_cast<Take*>(take))(bytes, count);
  }
  std::size_t takeReceivedBy(std::size_t size, TakeBytes call, void* take);

  std::string port_;
  std::uint32_t baudrate_;
  ByteSize bytesize_;
  Parity parity_;
  StopBits stopbits_;
  FlowControl flowcontrol_;
  Timeouts timeouts_;  // guarded by both locks: either one to read it
  std::atomic<bool> is_open_{false};
  std::atomic<bool> reading_stopped_{false};
  std::atomic<std::size_t> dropped_at_open_{0};
  std::atomic<std::chrono::steady_clock::duration::rep> last_received_{0};

  std::mutex read_mutex_;
  std::mutex write_mutex_;
  ReceiveBuffer received_;  // guarded by the read lock
  std::unique_ptr<impl::PlatformPort> platform_;
};

// Milliseconds, rounded up, that the line needs to carry `bytes` characters at
// `baudrate`: each is a start bit, its data bits, a parity bit unless
// parity_none, and its stop bits (one and a half counted as two). 0 for a
// baud rate of 0.
std::uint64_t lineTimeMs(std::size_t bytes, std::uint32_t baudrate, ByteSize bytesize, Parity parity,
                         StopBits stopbits);

// The path the Windows device namespace needs: `port` prefixed with "\\.\"
// unless it already begins with it ("COM10" cannot be opened without it).
std::wstring windowsDevicePath(const std::string& port);

}  // namespace serial

#endif  // FELTWISE_SERIAL_SERIAL_H
