// The library's only console output (the models' not-plugged-in line and the
// echo of a device's error lines) goes through here, to the process's
// standard output: the file descriptor (the handle on Windows), not Python's
// sys.stdout and not the C stdio buffer.
//
// Threads
// - Any thread may post, the acquisition threads above all. A post never
//   waits for the console: it copies the text into a bounded queue under a
//   short lock and returns. A line that does not fit whole is dropped, and
//   counted, rather than delay the sensor; lines are never cut or interleaved.
// - One writer thread, started on the first post, empties the queue. It is
//   detached and the queue is never freed, so a writer stuck on a full pipe
//   that nobody reads holds up nothing: no acquisition thread, no destructor,
//   and not the process's exit.
// - At a normal exit the writer gets up to one second to write out what is
//   queued; a console that stays blocked longer loses the rest.
// - A thread may send its notices elsewhere instead (a Redirect on that
//   thread): feltwise.Sensor's acquisition threads do, so that Python's
//   logging reports them, naming the sensor and the unit.
#ifndef FELTWISE_CONSOLE_CONSOLE_SINK_H
#define FELTWISE_CONSOLE_CONSOLE_SINK_H

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace feltwise_comm {
namespace console {

// What the library tells its console, told to a listener instead.
enum class Notice {
  // A model's unit names a raw channel that the sample does not have: the
  // models' "configured but not plugged in" line. No text.
  kUnitNotPluggedIn,
  // A device's error line (protocol version 3), as the device sent it.
  kDeviceError,
};

class Listener {
 public:
  // Runs on the thread that installed the Redirect, where the notice arose
  // (inside a model's apply, or a protocol's read). Must not block or throw.
  virtual void notice(Notice kind, std::string_view text) noexcept = 0;

 protected:
  ~Listener() = default;
};

// While it lives, this thread's notices go to `listener` (every one of them:
// the listener decides what to keep), not to standard output. Nested
// redirects restore the outer one.
class Redirect {
 public:
  explicit Redirect(Listener* listener) noexcept;
  ~Redirect();
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

  // This thread's listener, or nullptr.
  static Listener* current() noexcept;

 private:
  Listener* previous_;
};

// `text` with its control bytes shown as \xHH, as postDeviceText shows them;
// a line feed at its end is dropped.
std::string visibleLine(std::string_view text);

// Queues `text` byte for byte. False when it was dropped.
bool post(std::string_view text) noexcept;

// Queues `prefix`, `device_text` with its control bytes made visible, then
// `suffix`, as one line; on a redirected thread, tells the listener
// (kDeviceError, `device_text` as it is) instead. Bytes below 0x20 and 0x7F become \xHH (ESC is \x1b),
// so that a device cannot move the cursor, recolour or retitle the terminal;
// a line feed that ends `device_text` stays as it is. Bytes from 0x80 pass
// unchanged, so UTF-8 text stays readable. Allocates nothing.
bool postDeviceText(std::string_view prefix, std::string_view device_text, std::string_view suffix) noexcept;

// Waits until everything queued so far is written, at most `limit`; true when
// it was. Output written by another path (std::cout, printf) is not ordered
// with these lines unless this is called in between.
bool drain(std::chrono::milliseconds limit) noexcept;

// Lines dropped since the process started because the queue was full (or no
// writer thread could be started).
std::uint64_t droppedLines() noexcept;

}  // namespace console
}  // namespace feltwise_comm

#endif  // FELTWISE_CONSOLE_CONSOLE_SINK_H
