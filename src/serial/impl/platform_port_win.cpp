// Windows port, on the Win32 communications calls. The handle is opened for
// synchronous calls; every wait is a ReadFile or WriteFile whose
// COMMTIMEOUTS end it at the facade's deadline.
#include "serial/impl/platform_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

namespace serial::impl {
namespace {

constexpr DWORD kAtOnce = 0;
// A read without a deadline waits for its first byte a minute at a time, as
// a read time-out of 0 here stands for "at once".
constexpr DWORD kUnboundedReadSliceMs = 60000;

DWORD toDword(int milliseconds) { return static_cast<DWORD>(milliseconds); }

}  // namespace

struct PlatformPort::Device {
  HANDLE fd = INVALID_HANDLE_VALUE;
  // One record holds the read and the write time-outs, and a reader and a
  // writer each change their half before their call: each sets the record
  // from both current halves, under this lock, so that neither undoes the
  // other's. Held for the SetCommTimeouts only, never across a wait.
  std::mutex timeouts_mutex;
  COMMTIMEOUTS timeouts{};

  // Returns how many received bytes it dropped.
  std::size_t applySettings(const LineSettings& settings);
  template <typename Change>
  void changeTimeouts(Change change) {
    std::lock_guard<std::mutex> lock(timeouts_mutex);
    COMMTIMEOUTS wanted = timeouts;
    change(wanted);
    if (std::memcmp(&wanted, &timeouts, sizeof wanted) == 0) return;
    if (!::SetCommTimeouts(fd, &wanted)) FELTWISE_THROW_IO("Error setting timeouts.");
    timeouts = wanted;
  }
  // One ReadFile of up to `size` bytes that ends after `total_ms`, or with
  // what the driver holds at once for kAtOnce.
  DWORD readFile(std::uint8_t* into, DWORD size, DWORD total_ms) {
    changeTimeouts([&](COMMTIMEOUTS& record) {
      // (MAXDWORD, 0, 0) is the documented "return at once with what has been
      // received"; (0, 0, n) a total time-out alone.
      record.ReadIntervalTimeout = total_ms == kAtOnce ? MAXDWORD : 0;
      record.ReadTotalTimeoutMultiplier = 0;
      record.ReadTotalTimeoutConstant = total_ms;
    });
    DWORD received = 0;
    if (!::ReadFile(fd, into, size, &received, nullptr)) {
      const DWORD error = ::GetLastError();
      FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + std::to_string(error),
                               static_cast<int>(error));
    }
    return received;
  }
};

PlatformPort::PlatformPort() : device_(std::make_unique<Device>()) {}

PlatformPort::~PlatformPort() {
  if (device_->fd != INVALID_HANDLE_VALUE) ::CloseHandle(device_->fd);
}

std::size_t PlatformPort::open(const std::string& name, const LineSettings& settings) {
  // Share mode 0: Windows opens a port exclusively, so a second program fails here.
  const std::wstring path = windowsDevicePath(name);
  HANDLE& fd = device_->fd;
  fd = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
  if (fd == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A name with a path in it ("/dev/ttyUSB0", "COM3/x") is reported as a
    // missing path rather than a missing file; for a port both mean it is not there.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      FELTWISE_THROW_IO_OPEN("Specified port, " + name + ", does not exist.", static_cast<int>(error),
                             PortCause::kMissing);
    }
    // What Windows answers for a port another program holds open: say so, as
    // the POSIX port does, rather than leave the user a bare error number.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      FELTWISE_THROW_IO_OPEN("Serial port " + name + " is busy: another program has it open.", static_cast<int>(error),
                             PortCause::kBusy);
    }
    FELTWISE_THROW_IO_OPEN("Unknown error opening the serial port: " + std::to_string(error), static_cast<int>(error),
                           PortCause::kOther);
  }
  try {
    return device_->applySettings(settings);
  } catch (...) {
    // A handle kept after a failed set-up would hold the port with no owner.
    if (fd != INVALID_HANDLE_VALUE) {
      ::CloseHandle(fd);
      fd = INVALID_HANDLE_VALUE;
    }
    throw;
  }
}

std::size_t PlatformPort::Device::applySettings(const LineSettings& settings) {
  if (fd == INVALID_HANDLE_VALUE) FELTWISE_THROW_IO("Invalid file descriptor, is the serial port open?");

  // Counted first: what the device already sent tells a reader that it may
  // be joining a stream part-way (protocols/protocol.h, startStream).
  DWORD errors = 0;
  COMSTAT status{};
  const std::size_t held = ::ClearCommError(fd, &errors, &status) ? status.cbInQue : 0;
  ::SetupComm(fd, 8192, 2048);
  ::PurgeComm(fd, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!::GetCommState(fd, &dcb)) {
    const DWORD error = ::GetLastError();
    // A device that is no communications device (NUL, a disk) has no line settings to read.
    FELTWISE_THROW_IO_OPEN("Error getting the serial port state.", static_cast<int>(error),
                           error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ? PortCause::kNotSerialPort
                                                                                           : PortCause::kOther);
  }

  dcb.fBinary = TRUE;
  dcb.BaudRate = settings.baudrate;
  switch (settings.bytesize) {
    case fivebits:
      dcb.ByteSize = 5;
      break;
    case sixbits:
      dcb.ByteSize = 6;
      break;
    case sevenbits:
      dcb.ByteSize = 7;
      break;
    case eightbits:
      dcb.ByteSize = 8;
      break;
    default:
      throw std::invalid_argument("invalid char len");
  }
  switch (settings.stopbits) {
    case stopbits_one:
      dcb.StopBits = ONESTOPBIT;
      break;
    case stopbits_one_point_five:
      dcb.StopBits = ONE5STOPBITS;
      break;
    case stopbits_two:
      dcb.StopBits = TWOSTOPBITS;
      break;
    default:
      throw std::invalid_argument("invalid stop bit");
  }
  switch (settings.parity) {
    case parity_none:
      dcb.Parity = NOPARITY;
      break;
    case parity_odd:
      dcb.Parity = ODDPARITY;
      break;
    case parity_even:
      dcb.Parity = EVENPARITY;
      break;
    case parity_mark:
      dcb.Parity = MARKPARITY;
      break;
    case parity_space:
      dcb.Parity = SPACEPARITY;
      break;
    default:
      throw std::invalid_argument("invalid parity");
  }

  dcb.fParity = TRUE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  switch (settings.flowcontrol) {
    case flowcontrol_none:
      dcb.fOutxCtsFlow = FALSE;
      dcb.fOutX = FALSE;
      dcb.fInX = FALSE;
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case flowcontrol_software:
      dcb.fOutxCtsFlow = FALSE;
      dcb.fOutX = TRUE;
      dcb.fInX = TRUE;
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case flowcontrol_hardware:
      dcb.fOutxCtsFlow = TRUE;
      dcb.fOutX = FALSE;
      dcb.fInX = FALSE;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    default:
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
  }

  if (!::SetCommState(fd, &dcb)) {
    ::CloseHandle(fd);
    fd = INVALID_HANDLE_VALUE;
    FELTWISE_THROW_IO("Error setting serial port settings.");
  }

  {
    std::lock_guard<std::mutex> lock(timeouts_mutex);
    if (!::SetCommTimeouts(fd, &timeouts)) FELTWISE_THROW_IO("Error setting timeouts.");
  }

  if (!::SetCommMask(fd, 0)) FELTWISE_THROW_IO("Can't reset mask.");
  if (!::SetCommMask(fd, EV_RXCHAR)) FELTWISE_THROW_IO("Can't set mask.");
  return held;
}

std::size_t PlatformPort::configure(const LineSettings& settings) { return device_->applySettings(settings); }

// Windows has no fork(): nothing is ever inherited this way.
void PlatformPort::forgetAfterFork() noexcept {}

void PlatformPort::close() {
  const HANDLE fd = device_->fd;
  if (fd == INVALID_HANDLE_VALUE) return;
  device_->fd = INVALID_HANDLE_VALUE;
  if (!::CloseHandle(fd)) {
    const DWORD error = ::GetLastError();
    FELTWISE_THROW_IO_SYSTEM("Error while closing serial port: " + std::to_string(error), static_cast<int>(error));
  }
}

std::size_t PlatformPort::readSome(std::uint8_t* into, std::size_t capacity, const Deadline& deadline) {
  const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(capacity, MAXDWORD));
  const DWORD held = device_->readFile(into, asked, kAtOnce);
  if (held != 0) return held;
  // Nothing there: wait for one byte alone, with a total time-out, then take
  // what came behind it. Windows documents (MAXDWORD, MAXDWORD, n) as "wait
  // up to n ms for a first byte, then return what is there" in one call, but
  // Wine waits for every byte asked for there, so a read would always last
  // its whole time-out; a total time-out on one byte means the same to both.
  for (;;) {
    const int wait_ms = deadline.millisecondsLeft();
    if (wait_ms == 0) return 0;
    if (device_->readFile(into, 1, wait_ms < 0 ? kUnboundedReadSliceMs : toDword(wait_ms)) == 1) break;
  }
  return asked == 1 ? 1 : 1 + device_->readFile(into + 1, asked - 1, kAtOnce);
}

std::size_t PlatformPort::writeSome(const std::uint8_t* data, std::size_t size, const Deadline& deadline) {
  const int wait_ms = deadline.millisecondsLeft();
  if (wait_ms == 0) return 0;
  // The driver's own write time-out knows nothing of the line rate, so it is
  // given the time left to the facade's deadline, which counts the line time.
  device_->changeTimeouts([&](COMMTIMEOUTS& timeouts) {
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = wait_ms < 0 ? 0 : toDword(wait_ms);
  });
  DWORD written = 0;
  if (!::WriteFile(device_->fd, data, static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD)), &written, nullptr)) {
    const DWORD error = ::GetLastError();
    FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + std::to_string(error),
                             static_cast<int>(error));
  }
  return written;
}

void PlatformPort::drain() { ::FlushFileBuffers(device_->fd); }

void PlatformPort::discardOutput() { ::PurgeComm(device_->fd, PURGE_TXABORT | PURGE_TXCLEAR); }

}  // namespace serial::impl
