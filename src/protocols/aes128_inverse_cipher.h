// AES-128 decryption of single 16-byte blocks (the inverse cipher of FIPS-197).
//
// Version-2 sensors encipher their payload with AES-128 in ECB mode. The cipher
// is written here rather than taken from a crypto library so that the module
// builds the same way on every platform, Windows included, with nothing else
// to install. Only decryption is needed; the host never enciphers.
#ifndef FELTWISE_PROTOCOLS_AES128_INVERSE_CIPHER_H
#define FELTWISE_PROTOCOLS_AES128_INVERSE_CIPHER_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace feltwise_comm {

class Aes128InverseCipher {
 public:
  static constexpr std::size_t kBlockBytes = 16;
  static constexpr std::size_t kKeyBytes = 16;
  static constexpr int kKeyWords = 4;  // Nk
  static constexpr int kRounds = 10;   // Nr
  static constexpr std::size_t kScheduleBytes = kBlockBytes * (kRounds + 1);

  using Block = std::array<std::uint8_t, kBlockBytes>;
  using Key = std::array<std::uint8_t, kKeyBytes>;

  // Expands the key once; every block afterwards reuses the schedule.
  explicit Aes128InverseCipher(const Key& key);

  // Deciphers the 16 bytes at `in` into the 16 bytes at `out` (which may be
  // the same place). Byte r + 4c of a block is row r, column c of the state.
  void decryptBlock(const std::uint8_t* in, std::uint8_t* out) const;
  Block decryptBlock(const Block& in) const;

  // Round key i occupies bytes 16i to 16i + 15 (the words w[4i] to w[4i + 3]).
  const std::array<std::uint8_t, kScheduleBytes>& keySchedule() const { return schedule_; }

 private:
  std::array<std::uint8_t, kScheduleBytes> schedule_{};
};

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_AES128_INVERSE_CIPHER_H
