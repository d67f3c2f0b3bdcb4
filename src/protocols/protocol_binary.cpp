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
  for (std::size_t i = 0; i < wanted; i += 2) {
    sample.push_back(static_cast<double>(buffer_[i] | (buffer_[i + 1] << 8)));
  }
  return true;
}

}  // namespace feltwise_comm
