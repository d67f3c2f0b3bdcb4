// Version-1 decoding throughput over a pseudo-terminal.
//
// The master side writes frames as fast as the kernel takes them; the slave
// side is drained once by a bare poll()+read() loop (the ceiling: what the pty
// itself can carry) and once by ProtocolBinary::readSample through the port
// layer. Both run in this process, one after the other, on the same stream.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "protocols/protocol_binary.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pty {
  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    termios tio{};
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    path = name;
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

std::vector<std::uint8_t> frames(std::size_t values, std::size_t count) {
  std::vector<std::uint8_t> stream;
  stream.reserve(count * (4 + 2 * values));
  for (std::size_t f = 0; f < count; ++f) {
    stream.insert(stream.end(), {0xFF, 0xFF, static_cast<std::uint8_t>(values & 0xFF),
                                 static_cast<std::uint8_t>(values >> 8)});
    for (std::size_t v = 0; v < values; ++v) {
      const auto value = static_cast<std::uint16_t>((f + v) % 60000);
      stream.push_back(static_cast<std::uint8_t>(value & 0xFF));
      stream.push_back(static_cast<std::uint8_t>(value >> 8));
    }
  }
  return stream;
}

std::thread writeAll(int fd, const std::vector<std::uint8_t>& stream) {
  return std::thread([fd, &stream] {
    std::size_t done = 0;
    while (done < stream.size()) {
      const ssize_t n = ::write(fd, stream.data() + done, std::min<std::size_t>(65536, stream.size() - done));
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  });
}

double bareDrainSeconds(const std::vector<std::uint8_t>& stream) {
  Pty pty;
  const int fd = ::open(pty.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  std::vector<std::uint8_t> buffer(16384);
  const auto start = Clock::now();
  std::thread writer = writeAll(pty.master, stream);
  std::size_t received = 0;
  while (received < stream.size()) {
    pollfd pfd{fd, POLLIN, 0};
    ::poll(&pfd, 1, 100);
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n > 0) received += static_cast<std::size_t>(n);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  ::close(fd);
  return seconds;
}

double decodeSeconds(const std::vector<std::uint8_t>& stream, std::size_t frame_count) {
  Pty pty;
  feltwise_comm::PortHolder comms;
  comms.port_ = std::make_unique<serial::Serial>(pty.path, 115200,
                                                 serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0));
  feltwise_comm::ProtocolBinary protocol;
  std::vector<double> sample;
  sample.reserve(1024);
  const auto start = Clock::now();
  std::thread writer = writeAll(pty.master, stream);
  std::size_t decoded = 0;
  while (decoded < frame_count) {
    if (protocol.readSample(sample, comms)) ++decoded;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  return seconds;
}

}  // namespace

int main() {
  std::printf("%-8s %10s %14s %10s %14s %10s %7s\n", "values", "frames", "drain fr/s", "drain MB/s",
              "decode fr/s", "decode MB/s", "ratio");
  for (std::size_t values : {16u, 256u}) {
    const std::size_t count = values == 16 ? 400000 : 40000;
    const std::vector<std::uint8_t> stream = frames(values, count);
    double drain = 1e9;
    double decode = 1e9;
    for (int round = 0; round < 3; ++round) {  // best of three on a shared machine
      drain = std::min(drain, bareDrainSeconds(stream));
      decode = std::min(decode, decodeSeconds(stream, count));
    }
    const double mb = static_cast<double>(stream.size()) / 1e6;
    std::printf("%-8zu %10zu %14.0f %10.1f %14.0f %10.1f %7.2f\n", values, count, count / drain, mb / drain,
                count / decode, mb / decode, drain / decode);
  }
  std::printf("ratio = decoder throughput / bare read() drain of the same pty (target >= 0.50)\n");
  return 0;
}
