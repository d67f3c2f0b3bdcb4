#include "serial_impl.h"

#include <stdexcept>

#include "memory_line.h"

namespace serial {

using feltwise_fuzz::MemoryLine;

Serial::SerialImpl::SerialImpl(const std::string& port, std::uint32_t, ByteSize, Parity, StopBits, FlowControl)
    : port_(port) {
  if (!port_.empty()) open();
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (is_open_) throw SerialException("Serial port already open.");
  is_open_ = true;
}

std::size_t Serial::SerialImpl::read(std::vector<std::uint8_t>& out, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  return MemoryLine::instance().read(out, size);
}

std::size_t Serial::SerialImpl::readLine(std::string& out, std::size_t size, const std::string& eol) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");
  return MemoryLine::instance().readLine(out, size, eol);
}

std::size_t Serial::SerialImpl::write(const std::uint8_t* data, std::size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::write");
  MemoryLine::instance().write(data, size);
  return size;
}

void Serial::SerialImpl::flush() {
  if (!is_open_) throw PortNotOpenedException("Serial::flush");
}

// Every write reaches the line whole at once: there is never output to drop.
void Serial::SerialImpl::discardOutput() {
  if (!is_open_) throw PortNotOpenedException("Serial::discardOutput");
}

}  // namespace serial
