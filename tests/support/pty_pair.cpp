#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace feltwise_test {

PtyPair::PtyPair() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  termios tio{};
  ::tcgetattr(master_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(master_, TCSANOW, &tio);
  path_ = name;
  // The slave stays open here so the line does not hang up between the
  // test's steps; the code under test opens it again by path.
}

PtyPair::~PtyPair() {
  if (master_ != -1) ::close(master_);
  if (slave_ != -1) ::close(slave_);
}

void PtyPair::send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      throw std::runtime_error("write to pty master failed");
    } else {
      pollfd pfd{master_, POLLOUT, 0};
      ::poll(&pfd, 1, 100);
    }
  }
}

void PtyPair::send(const std::string& text) { send(std::vector<std::uint8_t>(text.begin(), text.end())); }

std::vector<std::uint8_t> PtyPair::receive(std::size_t at_least, int timeout_ms) {
  std::vector<std::uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t chunk[4096];
  while (out.size() < at_least) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

void PtyPair::unplug() {
  if (slave_ != -1) ::close(slave_);
  slave_ = -1;
  if (master_ != -1) ::close(master_);
  master_ = -1;
}

serial::Timeouts commsTimeouts() { return serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0); }

std::unique_ptr<serial::Serial> openCommsPort(const std::string& path) {
  return std::make_unique<serial::Serial>(path, 115200, commsTimeouts(), serial::eightbits, serial::parity_none,
                                          serial::stopbits_one, serial::flowcontrol_none);
}

std::vector<std::uint8_t> binaryFrame(const std::vector<std::uint16_t>& values) {
  std::vector<std::uint8_t> frame{0xFF, 0xFF, static_cast<std::uint8_t>(values.size() & 0xFF),
                                  static_cast<std::uint8_t>(values.size() >> 8)};
  for (std::uint16_t v : values) {
    frame.push_back(static_cast<std::uint8_t>(v & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return frame;
}

}  // namespace feltwise_test
