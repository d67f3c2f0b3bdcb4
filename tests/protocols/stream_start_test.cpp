// Where a text stream's first sample starts. The device does not wait for us:
// when the port opens it is usually in the middle of a line, and the bytes up
// to the next line feed are the tail of a line whose start we never saw
// ("3.45" of "123.45", 3 of 6 values). Connected for feltwise.Sensor (the
// sample feed on), nothing before a line feed received on this connection is
// ever a sample; connected for FeltwiseComms, a line written after connect is
// read, and the tail is dropped where the port shows a device that was
// already sending as it opened.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comms/comms_state.h"
#include "comms/component_factory.h"
#include "counter_stream.h"
#include "feltwise_comm/feltwise_comms.h"
#include "protocols/protocol.h"
#include "protocols/protocol_string.h"
#include "protocols/protocol_table.h"
#include "support/paced_line.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::CommsState;
using feltwise_comm::FeltwiseComms;
using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;
using feltwise_comm::Registers;
using feltwise_comm::SampleFeed;
using feltwise_comm::SampleRule;
using feltwise_comm::StampedSample;
using feltwise_comm::StreamStart;
using feltwise_comm::Wire;
using feltwise_test::counterSampleBytes;
using feltwise_test::isWholeCounterSample;
using feltwise_test::LinePace;
using feltwise_test::PacedLine;
using feltwise_test::protocolVersions;
using feltwise_test::PtyPair;
using feltwise_test::versionName;
using Clock = std::chrono::steady_clock;
using Values = std::vector<double>;
using namespace std::chrono_literals;

constexpr std::uint16_t kValues = 6;

// A device that streams counter lines back to back at 115200 baud, in an
// adapter's chunks, never pausing, for as long as it lives.
class StreamingDevice {
 public:
  StreamingDevice(PtyPair& pty, int version)
      : thread_([this, &pty, version] {
          LinePace pace;
          pace.chunk = 64;
          pace.jitter = 300us;
          PacedLine line(pty, pace);
          // Lines a few hundred milliseconds at a time, so that the adapter's
          // chunks fall anywhere in a line, not at its ends.
          std::vector<std::uint8_t> lines;
          for (std::uint32_t k = 0; !stop_; k += kLinesAtATime) {
            lines.clear();
            for (std::uint32_t i = k; i < k + kLinesAtATime; ++i) {
              const auto line_bytes = counterSampleBytes(version, kValues, i);
              lines.insert(lines.end(), line_bytes.begin(), line_bytes.end());
            }
            line.send(lines);
          }
        }) {}
  // Stop it while the port is still read: a full pty would hold it up.
  ~StreamingDevice() {
    stop_ = true;
    thread_.join();
  }
  StreamingDevice(const StreamingDevice&) = delete;
  StreamingDevice& operator=(const StreamingDevice&) = delete;

 private:
  static constexpr std::uint32_t kLinesAtATime = 64;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The protocol alone, told where its stream starts as the acquisition thread
// tells it.
class TextStreamStart : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { protocol_ = feltwise_comm::createProtocol(GetParam()); }

  void open(const serial::Timeouts& timeouts = feltwise_test::commsTimeouts()) {
    comms_.port_.reset();
    comms_.port_ = std::make_unique<serial::Serial>(pty_.path(), 115200, timeouts);
  }

  // The samples read until the line has been silent for a read time-out.
  std::vector<Values> samplesUntilSilent() {
    std::vector<Values> samples;
    Values sample;
    for (;;) {
      const auto start = Clock::now();
      if (protocol_->readSample(sample, comms_)) {
        samples.push_back(sample);
      } else if (Clock::now() - start >= 90ms) {
        return samples;
      }
    }
  }

  PtyPair pty_;
  PortHolder comms_;
  std::unique_ptr<Protocol> protocol_;
};

TEST_P(TextStreamStart, WholeSamplesStartAfterTheFirstLineFeedReceived) {
  for (const StreamStart start : {StreamStart::kPortOpened, StreamStart::kJoined}) {
    open();
    protocol_->startStream(comms_, start, SampleRule::kWholeSamples);
    // The tail of a line in flight, or a whole line: either way the line
    // before the first line feed is not trusted.
    pty_.send("45,6\n1,2\n3,4\n");
    EXPECT_EQ(samplesUntilSilent(), (std::vector<Values>{{1, 2}, {3, 4}}));
  }
}

// A line the silence or the size limit ended may go on after it: its rest
// would be a tail. Both are dropped, and the stream is in step again at the
// next line feed.
TEST_P(TextStreamStart, WholeSamplesDropALineCutShortAndItsRest) {
  // A roomy read time-out: the long piece must end at its size, not because
  // the machine was slow to carry 64 KiB through the pty.
  open(serial::Timeouts(serial::Timeouts::max(), 2000, 0, 100, 0));
  protocol_->startStream(comms_, StreamStart::kPortOpened, SampleRule::kWholeSamples);
  std::string long_line;
  for (std::size_t i = 0; i < feltwise_comm::ProtocolString::kMaxLineBytes / 2; ++i) long_line += "1,";
  std::thread sensor([&] { pty_.send("\n" + long_line + "2.5,3\n4\n"); });
  EXPECT_EQ(samplesUntilSilent(), (std::vector<Values>{{4}}));
  sensor.join();

  comms_.port_->setTimeouts(feltwise_test::commsTimeouts());
  pty_.send("1,2");
  EXPECT_TRUE(samplesUntilSilent().empty());
  pty_.send(",3\n5,6\n");
  EXPECT_EQ(samplesUntilSilent(), (std::vector<Values>{{5, 6}}));
}

// FeltwiseComms reads a stream that another protocol was reading before
// `init` from its next line feed on, too.
TEST_P(TextStreamStart, AJoinedStreamStartsAfterALineFeedForFeltwiseCommsToo) {
  open();
  protocol_->startStream(comms_, StreamStart::kJoined, SampleRule::kAsReceived);
  pty_.send("3.45,6\n1,2\n");
  EXPECT_EQ(samplesUntilSilent(), (std::vector<Values>{{1, 2}}));
}

INSTANTIATE_TEST_SUITE_P(TextVersions, TextStreamStart, ::testing::ValuesIn(protocolVersions(Wire::text)), versionName);

class TextRegisterStreamStart : public TextStreamStart {};

// A device that only answers, silent until asked: the answer to the first
// request after connect is the first line of the stream, and is heard.
TEST_P(TextRegisterStreamStart, AReplyBeforeTheFirstLineFeedIsHeard) {
  open();
  protocol_->startStream(comms_, StreamStart::kPortOpened, SampleRule::kWholeSamples);
  auto write = std::async(std::launch::async, [&] {
    try {
      protocol_->writeRegister(32, 1, {0x0A}, comms_, 5000);
      return std::string();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  EXPECT_FALSE(pty_.receive(1, 3000).empty());
  pty_.send("OK\n7,8\n");
  EXPECT_EQ(samplesUntilSilent(), (std::vector<Values>{{7, 8}}));
  EXPECT_EQ(write.get(), "");
}

INSTANTIATE_TEST_SUITE_P(TextRegisterVersions, TextRegisterStreamStart,
                         ::testing::ValuesIn(protocolVersions(Wire::text, Registers::yes)), versionName);

using FirstSampleCase = std::tuple<int, bool>;  // version, sample feed on

class TextFirstSample : public ::testing::TestWithParam<FirstSampleCase> {};

// 20 connects of one comms object to a device that never pauses, as
// feltwise.Sensor makes them (the feed on: every connect a reconnect of the
// same object) and as FeltwiseComms does (the feed off: the port is reopened
// while the device sends, so the stream runs on): sample 1 of each
// connection is a whole line.
TEST_P(TextFirstSample, IsWholeOnEveryConnectToADeviceThatNeverPauses) {
  constexpr int kConnects = 20;
  const int version = std::get<0>(GetParam());
  const bool feed = std::get<1>(GetParam());
  PtyPair pty;
  CommsState state;
  state.init(std::to_string(version));
  if (feed) state.feed_samples(64);
  int whole = 0;
  {
    StreamingDevice device(pty, version);
    for (int connect = 0; connect < kConnects; ++connect) {
      state.connect(pty.path());
      StampedSample first;
      if (feed) {
        ASSERT_TRUE(state.take_stamped(SampleFeed::Path::kQueue, Clock::now() + 5s, first));
        EXPECT_EQ(first.seq, 1u);
      } else {
        state.read_raw(first.raw, 5000);
      }
      if (isWholeCounterSample(first.raw, version, kValues)) ++whole;
    }
  }
  state.disconnect();
  std::printf("[paced 115200] version %d, %s: sample 1 whole on %d of %d connects\n", version,
              feed ? "feltwise.Sensor's feed" : "FeltwiseComms", whole, kConnects);
  EXPECT_EQ(whole, kConnects);
}

std::vector<FirstSampleCase> firstSampleCases() {
  std::vector<FirstSampleCase> cases;
  for (const int version : protocolVersions(Wire::text)) {
    for (const bool feed : {true, false}) cases.emplace_back(version, feed);
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(TextVersions, TextFirstSample, ::testing::ValuesIn(firstSampleCases()),
                         [](const ::testing::TestParamInfo<FirstSampleCase>& param_info) {
                           return "V" + std::to_string(std::get<0>(param_info.param)) +
                                  (std::get<1>(param_info.param) ? "Feed" : "FeltwiseComms");
                         });

class FeltwiseCommsFirstLine : public ::testing::TestWithParam<int> {
 protected:
  PtyPair pty_;
  FeltwiseComms comms_;
};

// A line written after connect is read, the first one included.
TEST_P(FeltwiseCommsFirstLine, IsReadWhenTheDeviceWasSilentAsThePortOpened) {
  comms_.init(std::to_string(GetParam()));
  comms_.connect(pty_.path());
  pty_.send("123.45,6\n");
  Values sample;
  comms_.read_raw(sample, 2000);
  EXPECT_EQ(sample, (Values{123.45, 6}));
}

// Bytes the port held as it opened say the device was sending: what follows
// them up to the next line feed is the tail of a line.
TEST_P(FeltwiseCommsFirstLine, IsDroppedAsATailWhenTheDeviceWasSendingAsThePortOpened) {
  comms_.init(std::to_string(GetParam()));
  pty_.send("1,12");
  // The kernel moves what the master wrote to the port's input queue a moment
  // later, on a worker of its own.
  std::this_thread::sleep_for(50ms);
  comms_.connect(pty_.path());
  pty_.send("3.45,6\n");
  Values sample;
  comms_.read_raw(sample, 300);
  EXPECT_TRUE(sample.empty());
  pty_.send("7,8\n");
  comms_.read_raw(sample, 2000);
  EXPECT_EQ(sample, (Values{7, 8}));
}

INSTANTIATE_TEST_SUITE_P(TextVersions, FeltwiseCommsFirstLine, ::testing::ValuesIn(protocolVersions(Wire::text)),
                         versionName);

}  // namespace
