#include "support/played_sensor.h"

#include <cstdio>
#include <stdexcept>

namespace feltwise_test {
namespace {

constexpr std::uint32_t kCounterRange = 1u << 14;

// 14 bits in two bytes of 7: never 0xFF.
std::uint16_t counterWord(std::uint32_t counter) {
  const std::uint32_t c = counter % kCounterRange;
  return static_cast<std::uint16_t>((c & 0x7F) | ((c >> 7) << 8));
}

std::uint32_t counterOf(double value, PlayedSensor::Wire wire) {
  const auto word = static_cast<std::uint32_t>(value);
  if (wire == PlayedSensor::Wire::kText) return word % kCounterRange;
  return (word & 0x7F) | ((word >> 8) << 7);
}

void putWord(std::string& out, std::uint16_t word) {
  out += static_cast<char>(word & 0xFF);
  out += static_cast<char>(word >> 8);
}

std::uint16_t wordAt(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                    (static_cast<std::uint8_t>(bytes[at + 1]) << 8));
}

}  // namespace

PlayedSensor::PlayedSensor(PtyPair& pty, Options options) : pty_(pty), options_(options) {
  thread_ = std::thread([this] { run(); });
}

PlayedSensor::~PlayedSensor() {
  stop_.store(true);
  thread_.join();
}

std::string PlayedSensor::nextSample() {
  std::string out;
  if (options_.wire == Wire::kBinary) {
    putWord(out, 0xFFFF);
    putWord(out, static_cast<std::uint16_t>(options_.values));
    for (std::size_t i = 0; i < options_.values; ++i) {
      putWord(out, counterWord(counter_ + static_cast<std::uint32_t>(i)));
    }
  } else {
    for (std::size_t i = 0; i < options_.values; ++i) {
      if (i != 0) out += ',';
      out += std::to_string((counter_ + i) % kCounterRange);
    }
    out += '\n';
  }
  ++counter_;
  return out;
}

void PlayedSensor::answerRequests(std::string& pending) {
  if (options_.wire == Wire::kBinary) {
    while (pending.size() >= 8) {
      const std::uint16_t first = wordAt(pending, 0);
      const std::uint16_t address = wordAt(pending, 2);
      const std::uint16_t id = wordAt(pending, 4);
      if (first == 0xFFFB) {
        std::string reply;
        putWord(reply, 0xFFFB);
        putWord(reply, address);
        putWord(reply, id);
        putWord(reply, 2);
        for (std::uint8_t byte : replyDataFor(address)) reply += static_cast<char>(byte);
        sendWhole(reply);
        pending.erase(0, 8);
      } else if (first == 0xFFFC) {
        const std::size_t size = 8u + wordAt(pending, 6);
        if (pending.size() < size) return;
        std::string status;
        putWord(status, 0xFFFA);
        putWord(status, 1);
        sendWhole(status);
        pending.erase(0, size);
      } else {
        pending.erase(0, 1);
        continue;
      }
      ++requests_answered_;
    }
    return;
  }
  for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    const std::string request = pending.substr(0, end);
    pending.erase(0, end + 1);
    unsigned address = 0;
    unsigned id = 0;
    if (!request.empty() && request[0] == 'r' && std::sscanf(request.c_str(), "r%u,%u", &address, &id) == 2) {
      char hex[5];
      const std::vector<std::uint8_t> data = replyDataFor(static_cast<std::uint16_t>(address));
      std::snprintf(hex, sizeof hex, "%02x%02x", data[0], data[1]);
      sendWhole("R" + std::to_string(address) + "," + std::to_string(id) + ",2," + hex + "\n");
    } else if (!request.empty() && request[0] == 'w') {
      sendWhole("OK\n");
    } else {
      continue;
    }
    ++requests_answered_;
  }
}

void PlayedSensor::sendWhole(const std::string& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t done = 0;
  // A line nobody reads takes nothing: look at stop_ every few milliseconds.
  while (done < bytes.size()) {
    try {
      done += pty_.sendSome(data + done, bytes.size() - done, 5);
    } catch (const std::runtime_error&) {
      return;
    }
    if (done < bytes.size() && stop_.load()) return;
  }
}

void PlayedSensor::run() {
  std::string pending;
  auto next = std::chrono::steady_clock::now();
  while (!stop_.load()) {
    if (options_.answer_registers) {
      std::uint8_t chunk[512];
      std::size_t n;
      while ((n = pty_.receiveSome(chunk, sizeof chunk, 0)) > 0) pending.append(reinterpret_cast<char*>(chunk), n);
      answerRequests(pending);
    }
    if (streaming_.load() && std::chrono::steady_clock::now() >= next) {
      sendWhole(nextSample());
      ++samples_sent_;
      next += options_.period;
      // Behind by more than a few periods (a slow sanitizer build): catch up
      // by skipping, not by bursting.
      const auto now = std::chrono::steady_clock::now();
      if (next + 4 * options_.period < now) next = now;
    }
    // Until the next sample is due or a request comes, and never so long
    // that stopping waits.
    const auto now = std::chrono::steady_clock::now();
    auto until = now + std::chrono::milliseconds(1);
    if (streaming_.load() && next < until) until = next;
    if (options_.answer_registers) {
      // Waits for the first byte of a request and keeps it for the next round.
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
      std::uint8_t chunk[512];
      const std::size_t n = pty_.receiveSome(chunk, sizeof chunk, wait > 0 ? static_cast<int>(wait) : 0);
      pending.append(reinterpret_cast<char*>(chunk), n);
    } else {
      std::this_thread::sleep_until(until);
    }
  }
}

bool isCounterSample(const std::vector<double>& sample, std::size_t values, PlayedSensor::Wire wire) {
  if (sample.size() != values) return false;
  const std::uint32_t first = counterOf(sample[0], wire);
  for (std::size_t i = 0; i < sample.size(); ++i) {
    if (counterOf(sample[i], wire) != (first + i) % kCounterRange) return false;
    if (wire == PlayedSensor::Wire::kBinary && counterWord(counterOf(sample[i], wire)) != sample[i]) return false;
  }
  return true;
}

}  // namespace feltwise_test
