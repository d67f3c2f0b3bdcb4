// The line of a PtyPair on POSIX: a pseudo-terminal of the test's own.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/pty_pair.h"

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
  // Non-blocking: every wait is a poll with a limit, so a sensor nobody reads
  // can still be stopped.
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  path_ = name;
  // The slave stays open here so the line does not hang up between the
  // test's steps; the code under test opens it again by path.
}

PtyPair::~PtyPair() {
  if (master_ != -1) ::close(master_);
  if (slave_ != -1) ::close(slave_);
}

std::size_t PtyPair::receiveSome(std::uint8_t* into, std::size_t size, int wait_ms) {
  // A pulled plug leaves master_ at -1, which poll() waits out without looking.
  pollfd pfd{master_, POLLIN, 0};
  if (::poll(&pfd, 1, wait_ms) <= 0) return 0;
  const ssize_t n = ::read(master_, into, size);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t PtyPair::sendSome(const std::uint8_t* data, std::size_t size, int wait_ms) {
  for (bool waited = false;; waited = true) {
    const ssize_t n = ::write(master_, data, size);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno != EINTR && errno != EAGAIN) throw std::runtime_error("write to pty master failed");
    if (waited) return 0;
    pollfd pfd{master_, POLLOUT, 0};
    ::poll(&pfd, 1, wait_ms);
  }
}

void PtyPair::unplug() {
  if (slave_ != -1) ::close(slave_);
  slave_ = -1;
  if (master_ != -1) ::close(master_);
  master_ = -1;
}

bool PtyPair::canUnplug() { return true; }

bool PtyPair::opensExclusively() { return true; }

int PtyPair::missingPortError() { return ENOENT; }

std::string PtyPair::missingPortErrorText() { return std::strerror(ENOENT); }

}  // namespace feltwise_test
