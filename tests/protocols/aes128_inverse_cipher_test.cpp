// The inverse cipher against published known answers, and against the tests'
// own forward cipher over many keys and blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "aes128_reference_cipher.h"
#include "protocols/aes128_inverse_cipher.h"

namespace {

using feltwise_comm::Aes128InverseCipher;
using feltwise_test::AesBlock;
using feltwise_test::blockFromHex;

Aes128InverseCipher::Key keyFromHex(const char* hex) { return blockFromHex(hex); }

// FIPS-197 Appendix C.1 (AES-128).
const char* const kC1Key = "000102030405060708090a0b0c0d0e0f";
const char* const kC1Plaintext = "00112233445566778899aabbccddeeff";
const char* const kC1Ciphertext = "69c4e0d86a7b0430d8cdb78070b4c55a";

// FIPS-197 Appendix A.1 cipher key, enciphering the input of Appendix B.
const char* const kA1Key = "2b7e151628aed2a6abf7158809cf4f3c";
const char* const kBInput = "3243f6a8885a308d313198a2e0370734";
const char* const kBOutput = "3925841d02dc09fbdc118597196a0b32";

TEST(Aes128InverseCipher, DeciphersTheAppendixC1Vector) {
  const Aes128InverseCipher cipher(keyFromHex(kC1Key));
  EXPECT_EQ(cipher.decryptBlock(blockFromHex(kC1Ciphertext)), blockFromHex(kC1Plaintext));
}

TEST(Aes128InverseCipher, DeciphersTheAppendixBVectorUnderTheA1Key) {
  const Aes128InverseCipher cipher(keyFromHex(kA1Key));
  EXPECT_EQ(cipher.decryptBlock(blockFromHex(kBOutput)), blockFromHex(kBInput));
}

// NIST SP 800-38A F.1.2 (ECB-AES128.Decrypt) uses the same key: two blocks
// deciphered one after the other with one expanded key.
TEST(Aes128InverseCipher, DeciphersConsecutiveEcbBlocksWithOneSchedule) {
  const Aes128InverseCipher cipher(keyFromHex(kA1Key));
  EXPECT_EQ(cipher.decryptBlock(blockFromHex("3ad77bb40d7a3660a89ecaf32466ef97")),
            blockFromHex("6bc1bee22e409f96e93d7e117393172a"));
  EXPECT_EQ(cipher.decryptBlock(blockFromHex("f5d3d58503b9699de785895a96fdbaaf")),
            blockFromHex("ae2d8a571e03ac9c9eb76fac45af8e51"));
}

TEST(Aes128InverseCipher, ExpandsTheA1KeyAsAppendixA1Lists) {
  const Aes128InverseCipher cipher(keyFromHex(kA1Key));
  const auto& schedule = cipher.keySchedule();
  const AesBlock round1 = blockFromHex("a0fafe1788542cb123a339392a6c7605");   // w[4] to w[7]
  const AesBlock round10 = blockFromHex("d014f9a8c9ee2589e13f0cc8b6630ca6");  // w[40] to w[43]
  EXPECT_TRUE(std::equal(round1.begin(), round1.end(), schedule.begin() + 16));
  EXPECT_TRUE(std::equal(round10.begin(), round10.end(), schedule.begin() + 160));
}

TEST(Aes128InverseCipher, DeciphersInPlace) {
  const Aes128InverseCipher cipher(keyFromHex(kC1Key));
  AesBlock block = blockFromHex(kC1Ciphertext);
  cipher.decryptBlock(block.data(), block.data());
  EXPECT_EQ(block, blockFromHex(kC1Plaintext));
}

TEST(ReferenceCipher, EnciphersTheKnownAnswers) {
  EXPECT_EQ(feltwise_test::aes128Encrypt(keyFromHex(kC1Key), blockFromHex(kC1Plaintext)), blockFromHex(kC1Ciphertext));
  EXPECT_EQ(feltwise_test::aes128Encrypt(keyFromHex(kA1Key), blockFromHex(kBInput)), blockFromHex(kBOutput));
}

// A few vectors reach only some entries of the tables; thousands of random
// keys and blocks send every byte value through every step.
TEST(Aes128InverseCipher, UndoesTheReferenceCipherForRandomKeysAndBlocks) {
  std::mt19937 random(20240601);
  std::uniform_int_distribution<int> byte(0, 255);
  auto random_block = [&] {
    AesBlock block;
    for (auto& b : block) b = static_cast<std::uint8_t>(byte(random));
    return block;
  };
  for (int k = 0; k < 200; ++k) {
    const AesBlock key = random_block();
    const Aes128InverseCipher cipher(key);
    for (int b = 0; b < 20; ++b) {
      const AesBlock plaintext = random_block();
      ASSERT_EQ(cipher.decryptBlock(feltwise_test::aes128Encrypt(key, plaintext)), plaintext)
          << "key " << k << ", block " << b;
    }
  }
}

}  // namespace
