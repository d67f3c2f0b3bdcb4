// Protocol version 2: binary sample frames with an enciphered payload.
//
//   FF FF | count (u16 LE) | (count / 16 + 1) x 16 bytes of AES-128-ECB ciphertext
//
// The ciphertext length follows from count alone, so a count that is a
// multiple of 16 still carries one block more than it needs. The plaintext is
// read as u16 LE values from its start. No register traffic in this version.
#ifndef FELTWISE_PROTOCOLS_PROTOCOL_BINARY_ENCRYPT_H
#define FELTWISE_PROTOCOLS_PROTOCOL_BINARY_ENCRYPT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocols/aes128_inverse_cipher.h"
#include "protocols/frame_word_reader.h"
#include "protocols/protocol.h"

namespace feltwise_comm {

// The key the sensor firmware enciphers with, in the byte order AES takes it.
// A sensor with another key needs this constant changed and the library rebuilt.
inline constexpr Aes128InverseCipher::Key kDeviceKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                                        0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

class ProtocolBinaryEncrypt : public Protocol {
 public:
  static constexpr std::uint16_t kSampleWord = 0xFFFF;
  static constexpr std::uint16_t kMaxCount = 1023;

  ProtocolBinaryEncrypt();

  // True when a whole frame was read: `sample` then holds the values (empty
  // for a count of 0 or above 1023, whose frames carry no ciphertext).
  bool readSample(std::vector<double>& sample, PortHolder& comms) override;
  void startStream(PortHolder& comms, StreamStart start, SampleRule rule) override;

  // Ciphertext bytes that follow a count word.
  static std::size_t cipherBytes(std::uint16_t count) { return Aes128InverseCipher::kBlockBytes * (count / 16u + 1u); }

  // Values a frame yields. Every count above 8 except 16 promises more values
  // than its blocks hold (count 15 carries one block: 8 values; count 1023
  // carries 64: 512 values); decoding stops at the end of the plaintext.
  static std::size_t valueCount(std::uint16_t count) {
    const std::size_t in_plaintext = cipherBytes(count) / 2;
    return count < in_plaintext ? count : in_plaintext;
  }

 private:
  std::vector<std::uint8_t> buffer_;
  std::uint16_t header_ = 0;
  std::vector<std::uint8_t> plaintext_;
  std::uint16_t count_ = 0;
  Aes128InverseCipher cipher_;
  FrameWordReader first_word_;
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_PROTOCOL_BINARY_ENCRYPT_H
