#include "serial_impl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace serial {
namespace {

// One read() takes whatever the kernel holds, up to this much: enough for a
// burst of the largest frames without a system call per frame.
constexpr std::size_t kReceiveBufferSize = 16384;

std::string errnoText(int error) { return std::to_string(error); }

bool speedFor(std::uint32_t baudrate, speed_t& speed) {
  struct Entry {
    std::uint32_t baud;
    speed_t speed;
  };
  static const Entry table[] = {
      {0, B0},
      {50, B50},
      {75, B75},
      {110, B110},
      {134, B134},
      {150, B150},
      {200, B200},
      {300, B300},
      {600, B600},
      {1200, B1200},
      {1800, B1800},
      {2400, B2400},
      {4800, B4800},
      {9600, B9600},
      {19200, B19200},
      {38400, B38400},
      {57600, B57600},
      {115200, B115200},
      {230400, B230400},
#ifdef B460800
      {460800, B460800},
#endif
#ifdef B500000
      {500000, B500000},
#endif
#ifdef B576000
      {576000, B576000},
#endif
#ifdef B921600
      {921600, B921600},
#endif
#ifdef B1000000
      {1000000, B1000000},
#endif
#ifdef B1152000
      {1152000, B1152000},
#endif
#ifdef B1500000
      {1500000, B1500000},
#endif
#ifdef B2000000
      {2000000, B2000000},
#endif
#ifdef B3000000
      {3000000, B3000000},
#endif
#ifdef B4000000
      {4000000, B4000000},
#endif
  };
  for (const Entry& entry : table) {
    if (entry.baud == baudrate) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

// Pseudo-terminals and some adapters have no modem lines; that is not an error.
bool modemLinesUnsupported(int error) { return error == EINVAL || error == ENOTTY; }

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint32_t baudrate, ByteSize bytesize, Parity parity,
                               StopBits stopbits, FlowControl flowcontrol)
    : port_(port),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol),
      rx_(kReceiveBufferSize) {
  if (!port_.empty()) open();
}

Serial::SerialImpl::~SerialImpl() {
  try {
    close();
  } catch (...) {
  }
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (is_open_) throw SerialException("Serial port already open.");

  // O_NONBLOCK: open() must not wait for carrier detect, and every later wait
  // goes through poll() with the time left, never through a blocking read().
  const int fd = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    const int error = errno;
    if (error == ENOENT) FELTWISE_THROW_IO_SYSTEM("Specified port, " + port_ + ", does not exist.", error);
    if (error == EBUSY) {
      FELTWISE_THROW_IO_SYSTEM("Serial port " + port_ + " is busy: another program has it open.", error);
    }
    FELTWISE_THROW_IO_SYSTEM("Unknown error opening the serial port: " + errnoText(error), error);
  }

  // POSIX opens a tty shared by default, while Windows opens it exclusively.
  // Two readers on one port would split the stream between them, so take an
  // advisory lock (it also covers a second open from this very process, since
  // flock() belongs to the open file description) and ask the tty driver to
  // refuse further opens. TIOCEXCL does not stop root, flock() does.
  if (::flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
    ::close(fd);
    FELTWISE_THROW_IO("Serial port " + port_ + " is busy: another program has it open.");
  }
  (void)::ioctl(fd, TIOCEXCL);

  fd_ = fd;
  try {
    applySettings();
  } catch (...) {
    // Keeping the descriptor would hold the port (and its lock) with no owner.
    if (fd_ != -1) {
      (void)::ioctl(fd_, TIOCNXCL);
      ::close(fd_);
      fd_ = -1;
    }
    throw;
  }
  is_open_ = true;
}

void Serial::SerialImpl::applySettings() {
  if (fd_ == -1) FELTWISE_THROW_IO("Invalid file descriptor, is the serial port open?");

  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) FELTWISE_THROW_IO("Error getting the serial port state.");

  // Raw mode: no line editing, no echo, no signals, no translation of bytes.
  tio.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CLOCAL | CREAD;

  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (bytesize_) {
    case fivebits:
      tio.c_cflag |= CS5;
      break;
    case sixbits:
      tio.c_cflag |= CS6;
      break;
    case sevenbits:
      tio.c_cflag |= CS7;
      break;
    case eightbits:
      tio.c_cflag |= CS8;
      break;
    default:
      throw std::invalid_argument("invalid char len");
  }

  switch (stopbits_) {
    case stopbits_one:
      tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
      break;
    // termios has no one and a half; UARTs send 1.5 when asked for 2 at 5 bits.
    case stopbits_one_point_five:
    case stopbits_two:
      tio.c_cflag |= CSTOPB;
      break;
    default:
      throw std::invalid_argument("invalid stop bit");
  }

  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
  tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  switch (parity_) {
    case parity_none:
      break;
    case parity_odd:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case parity_even:
      tio.c_cflag |= PARENB;
      break;
#ifdef CMSPAR
    case parity_mark:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case parity_space:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
#endif
    default:
      throw std::invalid_argument("invalid parity");
  }
  tio.c_iflag |= INPCK;

  switch (flowcontrol_) {
    case flowcontrol_none:
      tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
      tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
      break;
    case flowcontrol_software:
      tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
      tio.c_iflag |= IXON | IXOFF;
      break;
    case flowcontrol_hardware:
      tio.c_cflag |= CRTSCTS;
      tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
      break;
  }

  // Reads never block in the kernel: the descriptor is non-blocking and every
  // wait is a poll() with the time left.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;

  speed_t speed{};
  const bool speed_known = speedFor(baudrate_, speed);
  if (speed_known) {
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
  }

  ::tcflush(fd_, TCIOFLUSH);
  discardReceiveBuffer();

  if (!speed_known || ::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    FELTWISE_THROW_IO("Error setting serial port settings.");
  }

  int dtr = TIOCM_DTR;
  if (::ioctl(fd_, TIOCMBIS, &dtr) == -1 && !modemLinesUnsupported(errno)) {
    FELTWISE_THROW_IO("Error setting serial port settings.");
  }
  // RTS stays low unless the driver drives it for hardware handshaking.
  int rts = TIOCM_RTS;
  const unsigned long rts_request =
      flowcontrol_ == flowcontrol_none || flowcontrol_ == flowcontrol_software ? TIOCMBIC : TIOCMBIS;
  if (::ioctl(fd_, rts_request, &rts) == -1 && !modemLinesUnsupported(errno)) {
    FELTWISE_THROW_IO("Error setting serial port settings.");
  }
}

void Serial::SerialImpl::setTimeouts(const Timeouts& timeouts) {
  // Readers and writers consult the record and the receive buffer under their
  // own locks; take both so that a change never tears a running call.
  std::lock_guard<std::mutex> read_guard(read_mutex_);
  std::lock_guard<std::mutex> write_guard(write_mutex_);
  timeouts_ = timeouts;
  if (is_open_) applySettings();
}

void Serial::SerialImpl::close() {
  if (!is_open_) return;
  is_open_ = false;
  discardReceiveBuffer();
  if (fd_ == -1) return;
  const int fd = fd_;
  fd_ = -1;
  // A port left in exclusive mode could not be reopened by an ordinary user
  // while someone else still holds it.
  (void)::ioctl(fd, TIOCNXCL);
  // On Linux the descriptor is released even when close() reports an error,
  // so it is never closed a second time.
  if (::close(fd) != 0 && errno != EINTR) {
    FELTWISE_THROW_IO_SYSTEM("Error while closing serial port: " + errnoText(errno), errno);
  }
}

Serial::SerialImpl::Deadline Serial::SerialImpl::readDeadline(std::size_t size) const {
  const std::uint64_t total = std::uint64_t{timeouts_.read_per_byte_ms} * size + timeouts_.read_constant_ms;
  Deadline deadline;
  if (total == 0) {
    // Without a total limit, a gap limit of "none" means: return what is there.
    if (timeouts_.inter_byte_ms == Timeouts::max()) {
      deadline.bounded = true;
      deadline.at = Clock::now();
    }
    return deadline;
  }
  deadline.bounded = true;
  deadline.at = Clock::now() + std::chrono::milliseconds(total);
  return deadline;
}

int Serial::SerialImpl::millisecondsLeft(const Deadline& deadline) {
  if (!deadline.bounded) return -1;
  const Clock::time_point now = Clock::now();
  if (deadline.at <= now) return 0;
  // Round up: a poll of 0 ms in the last fraction of a millisecond would spin.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.at - now).count();
  return static_cast<int>(std::min<long long>(left, INT_MAX));
}

Serial::SerialImpl::Deadline Serial::SerialImpl::gapDeadline(const Deadline& total) const {
  if (timeouts_.inter_byte_ms == 0 || timeouts_.inter_byte_ms == Timeouts::max()) return total;
  const Clock::time_point gap_end = Clock::now() + std::chrono::milliseconds(timeouts_.inter_byte_ms);
  Deadline deadline;
  deadline.bounded = true;
  deadline.at = total.bounded ? std::min(total.at, gap_end) : gap_end;
  return deadline;
}

bool Serial::SerialImpl::fillReceiveBuffer(const Deadline& total, bool gap_limited) {
  rx_begin_ = rx_end_ = 0;
  if (reading_stopped_.load(std::memory_order_relaxed)) return false;
  // The gap between two bytes is measured from the last byte handed out.
  const Deadline deadline = gap_limited ? gapDeadline(total) : total;
  // A read that filled the whole buffer left more behind: read again at once.
  // Otherwise the kernel was drained, and asking poll() first saves a read()
  // that would only come back empty.
  bool poll_said_readable = false;
  bool polled = false;  // at least one look per call, even at a passed deadline
  bool try_read = kernel_may_hold_more_;
  for (;;) {
    const ssize_t n = try_read ? ::read(fd_, rx_.data(), rx_.size()) : 0;
    try_read = true;
    if (n > 0) {
      rx_end_ = static_cast<std::size_t>(n);
      kernel_may_hold_more_ = rx_end_ == rx_.size();
      return true;
    }
    if (n == 0 && poll_said_readable) {
      // Readable but end of file: the device has gone (a USB adapter pulled out).
      FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + errnoText(EIO), EIO);
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + errnoText(errno), errno);
    }

    for (;;) {
      const int wait_ms = millisecondsLeft(deadline);
      if (wait_ms == 0 && polled) return false;
      pollfd pfd{fd_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, wait_ms);
      polled = true;
      if (ready < 0) {
        if (errno == EINTR) continue;
        FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + errnoText(errno), errno);
      }
      if (ready == 0) continue;
      if ((pfd.revents & POLLIN) == 0) {
        // POLLHUP, POLLERR or POLLNVAL with nothing left to read.
        FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + errnoText(EIO), EIO);
      }
      poll_said_readable = true;
      break;
    }
  }
}

std::size_t Serial::SerialImpl::read(std::vector<std::uint8_t>& out, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  if (size == 0) return 0;
  std::size_t got = 0;
  for (;;) {
    const std::size_t take = std::min(buffered(), size - got);
    if (take != 0) {
      const std::uint8_t* first = rx_.data() + rx_begin_;
      out.insert(out.end(), first, first + take);
      rx_begin_ += take;
      got += take;
    }
    if (got == size) return got;
    // Counted afresh whenever the buffer runs dry, that is at the call or just
    // after bytes arrived: the total bounds a silence. A 2050-byte frame takes
    // 180 ms at 115200 baud, and must not be cut at 100 ms while it arrives.
    // The clock is read only then.
    if (!fillReceiveBuffer(readDeadline(size), got != 0)) return got;
  }
}

std::size_t Serial::SerialImpl::peekReceived(std::uint8_t* into, std::size_t size) const {
  const std::size_t held = buffered();
  std::copy_n(rx_.data() + rx_begin_, std::min(held, size), into);
  return held;
}

std::size_t Serial::SerialImpl::readLine(std::string& out, std::size_t size, const std::string& eol) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  if (size == 0) return 0;
  const std::size_t start = out.size();
  std::size_t got = 0;

  // Does the line, extended by the first `extra` bytes of `chunk`, end with eol?
  auto endsWithEol = [&](const std::uint8_t* chunk, std::size_t extra) {
    const std::size_t total = got + extra;
    if (total < eol.size()) return false;
    for (std::size_t k = 0; k < eol.size(); ++k) {
      const std::size_t pos = total - 1 - k;
      const char c = pos >= got ? static_cast<char>(chunk[pos - got]) : out[start + pos];
      if (c != eol[eol.size() - 1 - k]) return false;
    }
    return true;
  };

  while (got < size) {
    // As in read(): the time-out counts from the call or the last bytes
    // received, so a long line still arriving is never cut; only a line that
    // falls silent ends without its line feed.
    if (buffered() == 0 && !fillReceiveBuffer(readDeadline(size), got != 0)) break;
    const std::uint8_t* chunk = rx_.data() + rx_begin_;
    const std::size_t avail = std::min(buffered(), size - got);
    std::size_t take = avail;
    bool found = false;
    if (!eol.empty()) {
      const auto last = static_cast<unsigned char>(eol.back());
      std::size_t scanned = 0;
      while (scanned < avail) {
        const void* hit = std::memchr(chunk + scanned, last, avail - scanned);
        if (hit == nullptr) break;
        scanned = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - chunk) + 1;
        if (endsWithEol(chunk, scanned)) {
          found = true;
          take = scanned;
          break;
        }
      }
    }
    out.append(reinterpret_cast<const char*>(chunk), take);
    rx_begin_ += take;
    got += take;
    if (found) break;
  }
  return got;
}

std::size_t Serial::SerialImpl::write(const std::uint8_t* data, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::write");
  const std::uint64_t total = std::uint64_t{timeouts_.write_per_byte_ms} * size + timeouts_.write_constant_ms;
  Deadline deadline;
  if (total != 0) {
    // The device takes the bytes no faster than the line carries them: a
    // 2 KiB request needs 180 ms at 115200 baud, more than a fixed 100 ms.
    const std::uint64_t line = lineTimeMs(size, baudrate_, bytesize_, parity_, stopbits_);
    deadline.bounded = true;
    deadline.at = Clock::now() + std::chrono::milliseconds(total + line);
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + errnoText(errno), errno);
    }
    // The output queue is full: wait for room, within the write time-out.
    for (;;) {
      const int wait_ms = millisecondsLeft(deadline);
      if (wait_ms == 0) return done;
      pollfd pfd{fd_, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, wait_ms);
      if (ready < 0) {
        if (errno == EINTR) continue;
        FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + errnoText(errno), errno);
      }
      if (ready == 0) continue;
      if ((pfd.revents & POLLOUT) == 0) {
        FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + errnoText(EIO), EIO);
      }
      break;
    }
  }
  return done;
}

void Serial::SerialImpl::flush() {
  if (!is_open_) throw PortNotOpenedException("Serial::flush");
  while (::tcdrain(fd_) == -1 && errno == EINTR) {
  }
}

void Serial::SerialImpl::discardOutput() {
  if (!is_open_) throw PortNotOpenedException("Serial::discardOutput");
  ::tcflush(fd_, TCOFLUSH);
}

void Serial::SerialImpl::readLock() {
  try {
    read_mutex_.lock();
  } catch (const std::system_error&) {
    FELTWISE_THROW_IO("Error claiming read mutex.");
  }
}

void Serial::SerialImpl::readUnlock() { read_mutex_.unlock(); }

void Serial::SerialImpl::writeLock() {
  try {
    write_mutex_.lock();
  } catch (const std::system_error&) {
    FELTWISE_THROW_IO("Error claiming write mutex.");
  }
}

void Serial::SerialImpl::writeUnlock() { write_mutex_.unlock(); }

}  // namespace serial
