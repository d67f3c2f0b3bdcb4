// Frames that reach the acquisition thread in one read of the port: only the
// newest is handed off, unless feltwise.Sensor's queue wants every one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "comms/comms_state.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::CommsState;
using feltwise_comm::SampleFeed;
using feltwise_comm::StampedSample;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using Clock = std::chrono::steady_clock;

constexpr int kBurst = 40;

// Frames 0..kBurst-1, frame k carrying {k, 7}, written with one write().
void sendBurst(PtyPair& pty) {
  std::vector<std::uint8_t> burst;
  for (int k = 0; k < kBurst; ++k) {
    const auto frame = binaryFrame({static_cast<std::uint16_t>(k), 7});
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  pty.send(burst);
}

class BurstHandOff : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    state_.init("1");
    state_.feed_samples(GetParam());
    state_.connect(pty_.path());
  }

  bool take(SampleFeed::Path path, StampedSample& out) {
    return state_.take_stamped(path, Clock::now() + std::chrono::seconds(5), out);
  }

  PtyPair pty_;
  CommsState state_;
};

TEST_P(BurstHandOff, TheNewestIsTakenAndEveryFrameIsCountedOrQueued) {
  sendBurst(pty_);
  StampedSample sample;
  if (GetParam() == 0) {
    // However many were handed off one by one, the last one is what remains,
    // and seq and dropped account for every frame before it.
    std::uint64_t taken = 0;
    do {
      ASSERT_TRUE(take(SampleFeed::Path::kNewest, sample));
      ++taken;
    } while (sample.raw[0] != kBurst - 1);
    EXPECT_EQ(sample.seq, static_cast<std::uint64_t>(kBurst));
    EXPECT_EQ(sample.dropped, kBurst - taken);
  } else {
    for (int k = 0; k < kBurst; ++k) {
      ASSERT_TRUE(take(SampleFeed::Path::kQueue, sample));
      EXPECT_EQ(sample.raw, (std::vector<double>{static_cast<double>(k), 7.0}));
      EXPECT_EQ(sample.seq, static_cast<std::uint64_t>(k + 1));
      EXPECT_EQ(sample.dropped, 0u);
    }
  }
  // FeltwiseComms' own hand-off sees the newest too.
  std::vector<double> raw;
  state_.read_raw(raw, 0);
  EXPECT_EQ(raw, (std::vector<double>{kBurst - 1.0, 7.0}));
}

INSTANTIATE_TEST_SUITE_P(Queue, BurstHandOff, ::testing::Values(std::size_t{0}, std::size_t{64}),
                         [](const ::testing::TestParamInfo<std::size_t>& param_info) {
                           return param_info.param == 0 ? std::string("NewestOnly") : std::string("Queue64");
                         });

}  // namespace
