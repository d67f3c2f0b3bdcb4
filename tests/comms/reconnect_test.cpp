// A comms object that reconnects (feltwise.Sensor(reconnect=True)): the
// device is unplugged and comes back as another pseudo-terminal behind the
// same symlink, as a USB adapter does behind /dev/serial/by-id.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comms/comms_state.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::CommsState;
using feltwise_comm::SampleFeed;
using feltwise_comm::StampedSample;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A stable name for whichever pseudo-terminal is plugged in now. Unplugged,
// the name is gone, as udev removes a /dev/serial/by-id link (and a freed
// pseudo-terminal number may be another program's by the next retry).
class ReplugLine {
 public:
  explicit ReplugLine(const std::string& name) : link_(::testing::TempDir() + name), device_(new PtyPair) {
    std::remove(link_.c_str());
    point_at(device_->path());
  }
  ~ReplugLine() { std::remove(link_.c_str()); }

  const std::string& path() const { return link_; }
  PtyPair& device() { return *device_; }
  void unplug() {
    device_->unplug();
    std::remove(link_.c_str());
  }
  // A new device node, and the link moved to it in one step.
  void replug() {
    device_ = std::make_unique<PtyPair>();
    point_at(device_->path());
  }

 private:
  void point_at(const std::string& target) {
    const std::string moved = link_ + ".new";
    std::remove(moved.c_str());
    ASSERT_EQ(::symlink(target.c_str(), moved.c_str()), 0);
    ASSERT_EQ(std::rename(moved.c_str(), link_.c_str()), 0);
  }

  std::string link_;
  std::unique_ptr<PtyPair> device_;
};

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + 10s;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void sendCounters(PtyPair& device, std::uint16_t first, std::uint16_t last) {
  for (std::uint16_t k = first; k <= last; ++k) device.send(binaryFrame({static_cast<std::uint16_t>(100 + k), k}));
}

TEST(Reconnect, TheSameNameIsReopenedAndTheStreamGoesOnWithItsModelsAndCounts) {
  ReplugLine line("reconnect-by-id");
  CommsState state;
  // One taxel on channel 0, gain 2: calibrated = 2 * raw.
  state.init(feltwise_test::writeTaxelFile("reconnect.bin", 1, 2.0));
  state.feed_samples(64);
  state.reconnect_on_loss(true);
  state.connect(line.path());

  StampedSample sample;
  const auto take = [&] { return state.take_stamped(SampleFeed::Path::kQueue, Clock::now() + 5s, sample); };
  sendCounters(line.device(), 1, 10);
  for (std::uint16_t k = 1; k <= 10; ++k) {
    ASSERT_TRUE(take());
    EXPECT_EQ(sample.raw[1], k);
    EXPECT_EQ(sample.reconnects, 0u);
  }

  line.unplug();
  ASSERT_TRUE(eventually([&] { return !state.is_connected(); }));
  EXPECT_FALSE(state.port_lost());
  line.replug();
  ASSERT_TRUE(eventually([&] { return state.is_connected(); }));
  EXPECT_EQ(state.reconnects(), 1u);

  sendCounters(line.device(), 11, 20);
  for (std::uint16_t k = 11; k <= 20; ++k) {
    ASSERT_TRUE(take());
    EXPECT_EQ(sample.raw[1], k);
    EXPECT_EQ(sample.seq, k);
    EXPECT_EQ(sample.dropped, 0u);
    EXPECT_EQ(sample.reconnects, 1u);
    EXPECT_EQ(sample.calibrated, (std::vector<double>{2.0 * (100 + k)}));
  }

  // A second unplug counts a second reconnect.
  line.unplug();
  ASSERT_TRUE(eventually([&] { return !state.is_connected(); }));
  line.replug();
  ASSERT_TRUE(eventually([&] { return state.is_connected(); }));
  sendCounters(line.device(), 21, 21);
  ASSERT_TRUE(take());
  EXPECT_EQ(sample.seq, 21u);
  EXPECT_EQ(sample.reconnects, 2u);
}

TEST(Reconnect, DisconnectStopsTheRetriesOfADeviceThatStaysAway) {
  ReplugLine line("reconnect-away");
  CommsState state;
  state.init("1");
  state.feed_samples(0);
  state.reconnect_on_loss(true);
  state.connect(line.path());
  line.unplug();
  ASSERT_TRUE(eventually([&] { return !state.is_connected(); }));
  // A few retries of a name that points nowhere.
  std::this_thread::sleep_for(3 * CommsState::kRetryPeriod);
  EXPECT_EQ(state.reconnects(), 0u);
  StampedSample sample;
  // Waiting goes on to the deadline: the device may come back.
  EXPECT_FALSE(state.take_stamped(SampleFeed::Path::kNewest, Clock::now() + 50ms, sample));
  state.disconnect();
  line.replug();
  std::this_thread::sleep_for(2 * CommsState::kRetryPeriod);
  EXPECT_FALSE(state.is_connected());
  EXPECT_EQ(state.reconnects(), 0u);
}

TEST(Reconnect, OffByDefaultTheLostPortStaysLost) {
  ReplugLine line("reconnect-off");
  CommsState state;
  state.init("1");
  state.feed_samples(0);
  state.connect(line.path());
  line.unplug();
  ASSERT_TRUE(eventually([&] { return state.port_lost(); }));
  line.replug();
  std::this_thread::sleep_for(2 * CommsState::kRetryPeriod);
  EXPECT_FALSE(state.is_connected());
  EXPECT_EQ(state.reconnects(), 0u);
}

}  // namespace
