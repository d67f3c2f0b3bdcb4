// Every protocol on a line paced like a real one: 115200 baud 8N1, handed over
// in an adapter's chunks with jitter. The largest frames and long lines take
// longer than the port's 100 ms read time-out to arrive, and lines may pause
// mid-way; none of that may cut a sample. Each case runs through the
// protocol's own readSample and end to end through FeltwiseComms, counting
// the samples that came whole against those sent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comms/component_factory.h"
#include "counter_stream.h"
#include "feltwise_comm/feltwise_comms.h"
#include "protocols/protocol_string.h"
#include "support/paced_line.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;
using feltwise_comm::Wire;
using feltwise_test::Bytes;
using feltwise_test::counterSampleBytes;
using feltwise_test::isWholeCounterSample;
using feltwise_test::LinePace;
using feltwise_test::PacedLine;
using feltwise_test::protocolVersions;
using feltwise_test::PtyPair;
using feltwise_test::versionName;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Tally {
  std::size_t whole = 0;
  std::size_t cut = 0;
};

struct PacedCase {
  const char* name;
  int version;
  std::uint16_t count;               // values per frame or line
  std::size_t samples;               // how many the sensor sends
  std::chrono::milliseconds period;  // from the start of one to the next
  std::chrono::milliseconds split;   // a pause this long in the middle of each, or 0
  LinePace pace;
  Wire wire = Wire::binary;
};

// Cut samples a stalled frame may give: none on a binary wire, which drops a
// frame cut by silence; a text line cut by silence may be read as far as it
// came and its rest as the next line (protocol_string.h).
std::size_t cutAllowed(const PacedCase& c, std::size_t stalled) { return c.wire == Wire::text ? 2 * stalled : 0; }

LinePace pace(std::size_t chunk, std::chrono::microseconds jitter) {
  LinePace line;
  line.chunk = chunk;
  line.jitter = jitter;
  return line;
}

std::ostream& operator<<(std::ostream& os, const PacedCase& c) { return os << c.name; }

// What playStream sent: frames in all, and those during which the machine
// held the sensor's thread back long enough to cut them (PacedLine::lateWakes):
// those may be lost as a frame cut by silence is, and never arrive cut.
struct Played {
  std::size_t stalled = 0;
  std::atomic<bool> done{false};
};

// Plays the case's stream on the paced line; returns when all is sent.
void playStream(PtyPair& pty, const PacedCase& c, Played& played) {
  PacedLine line(pty, c.pace, static_cast<unsigned>(c.version) + 1);
  auto next = Clock::now();
  for (std::uint32_t k = 0; k < c.samples; ++k) {
    std::this_thread::sleep_until(next);
    next += c.period;
    const Bytes bytes = counterSampleBytes(c.version, c.count, k);
    const std::size_t late_before = line.lateWakes();
    if (c.split.count() == 0) {
      line.send(bytes);
    } else {
      const auto half = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
      line.send(Bytes(bytes.begin(), half));
      line.pause(c.split);
      line.send(Bytes(half, bytes.end()));
    }
    if (line.lateWakes() > late_before) ++played.stalled;
  }
  played.done = true;
}

void countSample(Tally& tally, const std::vector<double>& sample, const PacedCase& c) {
  if (isWholeCounterSample(sample, c.version, c.count)) {
    ++tally.whole;
  } else {
    ++tally.cut;
  }
}

void report(const char* through, const PacedCase& c, const Tally& tally, const Played& played) {
  std::printf("[paced 115200] version %d %s via %s: %zu whole, %zu cut, of %zu sent (%zu held up by the machine)\n",
              c.version, c.name, through, tally.whole, tally.cut, c.samples, played.stalled);
}

class PacedLineStream : public ::testing::TestWithParam<PacedCase> {};

TEST_P(PacedLineStream, EverySampleArrivesWholeThroughTheProtocol) {
  const PacedCase& c = GetParam();
  PtyPair pty;
  PortHolder comms;
  comms.port_ = feltwise_test::openCommsPort(pty.path());
  std::unique_ptr<Protocol> protocol = feltwise_comm::createProtocol(c.version);

  Played played;
  std::thread sensor([&] { playStream(pty, c, played); });
  Tally tally;
  std::vector<double> sample;
  sample.reserve(1024);
  // Until the line has been silent for a while after the last sample.
  const auto give_up = Clock::now() + c.period * c.samples + 60s;
  int silent_turns = 0;
  while (tally.whole + tally.cut < c.samples && (!played.done || silent_turns < 5) && Clock::now() < give_up) {
    if (!protocol->readSample(sample, comms)) {
      ++silent_turns;
      continue;
    }
    silent_turns = 0;
    countSample(tally, sample, c);
  }
  sensor.join();
  report("readSample", c, tally, played);
  EXPECT_LE(tally.cut, cutAllowed(c, played.stalled));
  EXPECT_GE(tally.whole, c.samples - played.stalled);
  EXPECT_LE(tally.whole, c.samples);
}

TEST_P(PacedLineStream, EverySampleArrivesWholeThroughTheCommsObject) {
  const PacedCase& c = GetParam();
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(std::to_string(c.version));
  comms.connect(pty.path());

  Played played;
  std::thread sensor([&] { playStream(pty, c, played); });
  Tally tally;
  std::vector<double> sample;
  // Only the newest sample is held: a reader that falls behind on a busy
  // machine may miss one, but must never see a cut one.
  for (;;) {
    const bool sending = !played.done;
    comms.read_raw(sample, 1000);
    if (sample.empty() && !sending) break;
    if (!sample.empty()) countSample(tally, sample, c);
  }
  sensor.join();
  report("FeltwiseComms", c, tally, played);
  EXPECT_TRUE(comms.is_connected());
  EXPECT_LE(tally.cut, cutAllowed(c, played.stalled));
  EXPECT_GE(tally.whole, (c.samples - played.stalled) / 2);
  EXPECT_LE(tally.whole, c.samples);
}

// The longest frame every binary version allows (count 1023: 2050 bytes, or
// 1028 enciphered), 178 ms on the line; 1,400-byte lines (122 ms); lines that
// pause 8 ms half-way, ten a second, so that a line begins well into the
// 100 ms after the previous one ended.
// Each version gets the cases of its wire, at the paces of adapters that
// hand over chunks of different sizes, one pace per version in turn.
std::vector<PacedCase> pacedCases() {
  const LinePace binary_paces[] = {pace(64, 500us), pace(32, 300us), pace(62, 2000us)};
  const LinePace text_paces[] = {pace(64, 500us), pace(32, 1000us)};
  std::vector<PacedCase> cases;
  std::size_t turn = 0;
  for (const int version : protocolVersions(Wire::binary)) {
    cases.push_back({"LongestFrame", version, 1023, 6, 0ms, 0ms, binary_paces[turn++ % std::size(binary_paces)]});
  }
  turn = 0;
  for (const int version : protocolVersions(Wire::text)) {
    const LinePace line_pace = text_paces[turn++ % std::size(text_paces)];
    cases.push_back({"LongLine", version, 233, 8, 0ms, 0ms, line_pace, Wire::text});
    cases.push_back({"SplitLine", version, 40, 20, 100ms, 8ms, pace(line_pace.chunk, 500us), Wire::text});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Versions, PacedLineStream, ::testing::ValuesIn(pacedCases()),
                         [](const ::testing::TestParamInfo<PacedCase>& param_info) {
                           return std::string(param_info.param.name) + "V" + std::to_string(param_info.param.version);
                         });

class PacedLineProtocol : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    comms_.port_ = feltwise_test::openCommsPort(pty_.path());
    protocol_ = feltwise_comm::createProtocol(GetParam());
  }

  PtyPair pty_;
  PortHolder comms_;
  std::unique_ptr<Protocol> protocol_;
  std::vector<double> sample_;
};

TEST_P(PacedLineProtocol, ASilentLineStillEndsAReadAfterAboutOneTimeout) {
  const auto start = Clock::now();
  EXPECT_FALSE(protocol_->readSample(sample_, comms_));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 1000);
}

INSTANTIATE_TEST_SUITE_P(Versions, PacedLineProtocol, ::testing::ValuesIn(protocolVersions()), versionName);

class PacedLineBinary : public PacedLineProtocol {};

TEST_P(PacedLineBinary, AFrameCutOffBySilenceIsNeverDelivered) {
  const int version = GetParam();
  const Bytes cut_frame = counterSampleBytes(version, 1023, 0);
  const Bytes whole_frame = counterSampleBytes(version, 1023, 1);
  // Reads that ended on silence. Silence the reader did not see is none to it:
  // a reader held back by a loaded machine past the pause finds both frames in
  // the port's buffer, back to back. So the second frame waits, beyond the
  // pause, for two such reads after the half frame (one of them began after it).
  std::atomic<int> silent_reads{0};
  std::thread sensor([&] {
    PacedLine line(pty_);
    line.send(Bytes(cut_frame.begin(), cut_frame.begin() + static_cast<std::ptrdiff_t>(cut_frame.size() / 2)));
    const int before = silent_reads.load();
    line.pause(300ms);
    const auto waited_enough = Clock::now() + 30s;
    while (silent_reads.load() < before + 2 && Clock::now() < waited_enough) std::this_thread::sleep_for(10ms);
    line.send(whole_frame);
  });
  std::vector<std::vector<double>> delivered;
  const auto give_up = Clock::now() + 60s;
  while (delivered.empty() && Clock::now() < give_up) {
    if (protocol_->readSample(sample_, comms_) && !sample_.empty()) {
      delivered.push_back(sample_);
    } else {
      ++silent_reads;
    }
  }
  sensor.join();
  ASSERT_EQ(delivered.size(), 1u);
  // The second frame, whole: the half frame before the silence left nothing.
  EXPECT_TRUE(isWholeCounterSample(delivered[0], version, 1023));
  EXPECT_EQ(delivered[0][0], 1.0);
}

INSTANTIATE_TEST_SUITE_P(Versions, PacedLineBinary, ::testing::ValuesIn(protocolVersions(Wire::binary)), versionName);

class PacedLineText : public PacedLineProtocol {};

TEST_P(PacedLineText, ALineOfSixtyKilobytesArrivesWholeAfterFiveSeconds) {
  // 10000 numbers, 59,999 bytes: 5.2 s on the line, one sample.
  const PacedCase c{"HugeLine", GetParam(), 10000, 1, 0ms, 0ms, pace(64, 200us), Wire::text};
  const Bytes line = counterSampleBytes(c.version, c.count, 0);
  ASSERT_LT(line.size(), feltwise_comm::ProtocolString::kMaxLineBytes);
  Played played;
  std::thread sensor([&] { playStream(pty_, c, played); });
  Tally tally;
  const auto give_up = Clock::now() + 20s;
  while (tally.whole + tally.cut == 0 && Clock::now() < give_up) {
    if (protocol_->readSample(sample_, comms_)) countSample(tally, sample_, c);
  }
  sensor.join();
  report("readSample", c, tally, played);
  EXPECT_EQ(tally.whole + tally.cut, 1u);
  EXPECT_LE(tally.cut, cutAllowed(c, played.stalled));
}

INSTANTIATE_TEST_SUITE_P(Versions, PacedLineText, ::testing::ValuesIn(protocolVersions(Wire::text)), versionName);

}  // namespace
