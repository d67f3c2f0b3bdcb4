#include "protocols/protocol_binary_encrypt.h"

namespace feltwise_comm {

ProtocolBinaryEncrypt::ProtocolBinaryEncrypt() : cipher_(kDeviceKey) {
  // Enough for the small skins most sensors carry; larger frames grow the
  // buffers once and keep them.
  buffer_.reserve(200);
  plaintext_.reserve(200);
}

void ProtocolBinaryEncrypt::startStream(PortHolder&, StreamStart, SampleRule) { first_word_.restart(); }

bool ProtocolBinaryEncrypt::readSample(std::vector<double>& sample, PortHolder& comms) {
  serial::Serial& port = portOf(comms);
  if (!first_word_.read(port, buffer_, header_)) return false;
  if (header_ != kSampleWord) {
    first_word_.reject(header_);
    return false;
  }

  buffer_.clear();
  if (port.read(buffer_, 2) != 2) return false;
  count_ = decodeWord(buffer_);
  sample.clear();
  if (count_ == 0 || count_ > kMaxCount) return true;

  const std::size_t wanted = cipherBytes(count_);
  buffer_.clear();
  if (port.read(buffer_, wanted) != wanted) return false;

  // ECB: every block is deciphered on its own with the same key.
  plaintext_.resize(wanted);
  for (std::size_t at = 0; at < wanted; at += Aes128InverseCipher::kBlockBytes) {
    cipher_.decryptBlock(&buffer_[at], &plaintext_[at]);
  }
  const std::size_t values = valueCount(count_);
  for (std::size_t j = 0; j < values; ++j) {
    sample.push_back(static_cast<double>(plaintext_[2 * j] | (plaintext_[2 * j + 1] << 8)));
  }
  return true;
}

}  // namespace feltwise_comm
