// Protocol throughput and register round trips over a pseudo-terminal.
//
// Throughput: the master side writes a stream as fast as the kernel takes it;
// the slave side is drained once by a bare poll()+read() loop (the ceiling:
// what the pty itself carries) and once by the protocol's readSample through
// the port layer. Round trip: a register request answered by a thread on the
// master side, beside a bare write/read ping-pong of the same sizes.
// Everything runs in this process, in this run; each figure is the best of
// three on a shared machine.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocols/protocol_binary.h"
#include "protocols/protocol_binary_configurable.h"
#include "protocols/protocol_binary_encrypt.h"
#include "protocols/protocol_string.h"
#include "protocols/protocol_string_configurable.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;

struct Pty {
  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    for (int fd : {master, slave}) {
      termios tio{};
      ::tcgetattr(fd, &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(fd, TCSANOW, &tio);
    }
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

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, std::min<std::size_t>(65536, size - done));
    if (n > 0) done += static_cast<std::size_t>(n);
  }
}

bool readExactly(int fd, std::uint8_t* into, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 1000) <= 0) return false;
    const ssize_t n = ::read(fd, into + got, size - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

std::unique_ptr<serial::Serial> openPort(const std::string& path) {
  return std::make_unique<serial::Serial>(path, 115200, serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0));
}

void appendWord(Bytes& out, std::uint16_t word) {
  out.push_back(static_cast<std::uint8_t>(word & 0xFF));
  out.push_back(static_cast<std::uint8_t>(word >> 8));
}

Bytes sampleFrames(std::size_t values, std::size_t frames) {
  Bytes stream;
  for (std::size_t f = 0; f < frames; ++f) {
    appendWord(stream, 0xFFFF);
    appendWord(stream, static_cast<std::uint16_t>(values));
    for (std::size_t v = 0; v < values; ++v) appendWord(stream, static_cast<std::uint16_t>((f + v) % 60000));
  }
  return stream;
}

// Version 2: deciphering costs the same whatever the ciphertext, so random bytes do.
Bytes encipheredFrames(std::size_t count, std::size_t frames) {
  std::mt19937 random(7);
  Bytes stream;
  const std::size_t cipher_bytes = 16 * (count / 16 + 1);
  for (std::size_t f = 0; f < frames; ++f) {
    appendWord(stream, 0xFFFF);
    appendWord(stream, static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < cipher_bytes; ++i) stream.push_back(static_cast<std::uint8_t>(random() & 0x7F));
  }
  return stream;
}

Bytes textLines(std::size_t values, std::size_t target_bytes, std::size_t& lines) {
  std::string line;
  for (std::size_t v = 0; v < values; ++v) line += (v ? "," : "") + std::to_string(1000 + 37 * v) + ".25";
  line += "\n";
  lines = target_bytes / line.size();
  Bytes stream;
  stream.reserve(lines * line.size());
  for (std::size_t i = 0; i < lines; ++i) stream.insert(stream.end(), line.begin(), line.end());
  return stream;
}

double bareDrainSeconds(const Bytes& stream) {
  Pty pty;
  const int fd = ::open(pty.path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  Bytes buffer(16384);
  const auto start = Clock::now();
  std::thread writer([&] { writeAll(pty.master, stream.data(), stream.size()); });
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

double decodeSeconds(const Bytes& stream, std::size_t samples, const std::function<std::unique_ptr<Protocol>()>& make) {
  Pty pty;
  PortHolder comms;
  comms.port_ = openPort(pty.path);
  auto protocol = make();
  std::vector<double> sample;
  sample.reserve(1024);
  const auto start = Clock::now();
  std::thread writer([&] { writeAll(pty.master, stream.data(), stream.size()); });
  std::size_t decoded = 0;
  while (decoded < samples) {
    if (protocol->readSample(sample, comms)) ++decoded;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  return seconds;
}

struct ThroughputRow {
  const char* name;
  Bytes stream;
  std::size_t samples;
  std::function<std::unique_ptr<Protocol>()> make;
};

template <typename T>
std::function<std::unique_ptr<Protocol>()> maker() {
  return [] { return std::make_unique<T>(); };
}

void throughput() {
  std::size_t lines = 0;
  std::vector<ThroughputRow> rows;
  rows.push_back({"v1 binary, 16 values", sampleFrames(16, 400000), 400000, maker<feltwise_comm::ProtocolBinary>()});
  rows.push_back({"v1 binary, 256 values", sampleFrames(256, 40000), 40000, maker<feltwise_comm::ProtocolBinary>()});
  rows.push_back(
      {"v2 enciphered, count 16", encipheredFrames(16, 300000), 300000, maker<feltwise_comm::ProtocolBinaryEncrypt>()});
  rows.push_back({"v2 enciphered, count 1023", encipheredFrames(1023, 10000), 10000,
                  maker<feltwise_comm::ProtocolBinaryEncrypt>()});
  rows.push_back({"v4 binary+registers, 16", sampleFrames(16, 400000), 400000,
                  maker<feltwise_comm::ProtocolBinaryConfigurable>()});
  rows.push_back({"v4 binary+registers, 256", sampleFrames(256, 40000), 40000,
                  maker<feltwise_comm::ProtocolBinaryConfigurable>()});
  Bytes text = textLines(64, 10'000'000, lines);
  rows.push_back({"v0 text, 64 values, 10 MB", std::move(text), lines, maker<feltwise_comm::ProtocolString>()});

  std::printf("%-28s %9s %12s %10s %12s %10s %7s\n", "stream", "samples", "drain /s", "drain MB/s", "decode /s",
              "decode MB/s", "ratio");
  for (const ThroughputRow& row : rows) {
    double drain = 1e9;
    double decode = 1e9;
    for (int round = 0; round < 3; ++round) {
      drain = std::min(drain, bareDrainSeconds(row.stream));
      decode = std::min(decode, decodeSeconds(row.stream, row.samples, row.make));
    }
    const double mb = static_cast<double>(row.stream.size()) / 1e6;
    const double n = static_cast<double>(row.samples);
    std::printf("%-28s %9zu %12.0f %10.1f %12.0f %10.1f %7.2f\n", row.name, row.samples, n / drain, mb / drain,
                n / decode, mb / decode, drain / decode);
  }
  std::printf("ratio = decoder throughput / bare read() drain of the same pty\n\n");
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double percentile99(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, values.size() * 99 / 100)];
}

// The sensor side of a round trip: answers every request of `request_size`
// bytes (or every line, when 0) with `reply`.
void answerRequests(int fd, std::size_t request_size, const Bytes& reply, std::atomic<bool>& stop) {
  Bytes pending;
  std::uint8_t chunk[4096];
  while (!stop) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 20) <= 0) continue;
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return;
    pending.insert(pending.end(), chunk, chunk + n);
    for (;;) {
      std::size_t size = request_size;
      if (size == 0) {
        const auto eol = std::find(pending.begin(), pending.end(), '\n');
        if (eol == pending.end()) break;
        size = static_cast<std::size_t>(eol - pending.begin()) + 1;
      }
      if (pending.size() < size) break;
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(size));
      writeAll(fd, reply.data(), reply.size());
    }
  }
}

std::vector<double> registerRoundTrips(Protocol& protocol, std::size_t request_size, const Bytes& reply, int count) {
  Pty pty;
  PortHolder comms;
  comms.port_ = openPort(pty.path);
  std::atomic<bool> stop{false};
  std::thread sensor([&] { answerRequests(pty.master, request_size, reply, stop); });
  std::thread acquisition([&] {
    std::vector<double> sample;
    while (!stop) protocol.readSample(sample, comms);
  });
  std::vector<double> micros;
  std::vector<std::uint8_t> out;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    protocol.readRegister(32, 1, out, comms, 1000);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  stop = true;
  acquisition.join();
  sensor.join();
  return micros;
}

std::vector<double> barePingPong(std::size_t request_size, std::size_t reply_size, int count) {
  Pty pty;
  const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  std::atomic<bool> stop{false};
  const Bytes reply(reply_size, 0x55);
  std::thread sensor([&] { answerRequests(pty.master, request_size, reply, stop); });
  Bytes request(request_size, 0x01);
  Bytes answer(reply_size);
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    writeAll(fd, request.data(), request.size());
    readExactly(fd, answer.data(), answer.size());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  stop = true;
  sensor.join();
  ::close(fd);
  return micros;
}

void roundTrips() {
  const int count = 1000;
  Bytes binary_reply;
  for (std::uint16_t word : {0xFFFB, 0x0001, 0x0002, 0x0002}) appendWord(binary_reply, word);
  binary_reply.push_back(0x0A);
  binary_reply.push_back(0xFF);
  const std::string text = "R32,1,2,0AFF\n";
  const Bytes text_reply(text.begin(), text.end());

  feltwise_comm::ProtocolBinaryConfigurable v4;
  feltwise_comm::ProtocolStringConfigurable v3;
  const auto v4_times = registerRoundTrips(v4, 8, binary_reply, count);
  const auto v4_bare = barePingPong(8, binary_reply.size(), count);
  const auto v3_times = registerRoundTrips(v3, 0, text_reply, count);
  const auto v3_bare = barePingPong(8, text_reply.size(), count);

  std::printf("%-28s %12s %12s %12s %12s %7s\n", "register read round trip", "median us", "p99 us", "bare med us",
              "bare p99 us", "ratio");
  std::printf("%-28s %12.1f %12.1f %12.1f %12.1f %7.2f\n", "v4 binary (1000 requests)", median(v4_times),
              percentile99(v4_times), median(v4_bare), percentile99(v4_bare), median(v4_times) / median(v4_bare));
  std::printf("%-28s %12.1f %12.1f %12.1f %12.1f %7.2f\n", "v3 text (1000 requests)", median(v3_times),
              percentile99(v3_times), median(v3_bare), percentile99(v3_bare), median(v3_times) / median(v3_bare));
  std::printf("ratio = median round trip / median bare ping-pong of the same sizes on a pty\n");
}

}  // namespace

int main() {
  throughput();
  roundTrips();
  return 0;
}
