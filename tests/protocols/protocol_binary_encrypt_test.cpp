// Version-2 frames enciphered by the tests' own AES and decoded over a pty.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>

#include "aes128_reference_cipher.h"
#include "protocols/protocol_binary_encrypt.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolBinaryEncrypt;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

// The sensor's key as its firmware holds it: FIPS-197's Appendix A.1 key.
const feltwise_test::AesKey kSensorKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                          0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

// Distinct values with every byte pattern, FF bytes included, so that a value
// taken from the wrong place or the wrong block shows.
std::uint16_t plainValue(std::size_t j, std::uint16_t count) {
  return static_cast<std::uint16_t>(0x9E37u * (j + 1) + count);
}

Bytes header(std::uint16_t count) {
  return {0xFF, 0xFF, static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8)};
}

// What the sensor sends for `count`: floor(count / 16) + 1 blocks, the
// plaintext filled with values to its end.
Bytes encryptedFrame(std::uint16_t count) {
  const std::size_t plain_bytes = 16 * (count / 16u + 1u);
  Bytes plaintext;
  for (std::size_t j = 0; j < plain_bytes / 2; ++j) {
    const std::uint16_t v = plainValue(j, count);
    plaintext.push_back(static_cast<std::uint8_t>(v & 0xFF));
    plaintext.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  Bytes frame = header(count);
  const Bytes ciphertext = feltwise_test::aes128EncryptEcb(kSensorKey, plaintext);
  frame.insert(frame.end(), ciphertext.begin(), ciphertext.end());
  return frame;
}

std::vector<double> expectedValues(std::uint16_t count, std::size_t how_many) {
  std::vector<double> values;
  for (std::size_t j = 0; j < how_many; ++j) values.push_back(plainValue(j, count));
  return values;
}

void append(Bytes& stream, const Bytes& more) { stream.insert(stream.end(), more.begin(), more.end()); }

class EncryptProtocol : public ::testing::Test {
 protected:
  void SetUp() override { comms_.port_ = feltwise_test::openCommsPort(pty_.path()); }

  bool next() { return protocol_.readSample(sample_, comms_); }

  // A one-value frame sent after the frame under test: it decodes only if the
  // frame before it was consumed to its last byte.
  static constexpr std::uint16_t kMarkerCount = 1;
  void expectMarker() {
    EXPECT_TRUE(next());
    EXPECT_EQ(sample_, expectedValues(kMarkerCount, 1));
  }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolBinaryEncrypt protocol_;
  std::vector<double> sample_;
};

struct CountCase {
  std::uint16_t count;
  std::size_t values;  // what the plaintext holds of them
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << "count " << c.count; }

class EncryptedFrames : public EncryptProtocol, public ::testing::WithParamInterface<CountCase> {};

TEST_P(EncryptedFrames, DecodeUpToTheEndOfThePlaintextAndConsumeTheWholeFrame) {
  const CountCase c = GetParam();
  Bytes stream = encryptedFrame(c.count);
  if (c.count == 0) stream = header(0);  // no ciphertext follows a count of 0
  append(stream, encryptedFrame(kMarkerCount));
  sample_ = {-1.0};
  pty_.send(stream);
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, expectedValues(c.count, c.values));
  expectMarker();
}

INSTANTIATE_TEST_SUITE_P(Counts, EncryptedFrames,
                         ::testing::Values(CountCase{0, 0}, CountCase{1, 1}, CountCase{8, 8}, CountCase{9, 8},
                                           CountCase{15, 8}, CountCase{16, 16}, CountCase{17, 16},
                                           CountCase{1023, 512}),
                         [](const ::testing::TestParamInfo<CountCase>& param_info) {
                           return "Count" + std::to_string(param_info.param.count);
                         });

TEST(EncryptFrameSizes, FollowTheCountAlone) {
  EXPECT_EQ(ProtocolBinaryEncrypt::cipherBytes(1), 16u);
  EXPECT_EQ(ProtocolBinaryEncrypt::cipherBytes(15), 16u);
  EXPECT_EQ(ProtocolBinaryEncrypt::cipherBytes(16), 32u);
  EXPECT_EQ(ProtocolBinaryEncrypt::cipherBytes(1023), 1024u);
}

TEST_F(EncryptProtocol, ACountAboveTheLimitReadsNoCiphertext) {
  for (const std::uint16_t count : {std::uint16_t{1024}, std::uint16_t{0xFFFF}}) {
    Bytes stream = header(count);
    append(stream, encryptedFrame(kMarkerCount));
    sample_ = {-1.0};
    pty_.send(stream);
    EXPECT_TRUE(next());
    EXPECT_TRUE(sample_.empty());
    expectMarker();
  }
}

TEST_F(EncryptProtocol, LargeAndSmallFramesFollowEachOtherWithoutLeftovers) {
  Bytes stream;
  for (const std::uint16_t count : {1023, 1, 16, 1023, 8}) append(stream, encryptedFrame(count));
  pty_.send(stream);
  for (const std::uint16_t count : {1023, 1, 16, 1023, 8}) {
    ASSERT_TRUE(next()) << count;
    EXPECT_EQ(sample_, expectedValues(count, ProtocolBinaryEncrypt::valueCount(count))) << count;
  }
}

TEST_F(EncryptProtocol, IncompleteCiphertextGivesFalseAndAnEmptySample) {
  Bytes frame = encryptedFrame(16);
  frame.resize(frame.size() - 1);
  sample_ = {-1.0};
  pty_.send(frame);
  EXPECT_FALSE(next());
  EXPECT_TRUE(sample_.empty());
  pty_.send(encryptedFrame(kMarkerCount));
  expectMarker();
}

TEST_F(EncryptProtocol, IncompleteHeaderOrCountGivesFalse) {
  pty_.send(Bytes{0xFF});
  EXPECT_FALSE(next());
  pty_.send(Bytes{0xFF, 0xFF, 0x01});
  EXPECT_FALSE(next());
}

TEST_F(EncryptProtocol, AnotherFirstWordIsDroppedWithItsTwoBytes) {
  Bytes stream{0x12, 0x34};
  append(stream, encryptedFrame(kMarkerCount));
  pty_.send(stream);
  sample_ = {-1.0};
  EXPECT_FALSE(next());
  EXPECT_EQ(sample_, (std::vector<double>{-1.0}));
  expectMarker();
}

// Ciphertext is full of FF bytes; joined at an odd offset the reader must
// still find the frames.
TEST_F(EncryptProtocol, JoiningAStreamAtAnOddOffsetLosesAtMostTheFirstFrames) {
  const int frames = 40;
  Bytes stream{0x00};
  for (int i = 0; i < frames; ++i) append(stream, encryptedFrame(16));
  pty_.send(stream);
  int good = 0;
  int calls = 0;
  while (calls++ < 40 * frames && good < frames - 2) {
    if (next() && sample_ == expectedValues(16, 16)) ++good;
  }
  EXPECT_GE(good, frames - 2);
}

TEST_F(EncryptProtocol, RegisterAccessIsRefused) {
  Bytes out;
  try {
    protocol_.readRegister(1, 2, out, comms_, 100);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register read operation is not supported");
  }
  try {
    protocol_.writeRegister(1, 2, Bytes{1}, comms_, 100);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register write operation is not supported");
  }
}

TEST_F(EncryptProtocol, AnUnpluggedSensorRaisesThePortError) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  pty_.unplug();
  EXPECT_THROW(next(), serial::IOException);
}

}  // namespace
