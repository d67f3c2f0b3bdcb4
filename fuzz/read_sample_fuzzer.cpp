// libFuzzer target: arbitrary bytes as the sensor's stream, read through one
// protocol's readSample, as the acquisition thread would, from the in-memory
// port (src/serial/impl/memory_line.h: "<pause>" and "<unplug>" in the input are
// a silence longer than a read time-out and a vanished device).
// FUZZ_PROTOCOL_VERSION picks the protocol; one program per version. Every
// stream starts as the acquisition thread starts it (startStream): inputs of
// odd length are read as feltwise.Sensor reads them (whole samples only),
// those of even length as FeltwiseComms does.
//
// Findings besides the sanitizers' reports:
// - an exception other than the port's IOException for an unplug;
// - a sample longer than the protocol can deliver, or a binary value that is
//   not a 16-bit reading;
// - a protocol of plain frames (ProtocolBinary and its subclasses): a sample
//   whose frame (FF FF, count, values) is not in the input as it stands: a
//   value made up, shifted or taken from two frames;
// - sampleWaiting true after a sample, and the next readSample then giving
//   no sample.
// Which checks apply follows the version's row of the protocol table and the
// class it creates, never a list of version numbers.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "comms/component_factory.h"
#include "protocols/protocol_binary.h"
#include "protocols/protocol_binary_encrypt.h"
#include "protocols/protocol_string.h"
#include "protocols/protocol_table.h"
#include "serial/impl/memory_line.h"
#include "serial/serial.h"

#ifndef FUZZ_PROTOCOL_VERSION
#error "FUZZ_PROTOCOL_VERSION must name the protocol version to fuzz"
#endif

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolBinary;
using feltwise_comm::ProtocolBinaryEncrypt;
using feltwise_comm::SampleRule;
using feltwise_comm::StreamStart;
using serial::impl::MemoryLine;

constexpr int kVersion = FUZZ_PROTOCOL_VERSION;
// The comms object's: kept by the port, never waited for in memory.
const serial::Timeouts kCommsTimeouts(serial::Timeouts::max(), 100, 0, 100, 0);

// Whether the version's protocol is a `Class`.
template <typename Class>
bool protocolIs() {
  const std::unique_ptr<feltwise_comm::Protocol> protocol = feltwise_comm::createProtocol(kVersion);
  return dynamic_cast<const Class*>(protocol.get()) != nullptr;
}

const bool kText = feltwise_comm::findProtocol(kVersion)->wire == feltwise_comm::Wire::text;
const bool kPlainFrames = protocolIs<ProtocolBinary>();
const bool kEnciphered = protocolIs<ProtocolBinaryEncrypt>();

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
  }
}

bool frameInInput(const std::vector<double>& sample, const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> frame{0xFF, 0xFF, static_cast<std::uint8_t>(sample.size() & 0xFF),
                                  static_cast<std::uint8_t>(sample.size() >> 8)};
  for (double value : sample) {
    const auto word = static_cast<std::uint16_t>(value);
    frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  return std::search(data, data + size, frame.begin(), frame.end()) != data + size;
}

void checkSample(const std::vector<double>& sample, const std::uint8_t* data, std::size_t size) {
  if (kText) {
    check(sample.size() <= feltwise_comm::ProtocolString::kMaxLineBytes / 2 + 1, "more fields than a line holds");
    return;
  }
  check(sample.size() <= ProtocolBinary::kMaxCount, "more values than a frame holds");
  if (kEnciphered) {
    check(sample.size() <= ProtocolBinaryEncrypt::valueCount(1023), "values beyond the plaintext");
  }
  for (double value : sample) {
    check(value >= 0.0 && value <= 65535.0 && std::floor(value) == value, "a value that is no 16-bit reading");
  }
  if (kPlainFrames && !sample.empty()) {
    check(frameInInput(sample, data, size), "a sample no frame in the input carries");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A protocol with registers echoes device error lines on standard output;
  // libFuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemoryLine& line = MemoryLine::instance();
  line.load(data, size);
  PortHolder comms;
  comms.port_ = std::make_unique<serial::Serial>("memory", 115200, kCommsTimeouts);
  const std::unique_ptr<feltwise_comm::Protocol> protocol = feltwise_comm::createProtocol(kVersion);
  const SampleRule rule = size % 2 == 1 ? SampleRule::kWholeSamples : SampleRule::kAsReceived;
  protocol->startStream(comms, StreamStart::kPortOpened, rule);

  // The acquisition thread's scratch, as it hands it over.
  std::vector<double> sample(1024, 0.0);
  // Every call consumes at least a byte or a marker, so this ends. The port
  // may still hold bytes it read ahead when the line has run out.
  while (!line.exhausted() || comms.port_->peekReceived(nullptr, 0) != 0) {
    try {
      if (protocol->readSample(sample, comms)) {
        checkSample(sample, data, size);
        // Asked as the acquisition thread asks it: a sample said to be
        // waiting is there whole, so the next read returns it.
        if (protocol->sampleWaiting(comms)) {
          check(protocol->readSample(sample, comms) && !sample.empty(), "a sample said to be waiting did not come");
          checkSample(sample, data, size);
        }
      }
    } catch (const serial::IOException&) {
      // Unplugged: the comms object would drop the port here and start the
      // next connection's stream on the same protocol object.
      protocol->startStream(comms, StreamStart::kPortOpened, rule);
    }
  }
  return 0;
}
