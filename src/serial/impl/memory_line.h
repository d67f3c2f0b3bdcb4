// The other end of the in-memory port (platform_port_memory.cpp beside it, in place
// of the system's): a sensor that plays bytes from memory, so that a fuzz
// input reaches `readSample` through the real `serial::Serial` facade without
// a pseudo-terminal, a system call or a clock, and the facade's tests check
// its buffering and line reading byte for byte. Everything else is tested on
// real pseudo-terminals.
//
// One line per process. The bytes loaded are the sensor's stream, cut by two
// markers that never reach the reader:
//   <pause>   the sensor falls silent for longer than a read time-out: a read
//             that reaches it returns short with what came before it, and the
//             read after it starts on what follows;
//   <unplug>  the device disappears: the read that reaches it throws
//             IOException, as the POSIX port does on a hang-up; what follows
//             is the stream of the next connection.
// The end of the stream is a pause that never ends.
#ifndef FELTWISE_SERIAL_IMPL_MEMORY_MEMORY_LINE_H
#define FELTWISE_SERIAL_IMPL_MEMORY_MEMORY_LINE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace serial::impl {

class MemoryLine {
 public:
  static constexpr const char* kPause = "<pause>";
  static constexpr const char* kUnplug = "<unplug>";

  static MemoryLine& instance();

  // Replaces the stream and forgets what was written. Reading side only.
  void load(const std::uint8_t* data, std::size_t size);
  // Adds to the end of the stream, markers included. Reading side only.
  void append(const std::string& more);
  // Every byte and marker has left the line; the port may still hold bytes
  // it read ahead (Serial::peekReceived).
  bool exhausted() const;

  // The reading side, called under the port's read lock: moves the bytes
  // before the next marker, up to `capacity`, into `into`. With none there,
  // passes the marker and returns 0 (the read timed out), or throws
  // IOException for an unplug.
  std::size_t readSome(std::uint8_t* into, std::size_t capacity);

  // The writing side, called under the port's write lock; any thread.
  void write(const std::uint8_t* data, std::size_t size);
  // Waits until `count` bytes were written since the last load.
  bool waitForWritten(std::size_t count, std::chrono::milliseconds limit);

 private:
  enum class Stop { kPause, kUnplug };
  struct Marker {
    std::size_t at;  // position in bytes_
    Stop stop;
  };

  void parse(const std::uint8_t* data, std::size_t size);
  // Bytes readable before the next marker.
  std::size_t available() const;
  // At a marker: consumes it; throws for an unplug.
  void passMarker();

  std::vector<std::uint8_t> bytes_;
  std::vector<Marker> markers_;
  std::size_t position_ = 0;
  std::size_t next_marker_ = 0;

  std::mutex written_mutex_;
  std::condition_variable written_cv_;
  std::size_t written_ = 0;
};

}  // namespace serial::impl

#endif  // FELTWISE_SERIAL_IMPL_MEMORY_MEMORY_LINE_H
