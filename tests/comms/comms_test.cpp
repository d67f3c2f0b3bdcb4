// The comms object from C++: what Python cannot reach, above all the threads.
#include <gtest/gtest.h>
#include <msgpack.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <thread>

#include "feltwise_comm/feltwise_comms.h"
#include "support/paced_line.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using feltwise_test::writeTaxelFile;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Plays a sensor that streams one frame per millisecond until stopped.
class StreamingSensor {
 public:
  explicit StreamingSensor(PtyPair& pty, std::vector<std::uint16_t> values)
      : thread_([this, &pty, values] {
          const auto frame = binaryFrame(values);
          while (!stop_) {
            try {
              pty.send(frame);
            } catch (...) {
              return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~StreamingSensor() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Comms, ReinitialisingWhileSamplesFlowSwapsModelsCleanly) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(writeTaxelFile("single.bin", 2, 1.0));
  comms.connect(pty.path());
  StreamingSensor sensor(pty, {10, 20, 30, 40});

  std::vector<double> sample;
  for (int round = 0; round < 50; ++round) {
    // Both rebuild the models from the records held, and replace the protocol.
    comms.init(round % 2 ? "" : "1");
    comms.read(sample, 1000);
    ASSERT_EQ(sample.size(), 2u);
    for (std::size_t i = 0; i < sample.size(); ++i) ASSERT_DOUBLE_EQ(sample[i], 10.0 * static_cast<double>(i + 1));
  }
  EXPECT_TRUE(comms.is_connected());
}

TEST(Comms, ASamplePendingAcrossInitIsCalibratedNotZeroed) {
  // init rebuilds the models and clears the calibrated sample; a sample
  // handed off just before must not then be read as a sample of zeros.
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(writeTaxelFile("pending.bin", 64, 1.0));
  comms.connect(pty.path());
  std::vector<std::uint16_t> values(64);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i + 1);
  StreamingSensor sensor(pty, values);

  std::vector<double> sample;
  int zeroed = 0;
  for (int round = 0; round < 50; ++round) {
    comms.read(sample, 1000);
    // Samples keep coming: one is pending when init runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    comms.init("1");
    comms.read(sample, 1000);
    ASSERT_EQ(sample.size(), 64u);
    if (sample[0] == 0.0) ++zeroed;
  }
  EXPECT_EQ(zeroed, 0) << "samples of zeros handed out";
}

TEST(Comms, ZeroingWhileSamplesFlowIsConsistent) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(writeTaxelFile("zero.bin", 2, 1.0));
  comms.connect(pty.path());
  StreamingSensor sensor(pty, {100, 200});
  comms.zero({});
  std::vector<double> sample;
  comms.read(sample, 1000);
  ASSERT_EQ(sample.size(), 2u);
  // At rest every output reads zero once the offsets are the rest values.
  EXPECT_DOUBLE_EQ(sample[0], 0.0);
  EXPECT_DOUBLE_EQ(sample[1], 0.0);
}

TEST(Comms, SeveralReadersEachTakeADistinctSample) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init("1");
  comms.connect(pty.path());
  StreamingSensor sensor(pty, {1, 2, 3});
  std::atomic<int> taken{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      std::vector<double> sample;
      for (int i = 0; i < 50; ++i) {
        comms.read_raw(sample, 1000);
        if (sample == std::vector<double>{1.0, 2.0, 3.0}) ++taken;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(taken.load(), 200);
}

TEST(Comms, ALostPortEndsTheThreadAndConnectStartsOver) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  FeltwiseComms comms;
  comms.init("1");
  {
    PtyPair pty;
    comms.connect(pty.path());
    EXPECT_TRUE(comms.is_connected());
    pty.unplug();
    const auto start = Clock::now();
    while (comms.is_connected() && Clock::now() - start < std::chrono::seconds(2)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(comms.is_connected());
  }
  PtyPair replacement;
  comms.connect(replacement.path());
  replacement.send(binaryFrame({77}));
  std::vector<double> sample;
  comms.read_raw(sample, 1000);
  EXPECT_EQ(sample, std::vector<double>{77.0});
}

TEST(Comms, DestroyingWhileSamplesFlowJoinsQuickly) {
  PtyPair pty;
  StreamingSensor sensor(pty, {5});
  const auto start = Clock::now();
  {
    FeltwiseComms comms;
    comms.init("1");
    comms.connect(pty.path());
    std::vector<double> sample;
    comms.read_raw(sample, 1000);
    EXPECT_EQ(sample, std::vector<double>{5.0});
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// Text without line feeds never falls silent, so one line read would run on
// until 65,536 bytes (5.7 s at 115200 baud) if destruction had to wait for it.
TEST(Comms, DestroyingWhileTextArrivesWithoutLineFeedsJoinsQuickly) {
  PtyPair pty;
  std::atomic<bool> stop{false};
  std::thread device([&] {
    feltwise_test::PacedLine line(pty);
    const std::string digits(64, '7');
    while (!stop) line.send(digits);
  });
  Clock::duration took{};
  {
    FeltwiseComms comms;
    comms.init("0");
    comms.connect(pty.path());
    std::this_thread::sleep_for(300ms);
    const auto start = Clock::now();
    // A connect first stops and joins the thread of the port it leaves.
    EXPECT_THROW(comms.connect(pty.path() + "-gone"), std::runtime_error);
    took = Clock::now() - start;
  }
  stop = true;
  device.join();
  EXPECT_LT(took, 1s);
}

// --- init replaces, or changes nothing -----------------------------------------

class InitTimes : public ::testing::TestWithParam<int> {};

TEST_P(InitTimes, TheSameFileGivesTheSameCalibratedValues) {
  PtyPair pty;
  FeltwiseComms comms;
  const std::string file = writeTaxelFile("same-" + std::to_string(GetParam()) + ".bin", 2, 3.0);
  for (int i = 0; i < GetParam(); ++i) comms.init(file);
  comms.connect(pty.path());
  pty.send(binaryFrame({10, 20}));
  std::vector<double> sample;
  comms.read(sample, 1000);
  EXPECT_EQ(sample, (std::vector<double>{30.0, 60.0}));
}

INSTANTIATE_TEST_SUITE_P(Inits, InitTimes, ::testing::Values(1, 2, 3));

std::string writeBytes(const std::string& name, const std::string& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// A version-0 (text) file with one taxel record per entry of `outputs`: the
// record reads channel i and writes the outputs named, with P(x) = x.
std::string writeTextFile(const std::string& name, const std::vector<std::map<int, int>>& outputs, int version = 0) {
  return writeTaxelFile(name, outputs, 1.0, version);
}

struct Refusal {
  const char* name;
  std::function<std::string()> file;
};

class RefusedInit : public ::testing::TestWithParam<Refusal> {};

// The refused files declare the text protocol: a refusal that still switched
// the protocol would turn the binary frames below into garbage.
TEST_P(RefusedInit, LeavesProtocolModelsOffsetsAndValuesAsTheyWereAndLaterInitsWork) {
  PtyPair pty;
  FeltwiseComms comms;
  // ctest runs the cases side by side: each writes files of its own.
  const std::string name = GetParam().name;
  comms.init(writeTaxelFile("before-" + name + ".bin", 2, 3.0));
  comms.zero(std::vector<std::vector<double>>(20, {10.0, 20.0}), {});
  comms.connect(pty.path());
  std::vector<double> sample;
  pty.send(binaryFrame({11, 22}));
  comms.read(sample, 1000);
  ASSERT_EQ(sample, (std::vector<double>{3.0, 6.0}));

  EXPECT_THROW(comms.init(GetParam().file()), std::exception);
  comms.read(sample, 0);
  EXPECT_EQ(sample, (std::vector<double>{3.0, 6.0}));
  pty.send(binaryFrame({12, 24}));
  comms.read(sample, 1000);
  EXPECT_EQ(sample, (std::vector<double>{6.0, 12.0}));

  comms.init(writeTaxelFile("after-" + name + ".bin", 1, 5.0));
  pty.send(binaryFrame({4, 9}));
  comms.read(sample, 1000);
  EXPECT_EQ(sample, std::vector<double>{20.0});
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedInit,
    ::testing::Values(Refusal{"MissingFile", [] { return ::testing::TempDir() + "no-such-parameters.bin"; }},
                      Refusal{"NotMsgpack", [] { return writeBytes("not-msgpack.bin", "\xc1\xc1\xc1"); }},
                      Refusal{"VersionIsNoNumber",
                              [] {
                                return writeBytes("bad-cast.bin",
                                                  "\x92\xa1"
                                                  "0\x90");
                              }},
                      Refusal{"VersionOutOfRange",
                              [] {
                                return writeTextFile("version-5.bin", {{{0, 0}}}, 5);
                              }},
                      Refusal{"ModelRefusesItsRecord",
                              [] {
                                return writeTextFile("two-outputs.bin", {{{0, 0}}, {{0, 1}, {1, 2}}});
                              }},
                      Refusal{"OutputIndexBeyondTheCap",
                              [] {
                                return writeTextFile("huge-output.bin", {{{0, 0}}, {{0, 2147483647}}});
                              }}),
    [](const ::testing::TestParamInfo<Refusal>& param_info) { return std::string(param_info.param.name); });

// --- the hand-off never lies --------------------------------------------------

class EmptyFrame : public ::testing::TestWithParam<std::vector<std::uint8_t>> {};

TEST_P(EmptyFrame, AfterAPendingSampleKeepsItReadable) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init("1");
  comms.connect(pty.path());
  pty.send(binaryFrame({9, 8}));
  pty.send(GetParam());
  std::this_thread::sleep_for(200ms);  // both handled, nobody has read
  std::vector<double> sample;
  comms.read_raw(sample, 1000);
  EXPECT_EQ(sample, (std::vector<double>{9.0, 8.0}));
  // Taken now; the frame without values handed nothing new off.
  comms.read_raw(sample, 200);
  EXPECT_TRUE(sample.empty());
}

INSTANTIATE_TEST_SUITE_P(Frames, EmptyFrame,
                         ::testing::Values(std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x00},
                                           std::vector<std::uint8_t>{0xFF, 0xFF, 0x00, 0x04}),
                         [](const ::testing::TestParamInfo<std::vector<std::uint8_t>>& param_info) {
                           return param_info.index == 0 ? "CountZero" : "CountOver1023";
                         });

TEST(Comms, ConnectingToAnotherPortHandsOutNothingOfTheFirst) {
  FeltwiseComms comms;
  comms.init(writeTaxelFile("two-ports.bin", 1, 2.0));
  PtyPair first;
  PtyPair second;
  comms.connect(first.path());
  first.send(binaryFrame({50}));
  std::this_thread::sleep_for(200ms);  // handed off, not taken

  comms.connect(second.path());
  std::vector<double> sample;
  comms.read_raw(sample, 0);
  EXPECT_TRUE(sample.empty());
  comms.read(sample, 0);
  EXPECT_EQ(sample, std::vector<double>{0.0});
  comms.read_raw(sample, 200);
  EXPECT_TRUE(sample.empty()) << "a sample of the first port was handed out";
  second.send(binaryFrame({60}));
  comms.read(sample, 1000);
  EXPECT_EQ(sample, std::vector<double>{120.0});
}

TEST(Comms, AWaitEndsAsSoonAsThePortIsLost) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  FeltwiseComms comms;
  comms.init("1");
  PtyPair pty;
  comms.connect(pty.path());
  auto waiting = std::async(std::launch::async, [&] {
    std::vector<double> sample{1.0};
    comms.read_raw(sample, 4000);
    return std::make_pair(sample, Clock::now());
  });
  std::this_thread::sleep_for(100ms);
  const auto pulled = Clock::now();
  pty.unplug();
  const auto [sample, returned] = waiting.get();
  EXPECT_TRUE(sample.empty());
  EXPECT_LT(returned - pulled, 500ms);
}

TEST(Comms, AfterTheLossAPendingSampleIsHandedOutThenWaitsEndAtOnce) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  FeltwiseComms comms;
  comms.init("1");
  PtyPair pty;
  comms.connect(pty.path());
  pty.send(binaryFrame({3}));
  std::this_thread::sleep_for(200ms);
  pty.unplug();
  const auto start = Clock::now();
  while (comms.is_connected() && Clock::now() - start < 2s) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(comms.is_connected());

  std::vector<double> sample;
  comms.read_raw(sample, 4000);
  EXPECT_EQ(sample, std::vector<double>{3.0});
  const auto begun = Clock::now();
  comms.read_raw(sample, 4000);
  EXPECT_TRUE(sample.empty());
  comms.read(sample, 4000);
  EXPECT_TRUE(sample.empty());
  EXPECT_THROW(comms.zero({}), std::runtime_error);
  EXPECT_LT(Clock::now() - begun, 500ms);
}

TEST(Comms, RegisterCallsBeforeInitAndConnectAreRefusedClearly) {
  FeltwiseComms comms;
  std::vector<std::uint8_t> out;
  EXPECT_THROW(comms.read_register(1, 2, out, 100), std::runtime_error);
  EXPECT_THROW(comms.connect("/dev/null"), std::runtime_error);
}

}  // namespace
