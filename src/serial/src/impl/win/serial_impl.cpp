#include "serial_impl.h"

#include <chrono>
#include <stdexcept>

namespace serial {
namespace {

std::string narrow(const std::wstring& wide) {
  std::string text;
  text.reserve(wide.size());
  for (wchar_t c : wide) text.push_back(static_cast<char>(c & 0xFF));
  return text;
}

std::wstring widen(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide.push_back(static_cast<wchar_t>(c));
  return wide;
}

using Clock = std::chrono::steady_clock;

std::uint64_t msSince(Clock::time_point start) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint32_t baudrate, ByteSize bytesize, Parity parity,
                               StopBits stopbits, FlowControl flowcontrol)
    : port_(widen(port)),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
  read_mutex_ = ::CreateMutexA(nullptr, FALSE, nullptr);
  write_mutex_ = ::CreateMutexA(nullptr, FALSE, nullptr);
  if (!port_.empty()) {
    try {
      open();
    } catch (...) {
      ::CloseHandle(read_mutex_);
      ::CloseHandle(write_mutex_);
      throw;
    }
  }
}

Serial::SerialImpl::~SerialImpl() {
  try {
    close();
  } catch (...) {
  }
  ::CloseHandle(read_mutex_);
  ::CloseHandle(write_mutex_);
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (is_open_) throw SerialException("Serial port already open.");

  // Share mode 0: Windows opens a port exclusively, so a second program fails here.
  const std::wstring path = windowsDevicePath(narrow(port_));
  fd_ = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr);
  if (fd_ == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A name with a path in it ("/dev/ttyUSB0", "COM3/x") is reported as a
    // missing path rather than a missing file; for a port both mean it is not there.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      FELTWISE_THROW_IO_SYSTEM("Specified port, " + narrow(port_) + ", does not exist.", static_cast<int>(error));
    }
    // What Windows answers for a port another program holds open: say so, as
    // the POSIX port does, rather than leave the user a bare error number.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      FELTWISE_THROW_IO_SYSTEM("Serial port " + narrow(port_) + " is busy: another program has it open.",
                               static_cast<int>(error));
    }
    FELTWISE_THROW_IO_SYSTEM("Unknown error opening the serial port: " + std::to_string(error),
                             static_cast<int>(error));
  }
  try {
    applySettings();
  } catch (...) {
    // A handle kept after a failed set-up would hold the port with no owner.
    if (fd_ != INVALID_HANDLE_VALUE) {
      ::CloseHandle(fd_);
      fd_ = INVALID_HANDLE_VALUE;
    }
    throw;
  }
  is_open_ = true;
}

void Serial::SerialImpl::applySettings() {
  if (fd_ == INVALID_HANDLE_VALUE) FELTWISE_THROW_IO("Invalid file descriptor, is the serial port open?");

  DWORD errors = 0;
  ::ClearCommError(fd_, &errors, nullptr);
  ::SetupComm(fd_, 8192, 2048);
  ::PurgeComm(fd_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!::GetCommState(fd_, &dcb)) FELTWISE_THROW_IO("Error getting the serial port state.");

  dcb.fBinary = TRUE;
  dcb.BaudRate = baudrate_;
  switch (bytesize_) {
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
  switch (stopbits_) {
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
  switch (parity_) {
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
  switch (flowcontrol_) {
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

  if (!::SetCommState(fd_, &dcb)) {
    ::CloseHandle(fd_);
    fd_ = INVALID_HANDLE_VALUE;
    FELTWISE_THROW_IO("Error setting serial port settings.");
  }

  COMMTIMEOUTS timeouts = commTimeouts();
  if (!::SetCommTimeouts(fd_, &timeouts)) FELTWISE_THROW_IO("Error setting timeouts.");

  if (!::SetCommMask(fd_, 0)) FELTWISE_THROW_IO("Can't reset mask.");
  if (!::SetCommMask(fd_, EV_RXCHAR)) FELTWISE_THROW_IO("Can't set mask.");
}

COMMTIMEOUTS Serial::SerialImpl::commTimeouts() const {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = timeouts_.inter_byte_ms;
  timeouts.ReadTotalTimeoutConstant = timeouts_.read_constant_ms;
  timeouts.ReadTotalTimeoutMultiplier = timeouts_.read_per_byte_ms;
  timeouts.WriteTotalTimeoutConstant = timeouts_.write_constant_ms;
  timeouts.WriteTotalTimeoutMultiplier = timeouts_.write_per_byte_ms;
  return timeouts;
}

void Serial::SerialImpl::restoreTimeouts() {
  // The read fields were never changed, so a read running meanwhile saw the
  // same record; only the write time-out goes back.
  COMMTIMEOUTS timeouts = commTimeouts();
  if (!::SetCommTimeouts(fd_, &timeouts)) FELTWISE_THROW_IO("Error setting timeouts.");
}

void Serial::SerialImpl::setTimeouts(const Timeouts& timeouts) {
  timeouts_ = timeouts;
  if (is_open_) applySettings();
}

void Serial::SerialImpl::close() {
  if (!is_open_) return;
  if (fd_ != INVALID_HANDLE_VALUE) {
    if (!::CloseHandle(fd_)) {
      const DWORD error = ::GetLastError();
      FELTWISE_THROW_IO_SYSTEM("Error while closing serial port: " + std::to_string(error), static_cast<int>(error));
    }
    fd_ = INVALID_HANDLE_VALUE;
  }
  is_open_ = false;
}

std::size_t Serial::SerialImpl::readBytes(std::uint8_t* into, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  DWORD received = 0;
  // The driver applies the time-outs set above: the call returns when `size`
  // bytes have arrived or the total read time has passed.
  if (!::ReadFile(fd_, into, static_cast<DWORD>(size), &received, nullptr)) {
    const DWORD error = ::GetLastError();
    FELTWISE_THROW_IO_SYSTEM("Error while reading from the serial port: " + std::to_string(error),
                             static_cast<int>(error));
  }
  return received;
}

std::size_t Serial::SerialImpl::read(std::vector<std::uint8_t>& out, std::size_t size) {
  const std::size_t before = out.size();
  out.resize(before + size);
  std::size_t got = 0;
  const bool gap_limited = timeouts_.inter_byte_ms != 0 && timeouts_.inter_byte_ms != MAXDWORD;
  try {
    // The driver ends a ReadFile when its total time has passed since that
    // call, even while bytes keep coming: a 2050-byte frame needs 180 ms at
    // 115200 baud. Reading on after every call that brought bytes makes the
    // total bound a silence instead, as on POSIX (give or take one total).
    while (got < size && !reading_stopped_.load(std::memory_order_relaxed)) {
      const Clock::time_point started = Clock::now();
      const std::size_t asked = size - got;
      const std::size_t n = readBytes(out.data() + before + got, asked);
      got += n;
      if (n == 0 || got == size) break;
      // A call that brought bytes and ended before its total time was up was
      // ended by the gap limit, which must keep its word.
      const std::uint64_t total = std::uint64_t{timeouts_.read_per_byte_ms} * asked + timeouts_.read_constant_ms;
      if (gap_limited && (total == 0 || msSince(started) < total)) break;
    }
  } catch (...) {
    out.resize(before);
    throw;
  }
  out.resize(before + got);
  return got;
}

std::size_t Serial::SerialImpl::readLine(std::string& out, std::size_t size, const std::string& eol) {
  std::size_t got = 0;
  std::uint8_t byte = 0;
  // One ReadFile per byte, each with the whole total time: a line still
  // arriving is never cut, and only a silence of one total ends it early.
  while (got < size && !reading_stopped_.load(std::memory_order_relaxed)) {
    if (readBytes(&byte, 1) == 0) break;
    out.push_back(static_cast<char>(byte));
    ++got;
    if (!eol.empty() && got >= eol.size() && out.compare(out.size() - eol.size(), eol.size(), eol) == 0) break;
  }
  return got;
}

std::size_t Serial::SerialImpl::write(const std::uint8_t* data, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::write");
  const std::uint64_t total = std::uint64_t{timeouts_.write_per_byte_ms} * size + timeouts_.write_constant_ms;
  const std::uint64_t allowed = total + lineTimeMs(size, baudrate_, bytesize_, parity_, stopbits_);
  const Clock::time_point started = Clock::now();
  std::size_t done = 0;
  bool shortened = false;
  // The driver's own write time-out knows nothing of the line rate, so a long
  // request may come back short while the line is still carrying it, or
  // while a device holds the line for a moment: write on until the line time
  // of the whole request is used, as the POSIX port does. Each call may take
  // the driver's whole time-out, so the last one gets only what is left.
  try {
    while (done < size) {
      const std::uint64_t elapsed = msSince(started);
      if (total != 0 && elapsed >= allowed) break;
      if (total != 0 && allowed - elapsed < total) {
        COMMTIMEOUTS last = commTimeouts();
        last.WriteTotalTimeoutMultiplier = 0;
        last.WriteTotalTimeoutConstant = static_cast<DWORD>(allowed - elapsed);
        shortened = ::SetCommTimeouts(fd_, &last) != FALSE;
      }
      DWORD written = 0;
      if (!::WriteFile(fd_, data + done, static_cast<DWORD>(size - done), &written, nullptr)) {
        const DWORD error = ::GetLastError();
        FELTWISE_THROW_IO_SYSTEM("Error while writing to the serial port: " + std::to_string(error),
                                 static_cast<int>(error));
      }
      done += written;
      if (total == 0) break;
    }
  } catch (...) {
    try {
      if (shortened) restoreTimeouts();
    } catch (...) {
    }
    throw;
  }
  if (shortened) restoreTimeouts();
  return done;
}

void Serial::SerialImpl::flush() {
  if (!is_open_) throw PortNotOpenedException("Serial::flush");
  ::FlushFileBuffers(fd_);
}

void Serial::SerialImpl::discardOutput() {
  if (!is_open_) throw PortNotOpenedException("Serial::discardOutput");
  ::PurgeComm(fd_, PURGE_TXABORT | PURGE_TXCLEAR);
}

void Serial::SerialImpl::readLock() {
  if (::WaitForSingleObject(read_mutex_, INFINITE) != WAIT_OBJECT_0) {
    FELTWISE_THROW_IO("Error claiming read mutex.");
  }
}

void Serial::SerialImpl::readUnlock() {
  if (!::ReleaseMutex(read_mutex_)) FELTWISE_THROW_IO("Error releasing read mutex.");
}

void Serial::SerialImpl::writeLock() {
  if (::WaitForSingleObject(write_mutex_, INFINITE) != WAIT_OBJECT_0) {
    FELTWISE_THROW_IO("Error claiming write mutex.");
  }
}

void Serial::SerialImpl::writeUnlock() {
  if (!::ReleaseMutex(write_mutex_)) FELTWISE_THROW_IO("Error releasing write mutex.");
}

}  // namespace serial
