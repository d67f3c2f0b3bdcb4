// A serial line for tests: the code under test opens one end by its path,
// exactly as it would open a USB serial adapter, and the test plays the
// sensor on the other end.
//
// On POSIX the line is a pseudo-terminal (openpty): path() is the slave, the
// test holds the master. A Windows build runs under Wine, which cannot make a
// pseudo-terminal but maps COM ports to Linux tty devices: there the line is a
// null-modem cable that tools/test-windows.sh lays outside Wine (two
// pseudo-terminals joined by a relay), path() is the COM port of one end and
// the test opens the other end's COM port. The cables are named in
// FELTWISE_TEST_NULL_MODEMS ("COM21:COM22,COM23:COM24": library end, then
// sensor end); each PtyPair takes the next cable that is free.
//
// One thread receives and one thread sends at a time.
#ifndef FELTWISE_TESTS_SUPPORT_PTY_PAIR_H
#define FELTWISE_TESTS_SUPPORT_PTY_PAIR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial/serial.h"

namespace feltwise_test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }

  // The sensor's side.
  void send(const std::vector<std::uint8_t>& bytes);
  void send(const std::string& text);
  // Everything the host wrote, waiting up to `timeout_ms` for `at_least` bytes.
  std::vector<std::uint8_t> receive(std::size_t at_least, int timeout_ms = 1000);
  // Up to `size` bytes the host wrote, waiting up to `wait_ms` for the first;
  // 0 when none came (or the line is gone).
  std::size_t receiveSome(std::uint8_t* into, std::size_t size, int wait_ms);
  // Hands over what the line takes, waiting up to `wait_ms` for room; returns
  // how many bytes it took. Throws std::runtime_error when the line is gone.
  std::size_t sendSome(const std::uint8_t* data, std::size_t size, int wait_ms);

  // Pulls the plug: the library's side sees a hang-up. Only a pseudo-terminal
  // the test owns can do that; see canUnplug().
  void unplug();
  static bool canUnplug();
  // Whether a second open of path() is refused while the code under test
  // holds it: Windows opens ports exclusively and the POSIX port locks its
  // tty, but Wine opens the tty behind a COM port shared.
  static bool opensExclusively();
  // The system's error number for opening a port name that does not exist
  // ("/dev/..." is a missing path to Windows), and its text ("" where the
  // text is the system's own wording and not worth pinning).
  static int missingPortError();
  static std::string missingPortErrorText();

 private:
#ifdef _WIN32
  void* sensor_ = nullptr;  // HANDLE of the sensor end's COM port
  int read_wait_ms_ = -1;   // the read time-out the sensor end is set to
#else
  int master_ = -1;
  int slave_ = -1;
#endif
  std::string path_;
};

// For a test that pulls the plug: it is skipped where the line cannot be pulled.
#define FELTWISE_SKIP_UNLESS_UNPLUGGABLE()    \
  if (!::feltwise_test::PtyPair::canUnplug()) \
  GTEST_SKIP() << "the null-modem cable of a Wine run lives outside the test and cannot be pulled"

// The settings the comms object opens its port with.
serial::Timeouts commsTimeouts();
std::unique_ptr<serial::Serial> openCommsPort(const std::string& path);

// A version-1 sample frame with the given values.
std::vector<std::uint8_t> binaryFrame(const std::vector<std::uint16_t>& values);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_PTY_PAIR_H
