// libFuzzer target: arbitrary bytes as what the sensor sends while register
// requests wait, for the protocol versions that carry register traffic
// (FUZZ_PROTOCOL_VERSION picks one, one program per version with registers
// in the protocol table). The replies are lines or frames as the version's
// row of the table says.
//
// Input: byte 0 chooses what waits (a read, a write, or a read and then a
// write, each on a thread of its own as callers would; the write waits for
// the read's turn on the line); the rest is the sensor's stream on the
// in-memory port (src/serial/impl/memory_line.h). Once the first request is
// written, this thread plays the acquisition thread over the stream; then,
// for each request still waiting in line order, it waits until that request
// is written and plays a pause and a device error, which ends a request of
// either kind.
//
// Findings besides the sanitizers' reports:
// - a request that is never written, or that does not end after the error;
// - a request that ends in a time-out (none is reached in a run);
// - an error other than "Register read error: N" / "Register write error: N";
// - a read that succeeds although the input holds no read reply, or (binary)
//   with bytes no reply in the input carries;
// - a write that succeeds although the input holds no acknowledgement.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comms/component_factory.h"
#include "feltwise_comm/register_errors.h"
#include "protocols/protocol_table.h"
#include "protocols/text_register_lines.h"
#include "serial/impl/memory_line.h"
#include "serial/serial.h"

#ifndef FUZZ_PROTOCOL_VERSION
#error "FUZZ_PROTOCOL_VERSION must name the protocol version to fuzz"
#endif

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;
using serial::impl::MemoryLine;
using namespace std::chrono_literals;

constexpr int kVersion = FUZZ_PROTOCOL_VERSION;
// The comms object's: kept by the port, never waited for in memory.
const serial::Timeouts kCommsTimeouts(serial::Timeouts::max(), 100, 0, 100, 0);
const bool kBinary = feltwise_comm::findProtocol(kVersion)->wire == feltwise_comm::Wire::binary;

constexpr std::uint16_t kAddress = 32;
constexpr std::uint16_t kId = 1;
const std::vector<std::uint8_t> kWriteData{0x0A, 0xFF};
// Long enough never to expire while this thread is still feeding replies.
constexpr std::int64_t kRequestTimeoutMs = 60000;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

std::size_t requestBytes(bool write) {
  if (kBinary) return write ? 8 + kWriteData.size() : 8;
  return write ? feltwise_comm::formatWriteRequest(kAddress, kId, kWriteData).size()
               : feltwise_comm::formatReadRequest(kAddress, kId).size();
}

// Ends the request that waits, whatever state the stream left the reader in:
// the silence makes both readers start afresh.
std::string deviceError() {
  return std::string(MemoryLine::kPause) + (kBinary ? std::string("\xFA\xFF\x02\x00", 4) : std::string("E\n"));
}

// How a request ended.
enum class Outcome { kAnswered, kTimedOut, kReadRefused, kWriteRefused, kOtherError };

// A caller's thread, kept for the whole run: one register request per job.
class Requester {
 public:
  Requester() : thread_([this] { run(); }) {}

  void start(Protocol& protocol, PortHolder& comms, bool write) {
    std::lock_guard<std::mutex> lock(mutex_);
    protocol_ = &protocol;
    comms_ = &comms;
    write_ = write;
    outcome_ = Outcome::kAnswered;
    bytes_.clear();
    busy_ = true;
    cv_.notify_all();
  }

  bool finish(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return !busy_; });
  }

  Outcome outcome() const { return outcome_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  [[noreturn]] void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return busy_; });
      lock.unlock();
      Outcome outcome = Outcome::kAnswered;
      std::vector<std::uint8_t> bytes;
      try {
        if (write_) {
          protocol_->writeRegister(kAddress, kId, kWriteData, *comms_, kRequestTimeoutMs);
        } else {
          protocol_->readRegister(kAddress, kId, bytes, *comms_, kRequestTimeoutMs);
        }
      } catch (const feltwise_comm::RegisterTimeoutError&) {
        outcome = Outcome::kTimedOut;
      } catch (const feltwise_comm::RegisterStatusError& e) {
        outcome = e.kind() == feltwise_comm::RegisterKind::kWrite ? Outcome::kWriteRefused : Outcome::kReadRefused;
      } catch (...) {
        outcome = Outcome::kOtherError;
      }
      lock.lock();
      outcome_ = outcome;
      bytes_ = bytes;
      busy_ = false;
      cv_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool busy_ = false;
  Protocol* protocol_ = nullptr;
  PortHolder* comms_ = nullptr;
  bool write_ = false;
  Outcome outcome_ = Outcome::kAnswered;
  std::vector<std::uint8_t> bytes_;
  std::thread thread_;
};

bool holds(const std::uint8_t* stream, std::size_t size, const std::string& what) {
  return std::search(stream, stream + size, what.begin(), what.end(), [](std::uint8_t byte, char wanted) {
           return byte == static_cast<std::uint8_t>(wanted);
         }) != stream + size;
}

// What a reply that completes a request with success begins with.
bool holdsReadReply(const std::uint8_t* stream, std::size_t size) {
  return kBinary ? holds(stream, size, "\xFB\xFF") : holds(stream, size, "R") || holds(stream, size, "r");
}
bool holdsAcknowledgement(const std::uint8_t* stream, std::size_t size) {
  return kBinary ? holds(stream, size, std::string("\xFA\xFF\x01\x00", 4)) : holds(stream, size, "O");
}

void checkOutcome(const Requester& requester, bool write, const std::uint8_t* stream, std::size_t size) {
  const Outcome outcome = requester.outcome();
  if (outcome == Outcome::kAnswered) {
    if (write) {
      check(holdsAcknowledgement(stream, size), "a write succeeded without an acknowledgement");
      return;
    }
    check(holdsReadReply(stream, size), "a read succeeded without a read reply");
    if (kBinary && !requester.bytes().empty()) {
      const auto& bytes = requester.bytes();
      check(std::search(stream, stream + size, bytes.begin(), bytes.end()) != stream + size,
            "a read returned bytes no reply carries");
    }
    return;
  }
  check(outcome != Outcome::kTimedOut, "a request timed out");
  check(outcome == (write ? Outcome::kWriteRefused : Outcome::kReadRefused), "an undocumented error");
}

void playAcquisition(Protocol& protocol, PortHolder& comms, MemoryLine& line) {
  std::vector<double> sample(1024, 0.0);
  // The port may still hold bytes it read ahead when the line has run out.
  while (!line.exhausted() || comms.port_->peekReceived(nullptr, 0) != 0) {
    try {
      protocol.readSample(sample, comms);
    } catch (const serial::IOException&) {
      // An unplug: the port comes back for what follows, as after a connect.
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The build makes this target only for rows with registers.
  if (feltwise_comm::findProtocol(kVersion)->registers != feltwise_comm::Registers::yes) std::abort();
  // A text protocol echoes device error lines on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // Kept for the whole run; threads are too slow to start per input.
  static Requester* const reader = new Requester();
  static Requester* const writer = new Requester();

  const int mode = data[0] % 3;
  const bool read_waits = mode != 1;
  const bool write_waits = mode != 0;
  const std::uint8_t* stream = data + 1;
  const std::size_t stream_size = size - 1;

  MemoryLine& line = MemoryLine::instance();
  line.load(stream, stream_size);
  PortHolder comms;
  comms.port_ = std::make_unique<serial::Serial>("memory", 115200, kCommsTimeouts);
  const std::unique_ptr<Protocol> protocol = feltwise_comm::createProtocol(kVersion);

  // In line order: when both wait, the write takes the line after the read.
  struct Waiting {
    Requester* requester;
    bool write;
    std::size_t written_when_sent;  // bytes on the line once it is written
  };
  Waiting waiting[2];
  std::size_t count = 0;
  std::size_t requests = 0;
  if (read_waits) {
    requests += requestBytes(false);
    waiting[count++] = {reader, false, requests};
  }
  if (write_waits) {
    requests += requestBytes(true);
    waiting[count++] = {writer, true, requests};
  }
  // Once written, a request waits: it holds the line from before its write.
  waiting[0].requester->start(*protocol, comms, waiting[0].write);
  check(line.waitForWritten(waiting[0].written_when_sent, 10s), "a request was never written");
  if (count == 2) waiting[1].requester->start(*protocol, comms, waiting[1].write);

  playAcquisition(*protocol, comms, line);
  for (std::size_t k = 0; k < count; ++k) {
    check(line.waitForWritten(waiting[k].written_when_sent, 10s), "a request was never written");
    if (!waiting[k].requester->finish(0ms)) {
      line.append(deviceError());
      playAcquisition(*protocol, comms, line);
    }
    check(waiting[k].requester->finish(10s), "a request still waits after the device error");
    checkOutcome(*waiting[k].requester, waiting[k].write, stream, stream_size);
  }
  return 0;
}
