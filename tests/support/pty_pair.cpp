#include "support/pty_pair.h"

#include <chrono>

namespace feltwise_test {

void PtyPair::send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) done += sendSome(bytes.data() + done, bytes.size() - done, 100);
}

void PtyPair::send(const std::string& text) { send(std::vector<std::uint8_t>(text.begin(), text.end())); }

std::vector<std::uint8_t> PtyPair::receive(std::size_t at_least, int timeout_ms) {
  std::vector<std::uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t chunk[4096];
  while (out.size() < at_least) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const std::size_t n = receiveSome(chunk, sizeof chunk, static_cast<int>(left.count()));
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

serial::Timeouts commsTimeouts() { return serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0); }

std::unique_ptr<serial::Serial> openCommsPort(const std::string& path) {
  return std::make_unique<serial::Serial>(path, 115200, commsTimeouts(), serial::eightbits, serial::parity_none,
                                          serial::stopbits_one, serial::flowcontrol_none);
}

std::vector<std::uint8_t> binaryFrame(const std::vector<std::uint16_t>& values) {
  std::vector<std::uint8_t> frame{0xFF, 0xFF, static_cast<std::uint8_t>(values.size() & 0xFF),
                                  static_cast<std::uint8_t>(values.size() >> 8)};
  for (std::uint16_t v : values) {
    frame.push_back(static_cast<std::uint8_t>(v & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  return frame;
}

}  // namespace feltwise_test
