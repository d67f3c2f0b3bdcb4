// The facade: owns the implementation and its two locks. Nothing here depends
// on the operating system; the build picks the implementation's directory.
#include "serial/serial.h"

#include "serial_impl.h"

namespace serial {
namespace {

// Holds one of the implementation's locks for a scope, also when the
// guarded operation throws.
template <void (Serial::SerialImpl::*Take)(), void (Serial::SerialImpl::*Release)()>
class ScopedLock {
 public:
  explicit ScopedLock(Serial::SerialImpl& impl) : impl_(impl) { (impl_.*Take)(); }
  ~ScopedLock() noexcept(false) {
    // A release failure must not replace an exception already on its way out.
    if (std::uncaught_exceptions() > entry_exceptions_) {
      try {
        (impl_.*Release)();
      } catch (...) {
      }
    } else {
      (impl_.*Release)();
    }
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  Serial::SerialImpl& impl_;
  int entry_exceptions_ = std::uncaught_exceptions();
};

using ScopedReadLock = ScopedLock<&Serial::SerialImpl::readLock, &Serial::SerialImpl::readUnlock>;
using ScopedWriteLock = ScopedLock<&Serial::SerialImpl::writeLock, &Serial::SerialImpl::writeUnlock>;

}  // namespace

Serial::Serial(const std::string& port, std::uint32_t baudrate, Timeouts timeouts, ByteSize bytesize, Parity parity,
               StopBits stopbits, FlowControl flowcontrol)
    : pimpl_(std::make_unique<SerialImpl>(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
  pimpl_->setTimeouts(timeouts);
}

Serial::~Serial() = default;

void Serial::open() { pimpl_->open(); }
void Serial::close() { pimpl_->close(); }
bool Serial::isOpen() const { return pimpl_->isOpen(); }

void Serial::setTimeouts(const Timeouts& timeouts) { pimpl_->setTimeouts(timeouts); }
Timeouts Serial::getTimeouts() const { return pimpl_->getTimeouts(); }

void Serial::flush() {
  ScopedReadLock read_lock(*pimpl_);
  ScopedWriteLock write_lock(*pimpl_);
  pimpl_->flush();
}

void Serial::stopReading() { pimpl_->stopReading(); }

void Serial::discardOutput() {
  ScopedWriteLock lock(*pimpl_);
  pimpl_->discardOutput();
}

std::size_t Serial::read(std::vector<std::uint8_t>& buffer, std::size_t size) {
  ScopedReadLock lock(*pimpl_);
  return pimpl_->read(buffer, size);
}

std::size_t Serial::peekReceived(std::uint8_t* into, std::size_t size) {
  ScopedReadLock lock(*pimpl_);
  return pimpl_->peekReceived(into, size);
}

std::size_t Serial::readLine(std::string& buffer, std::size_t size, const std::string& eol) {
  ScopedReadLock lock(*pimpl_);
  return pimpl_->readLine(buffer, size, eol);
}

std::string Serial::readLine(std::size_t size, const std::string& eol) {
  std::string line;
  readLine(line, size, eol);
  return line;
}

std::size_t Serial::write(const std::string& data) {
  return write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::size_t Serial::write(const std::vector<std::uint8_t>& data) { return write(data.data(), data.size()); }

std::size_t Serial::write(const std::uint8_t* data, std::size_t size) {
  ScopedWriteLock lock(*pimpl_);
  return pimpl_->write(data, size);
}

}  // namespace serial
