// The comms object from C++: what Python cannot reach, above all the threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "comms/feltwise_comms.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using feltwise_test::writeTaxelFile;
using Clock = std::chrono::steady_clock;

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

TEST(Comms, RegisterCallsBeforeInitAndConnectAreRefusedClearly) {
  FeltwiseComms comms;
  std::vector<std::uint8_t> out;
  EXPECT_THROW(comms.read_register(1, 2, out, 100), std::runtime_error);
  EXPECT_THROW(comms.connect("/dev/null"), std::runtime_error);
}

}  // namespace
