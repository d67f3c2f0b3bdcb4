#include "protocols/protocol_binary.h"

namespace feltwise_comm {
namespace {

constexpr std::size_t kHeadSize = 4;  // sync word and count

std::size_t countAt(const std::uint8_t* head) { return head[2] | (head[3] << 8); }

bool hasValues(std::size_t count) { return count != 0 && count <= ProtocolBinary::kMaxCount; }

// The size of the frame with values that `bytes` begins with, when all of it
// is among the `size` bytes; 0 otherwise.
std::size_t wholeSampleFrame(const std::uint8_t* bytes, std::size_t size) {
  if (size < kHeadSize || bytes[0] != 0xFF || bytes[1] != 0xFF) return 0;
  const std::size_t count = countAt(bytes);
  if (!hasValues(count) || size < kHeadSize + 2 * count) return 0;
  return kHeadSize + 2 * count;
}

void decodeValues(const std::uint8_t* bytes, std::size_t count, std::vector<double>& sample) {
  // Sized once and filled by index, not grown value by value.
  sample.resize(count);
  double* values = sample.data();
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = static_cast<double>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
}

}  // namespace

bool ProtocolBinary::readSample(std::vector<double>& sample, PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  switch (takeHeldFrame(sample, port)) {
    case HeldFrame::kTaken:
      return true;
    case HeldFrame::kSilent:
      return false;
    case HeldFrame::kNone:
      break;
  }
  if (!first_word_.read(port, buffer_, header_)) return false;
  if (header_ != kSampleWord) {
    first_word_.reject(header_);
    return false;
  }
  return readPayload(sample, comms);
}

ProtocolBinary::HeldFrame ProtocolBinary::takeHeldFrame(std::vector<double>& sample, serial::Serial& port) {
  next_known_ = false;
  if (first_word_.carries(port)) return HeldFrame::kNone;
  bool taken = false;
  auto take = [&](const std::uint8_t* bytes, std::size_t size) -> std::size_t {
    if (size < kHeadSize || bytes[0] != 0xFF || bytes[1] != 0xFF) return 0;
    const std::size_t count = countAt(bytes);
    // A count of 0 or above the limit is a frame of its head alone.
    const std::size_t frame = hasValues(count) ? kHeadSize + 2 * count : kHeadSize;
    if (size < frame) return 0;
    decodeValues(bytes + kHeadSize, hasValues(count) ? count : 0, sample);
    header_ = kSampleWord;
    count_ = static_cast<std::uint16_t>(count);
    next_waiting_ = wholeSampleFrame(bytes + frame, size - frame) != 0;
    next_known_ = true;
    taken = true;
    return frame;
  };
  if (port.takeReceived(2, take) == 0) return HeldFrame::kSilent;
  return taken ? HeldFrame::kTaken : HeldFrame::kNone;
}

void ProtocolBinary::startStream(PortHolder&, StreamStart, SampleRule) {
  first_word_.restart();
  next_known_ = false;
}

bool ProtocolBinary::sampleWaiting(PortHolder& comms) {
  if (next_known_) return next_waiting_;
  std::uint8_t head[kHeadSize];
  const std::size_t waiting = portOf(comms).peekReceived(head, sizeof head);
  if (waiting < sizeof head || head[0] != 0xFF || head[1] != 0xFF) return false;
  const std::size_t count = countAt(head);
  return hasValues(count) && waiting >= sizeof head + 2 * count;
}

bool ProtocolBinary::readPayload(std::vector<double>& sample, PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  buffer_.clear();
  if (port.read(buffer_, 2) != 2) return false;
  count_ = decodeWord(buffer_);
  sample.clear();
  if (!hasValues(count_)) return true;

  buffer_.clear();
  const std::size_t wanted = 2u * count_;
  if (port.read(buffer_, wanted) != wanted) return false;
  decodeValues(buffer_.data(), count_, sample);
  return true;
}

}  // namespace feltwise_comm
