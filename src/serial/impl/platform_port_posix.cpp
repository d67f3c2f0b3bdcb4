// POSIX (termios) port. Linux today; nothing here goes beyond POSIX and the
// common termios ioctls, so macOS can follow. The descriptor is non-blocking
// and every wait is a poll() until the facade's deadline.
#include "serial/impl/platform_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace serial::impl {
namespace {

std::string errnoText(int error) { return std::to_string(error); }

// Why open() or the port's lock refused the port, read from that call's errno.
PortCause openCause(int error) {
  switch (error) {
    case EBUSY:
    case EAGAIN:  // flock(): another open file holds the port's lock
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return PortCause::kBusy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return PortCause::kMissing;
    case EACCES:
    case EPERM:
      return PortCause::kPermission;
    case EISDIR:
    case ENOTTY:
      return PortCause::kNotSerialPort;
    default:
      return PortCause::kOther;
  }
}

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

[[noreturn]] void throwReadError(int error) {
  FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + errnoText(error), error);
}

}  // namespace

struct PlatformPort::Device {
  int fd = -1;
  // A read that filled the whole buffer left more behind: read again at once.
  // Otherwise the kernel was drained, and asking poll() first saves a read()
  // that would only come back empty.
  bool kernel_may_hold_more = true;

  // Returns how many received bytes it dropped.
  std::size_t applySettings(const LineSettings& settings);
  void release() {
    // A port left in exclusive mode could not be reopened by an ordinary user
    // while someone else still holds it.
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
    fd = -1;
  }
};

PlatformPort::PlatformPort() : device_(std::make_unique<Device>()) {}

PlatformPort::~PlatformPort() {
  if (device_->fd != -1) device_->release();
}

std::size_t PlatformPort::open(const std::string& name, const LineSettings& settings) {
  // O_NONBLOCK: open() must not wait for carrier detect, and every later wait
  // goes through poll() with the time left, never through a blocking read().
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) {
    const int error = errno;
    const PortCause cause = openCause(error);
    if (error == ENOENT) FELTWISE_THROW_IO_OPEN("Specified port, " + name + ", does not exist.", error, cause);
    if (error == EBUSY) {
      FELTWISE_THROW_IO_OPEN("Serial port " + name + " is busy: another program has it open.", error, cause);
    }
    FELTWISE_THROW_IO_OPEN("Unknown error opening the serial port: " + errnoText(error), error, cause);
  }

  // POSIX opens a tty shared by default, while Windows opens it exclusively.
  // Two readers on one port would split the stream between them, so take an
  // advisory lock (it also covers a second open from this very process, since
  // flock() belongs to the open file description) and ask the tty driver to
  // refuse further opens. TIOCEXCL does not stop root, flock() does.
  if (::flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
    const int error = errno;
    ::close(fd);
    FELTWISE_THROW_IO_OPEN("Serial port " + name + " is busy: another program has it open.", error, PortCause::kBusy);
  }
  (void)::ioctl(fd, TIOCEXCL);

  device_->fd = fd;
  try {
    return device_->applySettings(settings);
  } catch (...) {
    // Keeping the descriptor would hold the port (and its lock) with no owner.
    if (device_->fd != -1) device_->release();
    throw;
  }
}

std::size_t PlatformPort::configure(const LineSettings& settings) { return device_->applySettings(settings); }

std::size_t PlatformPort::Device::applySettings(const LineSettings& settings) {
  if (fd == -1) FELTWISE_THROW_IO("Invalid file descriptor, is the serial port open?");

  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    const int error = errno;
    // ENOTTY: a file, /dev/null or another device that is no terminal at all.
    FELTWISE_THROW_IO_OPEN("Error getting the serial port state.", error,
                           error == ENOTTY ? PortCause::kNotSerialPort : PortCause::kOther);
  }

  // Raw mode: no line editing, no echo, no signals, no translation of bytes.
  tio.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CLOCAL | CREAD;

  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
  switch (settings.bytesize) {
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

  switch (settings.stopbits) {
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
  switch (settings.parity) {
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

  switch (settings.flowcontrol) {
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
  const bool speed_known = speedFor(settings.baudrate, speed);
  if (speed_known) {
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
  }

  // Counted first: what the device already sent tells a reader that it may
  // be joining a stream part-way (protocols/protocol.h, startStream).
  int held = 0;
  if (::ioctl(fd, FIONREAD, &held) == -1 || held < 0) held = 0;
  ::tcflush(fd, TCIOFLUSH);
  kernel_may_hold_more = true;

  if (!speed_known || ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int error = speed_known ? errno : 0;
    release();
    FELTWISE_THROW_IO_SYSTEM("Error setting serial port settings.", error);
  }

  int dtr = TIOCM_DTR;
  if (::ioctl(fd, TIOCMBIS, &dtr) == -1 && !modemLinesUnsupported(errno)) {
    FELTWISE_THROW_IO_SYSTEM("Error setting serial port settings.", errno);
  }
  // RTS stays low unless the driver drives it for hardware handshaking.
  int rts = TIOCM_RTS;
  const unsigned long rts_request =
      settings.flowcontrol == flowcontrol_none || settings.flowcontrol == flowcontrol_software ? TIOCMBIC : TIOCMBIS;
  if (::ioctl(fd, rts_request, &rts) == -1 && !modemLinesUnsupported(errno)) {
    FELTWISE_THROW_IO_SYSTEM("Error setting serial port settings.", errno);
  }
  return static_cast<std::size_t>(held);
}

void PlatformPort::forgetAfterFork() noexcept {
  // This process's copy of the descriptor only: the lock (flock) and the
  // exclusive mode belong to the open file, which the parent still holds.
  if (device_->fd != -1) ::close(device_->fd);
  device_->fd = -1;
}

void PlatformPort::close() {
  if (device_->fd == -1) return;
  const int fd = device_->fd;
  device_->fd = -1;
  (void)::ioctl(fd, TIOCNXCL);
  // On Linux the descriptor is released even when close() reports an error,
  // so it is never closed a second time.
  if (::close(fd) != 0 && errno != EINTR) {
    FELTWISE_THROW_IO_SYSTEM("Error while closing serial port: " + errnoText(errno), errno);
  }
}

std::size_t PlatformPort::readSome(std::uint8_t* into, std::size_t capacity, const Deadline& deadline) {
  const int fd = device_->fd;
  bool poll_said_readable = false;
  bool polled = false;  // at least one look per call, even at a passed deadline
  bool try_read = device_->kernel_may_hold_more;
  for (;;) {
    const ssize_t n = try_read ? ::read(fd, into, capacity) : 0;
    try_read = true;
    if (n > 0) {
      device_->kernel_may_hold_more = static_cast<std::size_t>(n) == capacity;
      return static_cast<std::size_t>(n);
    }
    // Readable but end of file: the device has gone (a USB adapter pulled out).
    if (n == 0 && poll_said_readable) throwReadError(EIO);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) throwReadError(errno);

    for (;;) {
      const int wait_ms = deadline.millisecondsLeft();
      if (wait_ms == 0 && polled) return 0;
      pollfd pfd{fd, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, wait_ms);
      polled = true;
      if (ready < 0) {
        if (errno == EINTR) continue;
        throwReadError(errno);
      }
      if (ready == 0) continue;
      // POLLHUP, POLLERR or POLLNVAL with nothing left to read.
      if ((pfd.revents & POLLIN) == 0) throwReadError(EIO);
      poll_said_readable = true;
      break;
    }
  }
}

std::size_t PlatformPort::writeSome(const std::uint8_t* data, std::size_t size, const Deadline& deadline) {
  for (;;) {
    const ssize_t n = ::write(device_->fd, data, size);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + errnoText(errno), errno);
    }
    // The output queue is full: wait for room until the deadline.
    for (;;) {
      const int wait_ms = deadline.millisecondsLeft();
      if (wait_ms == 0) return 0;
      pollfd pfd{device_->fd, POLLOUT, 0};
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
}

void PlatformPort::drain() {
  while (::tcdrain(device_->fd) == -1 && errno == EINTR) {
  }
}

void PlatformPort::discardOutput() { ::tcflush(device_->fd, TCOFLUSH); }

}  // namespace serial::impl
