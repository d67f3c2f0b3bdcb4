#include "counter_stream.h"

#include <memory>
#include <set>
#include <string>

#include "aes128_reference_cipher.h"
#include "protocols/protocol_binary_encrypt.h"
#include "protocols/protocol_table.h"

namespace feltwise_test {
namespace {

const AesKey kSensorKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                           0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// Whether the version's frames are enciphered (its protocol is a
// ProtocolBinaryEncrypt): the other binary versions send their values as they are.
bool isEncipheredVersion(int version) {
  static const std::set<int> kEnciphered = [] {
    std::set<int> versions;
    for (const feltwise_comm::ProtocolEntry& row : feltwise_comm::protocolTable()) {
      const std::unique_ptr<feltwise_comm::Protocol> protocol = row.create();
      if (dynamic_cast<const feltwise_comm::ProtocolBinaryEncrypt*>(protocol.get()) != nullptr) {
        versions.insert(row.version);
      }
    }
    return versions;
  }();
  return kEnciphered.count(version) != 0;
}

// Counter words as PlayedSensor writes them: 14 bits in two 7-bit bytes, so
// that no payload byte is FF.
void putCounter(Bytes& out, std::uint32_t counter) {
  const std::uint32_t c = counter % (1u << 14);
  out.push_back(static_cast<std::uint8_t>(c & 0x7F));
  out.push_back(static_cast<std::uint8_t>(c >> 7));
}

}  // namespace

PlayedSensor::Wire wireOf(int version) {
  return isTextVersion(version) ? PlayedSensor::Wire::kText : PlayedSensor::Wire::kBinary;
}

Bytes counterSampleBytes(int version, std::uint16_t count, std::uint32_t k) {
  if (isTextVersion(version)) {
    std::string line;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i != 0) line += ',';
      line += std::to_string((10000 + k + i) % (1u << 14));
    }
    line += '\n';
    return Bytes(line.begin(), line.end());
  }
  Bytes out = {0xFF, 0xFF, static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8)};
  if (!isEncipheredVersion(version)) {
    for (std::uint32_t i = 0; i < count; ++i) putCounter(out, k + i);
    return out;
  }
  Bytes plaintext;
  const std::size_t plain_bytes = feltwise_comm::ProtocolBinaryEncrypt::cipherBytes(count);
  for (std::uint32_t i = 0; plaintext.size() < plain_bytes; ++i) putCounter(plaintext, k + i);
  const Bytes ciphertext = aes128EncryptEcb(kSensorKey, plaintext);
  out.insert(out.end(), ciphertext.begin(), ciphertext.end());
  return out;
}

std::size_t counterValuesOf(int version, std::uint16_t count) {
  return isEncipheredVersion(version) ? feltwise_comm::ProtocolBinaryEncrypt::valueCount(count) : count;
}

bool isWholeCounterSample(const std::vector<double>& sample, int version, std::uint16_t count) {
  return isCounterSample(sample, counterValuesOf(version, count), wireOf(version));
}

}  // namespace feltwise_test
