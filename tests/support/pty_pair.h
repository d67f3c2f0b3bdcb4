// A pseudo-terminal pair for tests: the code under test opens the slave side
// by its path, exactly as it would open a USB serial adapter, and the test
// plays the sensor on the master side.
#ifndef FELTWISE_TESTS_SUPPORT_PTY_PAIR_H
#define FELTWISE_TESTS_SUPPORT_PTY_PAIR_H

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
  // Pulls the plug: the slave side sees a hang-up.
  void unplug();
  int masterFd() const { return master_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// The settings the comms object opens its port with.
serial::Timeouts commsTimeouts();
std::unique_ptr<serial::Serial> openCommsPort(const std::string& path);

// A version-1 sample frame with the given values.
std::vector<std::uint8_t> binaryFrame(const std::vector<std::uint16_t>& values);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_PTY_PAIR_H
