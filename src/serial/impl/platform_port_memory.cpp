// The in-memory port: the process's MemoryLine (memory_line.h) in place of a
// device, for the fuzzers and the facade's tests. Opening sets no line state;
// a read never waits, since the line's markers stand for the time that
// would pass.
#include "serial/impl/platform_port.h"

#include "serial/impl/memory_line.h"

namespace serial::impl {

struct PlatformPort::Device {};

PlatformPort::PlatformPort() = default;
PlatformPort::~PlatformPort() = default;

std::size_t PlatformPort::open(const std::string&, const LineSettings&) { return 0; }
std::size_t PlatformPort::configure(const LineSettings&) { return 0; }
void PlatformPort::close() {}
void PlatformPort::forgetAfterFork() noexcept {}

std::size_t PlatformPort::readSome(std::uint8_t* into, std::size_t capacity, const Deadline&) {
  return MemoryLine::instance().readSome(into, capacity);
}

// Every write reaches the line whole at once: there is never output to wait
// for or to drop.
std::size_t PlatformPort::writeSome(const std::uint8_t* data, std::size_t size, const Deadline&) {
  MemoryLine::instance().write(data, size);
  return size;
}

void PlatformPort::drain() {}
void PlatformPort::discardOutput() {}

}  // namespace serial::impl
