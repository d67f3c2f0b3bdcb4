// An AES-128 forward cipher for the tests, written from FIPS-197 separately
// from the library's inverse cipher (its S-box is the published table, not a
// derived one), so that frames built with it check the library rather than
// agree with it by construction. Slow and simple on purpose.
#ifndef FELTWISE_TESTS_PROTOCOLS_AES128_REFERENCE_CIPHER_H
#define FELTWISE_TESTS_PROTOCOLS_AES128_REFERENCE_CIPHER_H

#include <array>
#include <cstdint>
#include <vector>

namespace feltwise_test {

using AesBlock = std::array<std::uint8_t, 16>;
using AesKey = std::array<std::uint8_t, 16>;

AesBlock aes128Encrypt(const AesKey& key, const AesBlock& plaintext);

// ECB over a whole buffer; its length must be a multiple of 16.
std::vector<std::uint8_t> aes128EncryptEcb(const AesKey& key, const std::vector<std::uint8_t>& plaintext);

// "00112233..." -> bytes.
std::vector<std::uint8_t> fromHex(const char* hex);
AesBlock blockFromHex(const char* hex);

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_PROTOCOLS_AES128_REFERENCE_CIPHER_H
