#include "protocols/aes128_inverse_cipher.h"

namespace feltwise_comm {
namespace {

using Table = std::array<std::uint8_t, 256>;

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1 (0x11B).
constexpr std::uint8_t gfMultiply(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product = static_cast<std::uint8_t>(product ^ a);
    const bool carry = (a & 0x80) != 0;
    a = static_cast<std::uint8_t>(a << 1);
    if (carry) a = static_cast<std::uint8_t>(a ^ 0x1B);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

// Inverses through powers of the generator 3: if a = 3^k then 1/a = 3^(255-k).
// (Cheap enough that every compiler's constant-evaluation budget allows it.)
struct PowersOfThree {
  Table power{};
  Table log{};
};

constexpr PowersOfThree makePowersOfThree() {
  PowersOfThree t{};
  std::uint8_t x = 1;
  for (int k = 0; k < 255; ++k) {
    t.power[k] = x;
    t.log[x] = static_cast<std::uint8_t>(k);
    x = static_cast<std::uint8_t>(x ^ static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)));
  }
  return t;
}

constexpr std::uint8_t gfInverse(const PowersOfThree& t, std::uint8_t a) {
  return a == 0 ? 0 : t.power[(255 - t.log[a]) % 255];
}

constexpr std::uint8_t rotateLeft(std::uint8_t b, int n) {
  return static_cast<std::uint8_t>((b << n) | (b >> (8 - n)));
}

// The tables are derived from their definitions rather than typed in: a
// mistyped entry would corrupt only the rare values that pass through it,
// which no handful of test vectors is sure to reach.
constexpr Table makeSubstitution() {
  const PowersOfThree powers = makePowersOfThree();
  Table box{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t b = gfInverse(powers, static_cast<std::uint8_t>(x));
    box[x] =
        static_cast<std::uint8_t>(b ^ rotateLeft(b, 1) ^ rotateLeft(b, 2) ^ rotateLeft(b, 3) ^ rotateLeft(b, 4) ^ 0x63);
  }
  return box;
}

constexpr Table kSubstitution = makeSubstitution();

constexpr Table makeInverseSubstitution() {
  Table box{};
  for (int x = 0; x < 256; ++x) box[kSubstitution[x]] = static_cast<std::uint8_t>(x);
  return box;
}

constexpr Table makeProducts(std::uint8_t factor) {
  Table products{};
  for (int x = 0; x < 256; ++x) products[x] = gfMultiply(static_cast<std::uint8_t>(x), factor);
  return products;
}

constexpr Table kInverseSubstitution = makeInverseSubstitution();
constexpr Table kTimes9 = makeProducts(0x09);
constexpr Table kTimes11 = makeProducts(0x0B);
constexpr Table kTimes13 = makeProducts(0x0D);
constexpr Table kTimes14 = makeProducts(0x0E);

using State = Aes128InverseCipher::Block;

void addRoundKey(State& state, const std::uint8_t* round_key) {
  for (std::size_t i = 0; i < state.size(); ++i) state[i] = static_cast<std::uint8_t>(state[i] ^ round_key[i]);
}

// InvShiftRows and InvSubBytes together (they commute): row r moves r
// columns to the right.
void inverseShiftAndSubstitute(State& state) {
  const State before = state;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) state[r + 4 * ((c + r) % 4)] = kInverseSubstitution[before[r + 4 * c]];
  }
}

void inverseMixColumns(State& state) {
  for (int c = 0; c < 4; ++c) {
    std::uint8_t* column = &state[4 * c];
    const std::uint8_t a0 = column[0], a1 = column[1], a2 = column[2], a3 = column[3];
    column[0] = static_cast<std::uint8_t>(kTimes14[a0] ^ kTimes11[a1] ^ kTimes13[a2] ^ kTimes9[a3]);
    column[1] = static_cast<std::uint8_t>(kTimes9[a0] ^ kTimes14[a1] ^ kTimes11[a2] ^ kTimes13[a3]);
    column[2] = static_cast<std::uint8_t>(kTimes13[a0] ^ kTimes9[a1] ^ kTimes14[a2] ^ kTimes11[a3]);
    column[3] = static_cast<std::uint8_t>(kTimes11[a0] ^ kTimes13[a1] ^ kTimes9[a2] ^ kTimes14[a3]);
  }
}

}  // namespace

Aes128InverseCipher::Aes128InverseCipher(const Key& key) {
  for (std::size_t i = 0; i < kKeyBytes; ++i) schedule_[i] = key[i];
  std::uint8_t round_constant = 0x01;
  for (std::size_t word = kKeyWords; word < 4 * (kRounds + 1); ++word) {
    std::uint8_t temp[4];
    for (int b = 0; b < 4; ++b) temp[b] = schedule_[4 * (word - 1) + b];
    if (word % kKeyWords == 0) {
      // RotWord, SubWord, then Rcon in the first byte.
      const std::uint8_t first = temp[0];
      temp[0] = static_cast<std::uint8_t>(kSubstitution[temp[1]] ^ round_constant);
      temp[1] = kSubstitution[temp[2]];
      temp[2] = kSubstitution[temp[3]];
      temp[3] = kSubstitution[first];
      round_constant = gfMultiply(round_constant, 0x02);
    }
    for (int b = 0; b < 4; ++b) {
      schedule_[4 * word + b] = static_cast<std::uint8_t>(schedule_[4 * (word - kKeyWords) + b] ^ temp[b]);
    }
  }
}

void Aes128InverseCipher::decryptBlock(const std::uint8_t* in, std::uint8_t* out) const {
  State state;
  for (std::size_t i = 0; i < kBlockBytes; ++i) state[i] = in[i];
  addRoundKey(state, &schedule_[kBlockBytes * kRounds]);
  for (int round = kRounds - 1; round >= 1; --round) {
    inverseShiftAndSubstitute(state);
    addRoundKey(state, &schedule_[kBlockBytes * static_cast<std::size_t>(round)]);
    inverseMixColumns(state);
  }
  inverseShiftAndSubstitute(state);
  addRoundKey(state, &schedule_[0]);
  for (std::size_t i = 0; i < kBlockBytes; ++i) out[i] = state[i];
}

Aes128InverseCipher::Block Aes128InverseCipher::decryptBlock(const Block& in) const {
  Block out;
  decryptBlock(in.data(), out.data());
  return out;
}

}  // namespace feltwise_comm
