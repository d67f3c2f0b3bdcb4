// Bytes on a stream that belong to no sample: line noise, a byte left over
// from a frame cut off by a reconnect, a byte that looks like the start of a
// register reply with no request behind it. A binary reader searches them for
// the next frame; a text line carries them to its line feed. On a line paced
// at 115200 baud and on an instant one, one stray byte costs at most the
// sample it lands in front of.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "comms/component_factory.h"
#include "counter_stream.h"
#include "protocols/protocol_table.h"
#include "support/paced_line.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;
using feltwise_comm::Registers;
using feltwise_comm::Wire;
using feltwise_test::Bytes;
using feltwise_test::counterSampleBytes;
using feltwise_test::isWholeCounterSample;
using feltwise_test::LinePace;
using feltwise_test::PacedLine;
using feltwise_test::protocolVersions;
using feltwise_test::PtyPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t kValues = 6;

enum class Stray {
  kOneByte,     // the first byte of a read reply (0xFB, "R") before sample 100 of 1,000
  kNoiseBytes,  // 1 to 3 random bytes before each of 400 frames
};

struct StrayStream {
  Bytes bytes;
  std::size_t frames = 0;
};

StrayStream strayStream(int version, Stray stray) {
  StrayStream stream;
  stream.frames = stray == Stray::kOneByte ? 1000 : 400;
  std::mt19937 random(7);
  std::uniform_int_distribution<int> noise_bytes(1, 3);
  std::uniform_int_distribution<int> noise(0, 255);
  for (std::uint32_t k = 0; k < stream.frames; ++k) {
    if (stray == Stray::kOneByte && k == 100)
      stream.bytes.push_back(feltwise_test::isTextVersion(version) ? 'R' : 0xFB);
    if (stray == Stray::kNoiseBytes) {
      for (int n = noise_bytes(random); n > 0; --n) stream.bytes.push_back(static_cast<std::uint8_t>(noise(random)));
    }
    const Bytes frame = counterSampleBytes(version, kValues, k);
    stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
  }
  return stream;
}

// Plays `bytes` at 115200 baud in an adapter's chunks, or all at once.
void play(PtyPair& pty, const Bytes& bytes, bool paced) {
  if (!paced) {
    pty.send(bytes);
    return;
  }
  LinePace pace;
  pace.chunk = 64;
  pace.jitter = 500us;
  PacedLine(pty, pace).send(bytes);
}

struct Tally {
  std::size_t whole = 0;
  std::size_t cut = 0;
};

// readSample as the acquisition thread calls it, until the line has been
// silent for a few read time-outs.
Tally readUntilSilent(Protocol& protocol, PortHolder& comms, int version, std::size_t frames) {
  Tally tally;
  std::vector<double> sample;
  sample.reserve(1024);
  const auto give_up = Clock::now() + 30s;
  int silent_turns = 0;
  while (tally.whole + tally.cut < frames && silent_turns < 5 && Clock::now() < give_up) {
    const auto start = Clock::now();
    if (!protocol.readSample(sample, comms)) {
      silent_turns = Clock::now() - start >= 90ms ? silent_turns + 1 : 0;
      continue;
    }
    silent_turns = 0;
    if (sample.empty()) continue;
    if (isWholeCounterSample(sample, version, kValues)) {
      ++tally.whole;
    } else {
      ++tally.cut;
    }
  }
  return tally;
}

using StrayCase = std::tuple<int, Stray, bool>;  // version, what is stray, paced

// A stray reply byte on every version; noise on the binary ones, whose frames
// the reader finds again (a noise digit in a text line is a wrong value that
// nothing on the line can show).
std::vector<StrayCase> strayCases() {
  std::vector<StrayCase> cases;
  for (const feltwise_comm::ProtocolEntry& row : feltwise_comm::protocolTable()) {
    for (const bool paced : {false, true}) {
      cases.emplace_back(row.version, Stray::kOneByte, paced);
      if (row.wire == feltwise_comm::Wire::binary) cases.emplace_back(row.version, Stray::kNoiseBytes, paced);
    }
  }
  return cases;
}

class StrayBytes : public ::testing::TestWithParam<StrayCase> {
 protected:
  void SetUp() override {
    comms_.port_ = feltwise_test::openCommsPort(pty_.path());
    protocol_ = feltwise_comm::createProtocol(version());
  }

  int version() const { return std::get<0>(GetParam()); }
  Stray stray() const { return std::get<1>(GetParam()); }
  bool paced() const { return std::get<2>(GetParam()); }

  PtyPair pty_;
  PortHolder comms_;
  std::unique_ptr<Protocol> protocol_;
};

TEST_P(StrayBytes, CostAtMostTheFrameTheyLandBefore) {
  const StrayStream stream = strayStream(version(), stray());
  std::thread sensor([&] { play(pty_, stream.bytes, paced()); });
  const Tally tally = readUntilSilent(*protocol_, comms_, version(), stream.frames);
  sensor.join();
  std::printf("[%s] version %d, %s: %zu whole, %zu cut, of %zu samples\n", paced() ? "paced 115200" : "instant",
              version(), stray() == Stray::kOneByte ? "one stray reply byte" : "1-3 noise bytes before each",
              tally.whole, tally.cut, stream.frames);
  EXPECT_EQ(tally.cut, 0u);
  if (stray() == Stray::kOneByte) {
    EXPECT_GE(tally.whole, stream.frames - 1);
  } else {
    // A noise byte FF next to a frame's own FF FF can still make a false
    // sync word, as on any stream without a checksum: nearly all, not all.
    EXPECT_GE(tally.whole, stream.frames * 95 / 100);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, StrayBytes, ::testing::ValuesIn(strayCases()),
                         [](const ::testing::TestParamInfo<StrayCase>& param_info) {
                           return "V" + std::to_string(std::get<0>(param_info.param)) +
                                  (std::get<1>(param_info.param) == Stray::kOneByte ? "OneStrayByte" : "NoiseBytes") +
                                  (std::get<2>(param_info.param) ? "Paced" : "Instant");
                         });

class StrayBytesWhileARequestWaits : public ::testing::TestWithParam<std::tuple<int, bool>> {};

// With a read waiting, FB FF may begin its reply: the stray byte and the
// frame behind it read as one whose length word, taken from the frame's
// values, claims some 25,000 bytes. That cannot arrive within the request's
// time-out: the reply is cut at once, the request ends with the cut status,
// and the frames behind it are found again.
TEST_P(StrayBytesWhileARequestWaits, AClaimedLengthThatCannotArriveInTimeIsCut) {
  const int version = std::get<0>(GetParam());
  const bool paced = std::get<1>(GetParam());
  PtyPair pty;
  PortHolder comms;
  comms.port_ = feltwise_test::openCommsPort(pty.path());
  std::unique_ptr<Protocol> protocol = feltwise_comm::createProtocol(version);
  const StrayStream stream = strayStream(version, Stray::kOneByte);

  auto read = std::async(std::launch::async, [&] {
    std::vector<std::uint8_t> out;
    try {
      protocol->readRegister(32, 1, out, comms, 1000);
      return std::string();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  ASSERT_EQ(pty.receive(8, 3000).size(), 8u);
  std::thread sensor([&] { play(pty, stream.bytes, paced); });
  const Tally tally = readUntilSilent(*protocol, comms, version, stream.frames);
  sensor.join();
  std::printf("[%s] version %d, one stray 0xFB while a read waits: %zu whole, %zu cut, of %zu samples\n",
              paced ? "paced 115200" : "instant", version, tally.whole, tally.cut, stream.frames);
  EXPECT_EQ(read.get(), "Register read error: 405");
  EXPECT_EQ(tally.cut, 0u);
  EXPECT_GE(tally.whole, stream.frames - 1);
}

INSTANTIATE_TEST_SUITE_P(BinaryRegisterVersions, StrayBytesWhileARequestWaits,
                         ::testing::Combine(::testing::ValuesIn(protocolVersions(Wire::binary, Registers::yes)),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<int, bool>>& param_info) {
                           return "V" + std::to_string(std::get<0>(param_info.param)) +
                                  (std::get<1>(param_info.param) ? "Paced" : "Instant");
                         });

}  // namespace
