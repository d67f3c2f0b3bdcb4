// SensorComms through its public header only, as a C++ program uses it: a
// played sensor on a pseudo-terminal streams counter samples and answers
// register requests, on both wires, until the test pulls the plug.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "feltwise_comm/device_lost_error.h"
#include "feltwise_comm/sensor_comms.h"
#include "support/expect_error.h"
#include "support/played_sensor.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::ConnectOptions;
using feltwise_comm::DeviceLostError;
using feltwise_comm::SamplePath;
using feltwise_comm::SensorComms;
using feltwise_comm::StampedSample;
using feltwise_test::PlayedSensor;
using feltwise_test::PtyPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kValues = 4;
constexpr double kGain = 2.0;
constexpr const char* kNotOpen = "Serial port is not open";

struct Case {
  const char* name;
  PlayedSensor::Wire wire;
  int version;  // the version of the wire that carries registers
  SamplePath path;
};

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + 10s;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class SensorCommsOnPty : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    PlayedSensor::Options options;
    options.wire = GetParam().wire;
    options.values = kValues;
    options.answer_registers = true;
    sensor_.emplace(pty_, options);
    comms_.init(feltwise_test::writeTaxelFile(std::string("sensor-comms-") + GetParam().name + ".msgpack",
                                              static_cast<int>(kValues), kGain, GetParam().version));
    ConnectOptions connect;
    connect.queue_capacity = 1024;
    comms_.connect(pty_.path(), connect);
  }

  // Stops the played sensor, then hangs the line up under the library.
  void unplug() {
    sensor_.reset();
    pty_.unplug();
  }

  PtyPair pty_;
  std::optional<PlayedSensor> sensor_;
  SensorComms comms_;
};

TEST_P(SensorCommsOnPty, TakesWholeCalibratedSamplesWithTheirStampsInOrder) {
  StampedSample sample;
  std::uint64_t taken = 0;
  std::uint64_t last_seq = 0;
  std::int64_t last_t = 0;
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(comms_.take(GetParam().path, Clock::now() + 5s, sample)) << "sample " << i;
    ++taken;
    ASSERT_TRUE(feltwise_test::isCounterSample(sample.raw, kValues, GetParam().wire));
    ASSERT_EQ(sample.calibrated.size(), kValues);
    for (std::size_t v = 0; v < kValues; ++v) EXPECT_DOUBLE_EQ(sample.calibrated[v], kGain * sample.raw[v]);
    // Every frame is either taken or counted as dropped by this path.
    EXPECT_EQ(sample.seq, taken + sample.dropped);
    EXPECT_GT(sample.seq, last_seq);
    EXPECT_GE(sample.t_host_ns, last_t);
    EXPECT_EQ(sample.reconnects, 0u);
    last_seq = sample.seq;
    last_t = sample.t_host_ns;
  }
  // A sample given back is the next one taken, unless a newer one replaced it.
  ASSERT_TRUE(comms_.take(GetParam().path, Clock::now() + 5s, sample));
  comms_.give_back(GetParam().path, sample);
  StampedSample again;
  ASSERT_TRUE(comms_.take(GetParam().path, again));
  if (GetParam().path == SamplePath::kQueue) {
    EXPECT_EQ(again.seq, sample.seq);
  }
  EXPECT_GE(again.seq, sample.seq);
  EXPECT_TRUE(comms_.is_connected());
  EXPECT_FALSE(comms_.port_lost());
}

TEST_P(SensorCommsOnPty, RegistersAnswerWhileSamplesStream) {
  for (const std::uint16_t address : {0x0010, 0x0203}) {
    std::vector<std::uint8_t> data;
    comms_.read_register(address, 7, data, 2000);
    EXPECT_EQ(data, PlayedSensor::replyDataFor(address));
  }
  comms_.write_register(0x0010, 7, {1, 2, 3}, 2000);
  EXPECT_TRUE(comms_.await(GetParam().path, Clock::now() + 5s));
}

TEST_P(SensorCommsOnPty, ALostPortRaisesDeviceLostOnceNothingIsLeft) {
  StampedSample sample;
  ASSERT_TRUE(comms_.take(GetParam().path, Clock::now() + 5s, sample));
  unplug();
  ASSERT_TRUE(eventually([&] { return comms_.port_lost(); }));
  EXPECT_FALSE(comms_.is_connected());
  // What arrived before the loss is still handed out, then the loss is told.
  // The loop ends: no sample can come after it.
  for (;;) {
    try {
      if (!comms_.take(GetParam().path, Clock::now() + 5s, sample)) {
        ADD_FAILURE() << "a lost port made take wait to its deadline";
        break;
      }
    } catch (const DeviceLostError& lost) {
      EXPECT_STREQ(lost.what(), "Sensor lost: the port failed or the device was unplugged");
      break;
    }
  }
  EXPECT_THROW(comms_.take(GetParam().path, sample), DeviceLostError);
  EXPECT_FALSE(comms_.await(GetParam().path, Clock::now() + 5s));
  std::vector<std::uint8_t> data;
  feltwise_test::expect_error<DeviceLostError>([&] { comms_.read_register(0x0010, 7, data, 200); }, kNotOpen);
  feltwise_test::expect_error<DeviceLostError>([&] { comms_.write_register(0x0010, 7, {1}, 200); }, kNotOpen);
}

TEST_P(SensorCommsOnPty, AClosedPortIsNoLoss) {
  comms_.disconnect();
  StampedSample sample;
  while (comms_.take(GetParam().path, sample)) {
  }
  EXPECT_FALSE(comms_.port_lost());
  std::vector<std::uint8_t> data;
  try {
    comms_.read_register(0x0010, 7, data, 200);
    ADD_FAILURE() << "a register read on a closed port";
  } catch (const DeviceLostError&) {
    ADD_FAILURE() << "a closed port taken for a lost one";
  } catch (const std::runtime_error& refused) {
    EXPECT_STREQ(refused.what(), kNotOpen);
  }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Wires, SensorCommsOnPty,
                         ::testing::Values(Case{"binary_queue", PlayedSensor::Wire::kBinary, 4, SamplePath::kQueue},
                                           Case{"binary_newest", PlayedSensor::Wire::kBinary, 4, SamplePath::kNewest},
                                           Case{"text_queue", PlayedSensor::Wire::kText, 3, SamplePath::kQueue},
                                           Case{"text_newest", PlayedSensor::Wire::kText, 3, SamplePath::kNewest}),
                         caseName);

}  // namespace
