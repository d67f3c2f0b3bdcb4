#include "protocols/protocol_binary.h"

namespace feltwise_comm {

bool ProtocolBinary::readSample(std::vector<double>& sample, PortHolder& comms) {
  if (!first_word_.read(portOf(comms), buffer_, header_)) return false;
  if (header_ != kSampleWord) {
    first_word_.reject(header_);
    return false;
  }
  return readPayload(sample, comms);
}

void ProtocolBinary::startStream(PortHolder&, StreamStart, SampleRule) { first_word_.restart(); }

bool ProtocolBinary::sampleWaiting(PortHolder& comms) {
  std::uint8_t head[4];
  const std::size_t waiting = portOf(comms).peekReceived(head, sizeof head);
  if (waiting < sizeof head || head[0] != 0xFF || head[1] != 0xFF) return false;
  const std::size_t count = head[2] | (head[3] << 8);
  return count != 0 && count <= kMaxCount && waiting >= sizeof head + 2 * count;
}

bool ProtocolBinary::readPayload(std::vector<double>& sample, PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  buffer_.clear();
  if (port.read(buffer_, 2) != 2) return false;
  count_ = decodeWord(buffer_);
  sample.clear();
  if (count_ == 0 || count_ > kMaxCount) return true;

  buffer_.clear();
  const std::size_t wanted = 2u * count_;
  if (port.read(buffer_, wanted) != wanted) return false;
  // Sized once and filled by index, not grown value by value.
  sample.resize(count_);
  const std::uint8_t* bytes = buffer_.data();
  double* values = sample.data();
  for (std::size_t i = 0; i < count_; ++i) {
    values[i] = static_cast<double>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return true;
}

}  // namespace feltwise_comm
