// Version-1 frames played on a pseudo-terminal and decoded by ProtocolBinary.
#include <gtest/gtest.h>

#include <stdexcept>

#include "protocols/protocol_binary.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolBinary;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;

class BinaryProtocol : public ::testing::Test {
 protected:
  void SetUp() override { comms_.port_ = feltwise_test::openCommsPort(pty_.path()); }

  bool next() { return protocol_.readSample(sample_, comms_); }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolBinary protocol_;
  std::vector<double> sample_;
};

struct FrameCase {
  const char* name;
  Bytes bytes;
  bool result;
  std::vector<double> sample;
};

class BinaryFrames : public BinaryProtocol, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(BinaryFrames, DecodeAsTheFrameSays) {
  sample_ = {-1.0};
  pty_.send(GetParam().bytes);
  EXPECT_EQ(next(), GetParam().result);
  EXPECT_EQ(sample_, GetParam().sample);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BinaryFrames,
    ::testing::Values(
        FrameCase{"TwoValues", {0xFF, 0xFF, 0x02, 0x00, 0x34, 0x12, 0x78, 0x56}, true, {4660.0, 22136.0}},
        FrameCase{"NoValues", {0xFF, 0xFF, 0x00, 0x00}, true, {}},
        FrameCase{"CountAboveLimit", {0xFF, 0xFF, 0x00, 0x04}, true, {}},
        FrameCase{"LargestCount", binaryFrame(std::vector<std::uint16_t>(1023, 0x0102)), true,
                  std::vector<double>(1023, 258.0)},
        FrameCase{"ValueFFFFIsNotSpecial", {0xFF, 0xFF, 0x02, 0x00, 0xFF, 0xFF, 0x01, 0x00}, true, {65535.0, 1.0}},
        FrameCase{"PayloadIncomplete", {0xFF, 0xFF, 0x03, 0x00, 0x01, 0x00, 0x02, 0x00}, false, {}},
        FrameCase{"CountIncompleteLeavesTheSample", {0xFF, 0xFF, 0x02}, false, {-1.0}},
        FrameCase{"HeaderIncomplete", {0xFF}, false, {-1.0}},
        FrameCase{"HeaderFEFF", {0xFE, 0xFF, 0x01, 0x00, 0x05, 0x00}, false, {-1.0}},
        FrameCase{"HeaderFFFE", {0xFF, 0xFE, 0x01, 0x00, 0x05, 0x00}, false, {-1.0}}),
    [](const ::testing::TestParamInfo<FrameCase>& param_info) { return param_info.param.name; });

struct WaitingCase {
  const char* name;
  Bytes behind;  // what arrives together with a first frame, behind it
  bool waiting;
};

class SampleWaiting : public BinaryProtocol, public ::testing::WithParamInterface<WaitingCase> {};

// Asked right after a frame: is the next one here whole, so that readSample
// returns it without waiting? Whatever the answer, nothing is consumed.
TEST_P(SampleWaiting, OnlyAWholeFrameWithValuesCounts) {
  Bytes stream = binaryFrame({1, 2});
  stream.insert(stream.end(), GetParam().behind.begin(), GetParam().behind.end());
  pty_.send(stream);
  ASSERT_TRUE(next());
  EXPECT_EQ(protocol_.sampleWaiting(comms_), GetParam().waiting);
  EXPECT_EQ(protocol_.sampleWaiting(comms_), GetParam().waiting);
  if (GetParam().waiting) {
    ASSERT_TRUE(next());
    EXPECT_EQ(sample_, (std::vector<double>{3.0, 4.0}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleWaiting,
    ::testing::Values(WaitingCase{"Nothing", {}, false}, WaitingCase{"WholeFrame", binaryFrame({3, 4}), true},
                      WaitingCase{"WholeFrameAndMore", {0xFF, 0xFF, 0x02, 0x00, 3, 0, 4, 0, 0xFF, 0xFF, 0x05}, true},
                      WaitingCase{"ValuesIncomplete", {0xFF, 0xFF, 0x02, 0x00, 3, 0, 4}, false},
                      WaitingCase{"CountIncomplete", {0xFF, 0xFF, 0x02}, false},
                      WaitingCase{"FrameWithoutValues", {0xFF, 0xFF, 0x00, 0x00}, false},
                      WaitingCase{"CountAboveLimit", {0xFF, 0xFF, 0x00, 0x04}, false},
                      WaitingCase{"NoSyncWord", {0xFB, 0xFF, 0x02, 0x00, 3, 0, 4, 0}, false}),
    [](const ::testing::TestParamInfo<WaitingCase>& param_info) { return param_info.param.name; });

TEST_F(BinaryProtocol, AFrameWithoutValuesIsFollowedByTheNextFrame) {
  Bytes stream{0xFF, 0xFF, 0x00, 0x00};
  const Bytes next_frame = binaryFrame({7, 8});
  stream.insert(stream.end(), next_frame.begin(), next_frame.end());
  pty_.send(stream);
  EXPECT_TRUE(next());
  EXPECT_TRUE(sample_.empty());
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (std::vector<double>{7.0, 8.0}));
}

TEST_F(BinaryProtocol, BytesAfterAnOversizedCountAreReadAsHeaderCandidates) {
  Bytes stream{0xFF, 0xFF, 0x00, 0x04};
  const Bytes frame = binaryFrame({42});
  stream.insert(stream.end(), frame.begin(), frame.end());
  pty_.send(stream);
  EXPECT_TRUE(next());
  EXPECT_TRUE(sample_.empty());
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (std::vector<double>{42.0}));
}

// A sensor that streams without pause, joined at an odd offset: every frame
// after the first must still arrive, with the values that were sent.
class BinaryResync : public BinaryProtocol, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(BinaryResync, JoiningAStreamAtAnOddOffsetLosesAtMostTheFirstFrames) {
  const std::uint16_t value = GetParam();
  const std::vector<std::uint16_t> values(16, value);
  Bytes stream{0x00};  // the tail of a frame that went by before the port opened
  const int frames = 60;
  for (int i = 0; i < frames; ++i) {
    const Bytes frame = binaryFrame(values);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  pty_.send(stream);

  int good = 0;
  int calls = 0;
  while (calls++ < 4 * frames && good < frames - 2) {
    if (next() && !sample_.empty()) {
      if (sample_ == std::vector<double>(values.begin(), values.end())) ++good;
    }
  }
  EXPECT_GE(good, frames - 2);
}

// Values without an FF byte cannot fake a header; values full of FF can,
// and the reader must find its way back all the same.
INSTANTIATE_TEST_SUITE_P(Values, BinaryResync, ::testing::Values(0x1234, 0xFF00, 0x00FF, 0xFFFF));

TEST_F(BinaryProtocol, ACarriedSyncByteIsDroppedWhenTheStreamPauses) {
  pty_.send(Bytes{0x00, 0xFF});
  EXPECT_FALSE(next());  // 00 FF is no header; its FF could start one
  EXPECT_FALSE(next());  // ... but the sensor paused
  pty_.send(binaryFrame({7}));
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (std::vector<double>{7.0}));
}

TEST_F(BinaryProtocol, RegisterAccessIsRefused) {
  Bytes out;
  try {
    protocol_.readRegister(1, 2, out, comms_, 100);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register read operation is not supported");
  }
  try {
    protocol_.writeRegister(1, 2, Bytes{1}, comms_, 100);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register write operation is not supported");
  }
}

TEST_F(BinaryProtocol, AnUnpluggedSensorRaisesThePortError) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  pty_.unplug();
  EXPECT_THROW(next(), serial::IOException);
}

TEST(BinaryProtocolWithoutPort, RefusesToRead) {
  PortHolder comms;
  ProtocolBinary protocol;
  std::vector<double> sample;
  EXPECT_THROW(protocol.readSample(sample, comms), serial::PortNotOpenedException);
}

TEST(DecodeWord, TakesExactlyTwoBytesLittleEndian) {
  EXPECT_EQ(feltwise_comm::decodeWord({0x34, 0x12}), 0x1234);
  EXPECT_EQ(feltwise_comm::decodeWord({0xFF, 0xFF}), 0xFFFF);
  EXPECT_EQ(feltwise_comm::decodeWord({}), 0);
  EXPECT_EQ(feltwise_comm::decodeWord({0x01}), 0);
  EXPECT_EQ(feltwise_comm::decodeWord({0x01, 0x02, 0x03}), 0);
}

}  // namespace
