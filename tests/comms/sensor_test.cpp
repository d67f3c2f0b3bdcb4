// feltwise_comm::Sensor, the public C++ sensor, on a real pseudo-terminal:
// stamped samples and batches from its queue, on an instant and a paced
// line, its drop counts, time-outs, close and loss.
#include "feltwise_comm/sensor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/paced_line.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::DeviceLostError;
using feltwise_comm::SampleBatch;
using feltwise_comm::Sensor;
using feltwise_comm::SensorClosedError;
using feltwise_comm::SensorOptions;
using feltwise_comm::StampedSample;
using feltwise_test::binaryFrame;
using feltwise_test::PacedLine;
using feltwise_test::PtyPair;
using namespace std::chrono_literals;

// Frames first..first+count-1, frame k carrying {k, 7, 9}.
std::vector<std::uint8_t> frames(int first, int count) {
  std::vector<std::uint8_t> bytes;
  for (int k = first; k < first + count; ++k) {
    const auto frame = binaryFrame({static_cast<std::uint16_t>(k), 7, 9});
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  return bytes;
}

// Reads newest samples until frame `last` was handed off; returns how many
// reads took a sample.
std::uint64_t awaitFrame(Sensor& sensor, double last) {
  StampedSample newest;
  std::uint64_t reads = 0;
  for (int turn = 0; turn < 200 && (newest.raw.empty() || newest.raw[0] != last); ++turn) {
    if (sensor.read(newest, 50ms)) ++reads;
  }
  EXPECT_EQ(newest.raw.at(0), last);
  return reads;
}

struct LineCase {
  const char* name;
  bool paced;
  bool calibrated;
};

class SensorBatches : public ::testing::TestWithParam<LineCase> {};

TEST_P(SensorBatches, EveryFrameArrivesInOrderThroughBatchesWithItsStamp) {
  constexpr int kFrames = 150;
  PtyPair pty;
  const std::string init = GetParam().calibrated ? feltwise_test::writeTaxelFile("batch_taxels.msgpack", 3, 2.0) : "1";
  Sensor sensor(pty.path(), init, SensorOptions{/*queue=*/256, /*reconnect=*/false});
  std::thread device([&] {
    if (GetParam().paced) {
      PacedLine line(pty);
      for (int k = 0; k < kFrames; k += 5) line.send(frames(k, 5));
    } else {
      pty.send(frames(0, kFrames));
    }
  });
  SampleBatch batch;
  std::vector<double> firsts;
  std::uint64_t taken = 0;
  std::int64_t last_stamp = 0;
  while (taken < kFrames && sensor.readBatch(batch, 0, 5s) > 0) {
    ASSERT_EQ(batch.raw_columns, 3u);
    ASSERT_EQ(batch.calibrated_columns, GetParam().calibrated ? 3u : 0u);
    for (std::size_t row = 0; row < batch.rows; ++row) {
      ++taken;
      EXPECT_EQ(batch.seq[row], taken);
      EXPECT_GE(batch.t_host_ns[row], last_stamp);
      last_stamp = batch.t_host_ns[row];
      EXPECT_EQ(batch.raw_row(row)[1], 7.0);
      if (GetParam().calibrated) {
        EXPECT_EQ(batch.calibrated_row(row)[2], 18.0);
      }
      EXPECT_EQ(batch.reconnects[row], 0u);
      firsts.push_back(batch.raw_row(row)[0]);
    }
    EXPECT_EQ(batch.dropped, 0u);
    EXPECT_EQ(batch.sample(batch.rows - 1).seq, taken);
  }
  device.join();
  ASSERT_EQ(taken, static_cast<std::uint64_t>(kFrames));
  for (int k = 0; k < kFrames; ++k) EXPECT_EQ(firsts[static_cast<std::size_t>(k)], k);
  // Nothing more: the time-out gives an empty batch that keeps the widths.
  EXPECT_EQ(sensor.readBatch(batch, 0, 0ms), 0u);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(batch.raw_columns, 3u);
}

INSTANTIATE_TEST_SUITE_P(Lines, SensorBatches,
                         ::testing::Values(LineCase{"Instant", false, false}, LineCase{"Paced", true, false},
                                           LineCase{"PacedCalibrated", true, true}),
                         [](const ::testing::TestParamInfo<LineCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(SensorQueue, AFullQueueKeepsTheNewestAndCountsWhatItPushedOut) {
  PtyPair pty;
  Sensor sensor(pty.path(), "1", SensorOptions{/*queue=*/8, /*reconnect=*/false});
  pty.send(frames(0, 40));
  awaitFrame(sensor, 39);
  SampleBatch batch;
  // At most max_samples, then the rest.
  ASSERT_EQ(sensor.readBatch(batch, 5, 1s), 5u);
  EXPECT_EQ(batch.seq.front(), 33u);
  EXPECT_EQ(batch.dropped, 32u);
  ASSERT_EQ(sensor.readBatch(batch, 0, 1s), 3u);
  EXPECT_EQ(batch.seq.back(), 40u);
  EXPECT_EQ(batch.raw_row(2)[0], 39.0);
  // Every frame is either taken or counted.
  EXPECT_EQ(batch.seq.back(), 8u + batch.dropped);
}

TEST(SensorQueue, ReadTakesTheNewestAndCountsWhatItSkipped) {
  PtyPair pty;
  Sensor sensor(pty.path(), "1", SensorOptions{/*queue=*/0, /*reconnect=*/false});
  StampedSample sample;
  EXPECT_FALSE(sensor.read(sample, 0ms));
  pty.send(frames(0, 10));
  const std::uint64_t reads = awaitFrame(sensor, 9);
  EXPECT_FALSE(sensor.read(sample, 0ms));
  pty.send(frames(10, 1));
  ASSERT_TRUE(sensor.read(sample, 5s));
  EXPECT_EQ(sample.seq, 11u);
  EXPECT_EQ(sample.seq, reads + 1 + sample.dropped);
  // Without a queue a batch is the newest sample.
  pty.send(frames(11, 1));
  SampleBatch batch;
  ASSERT_EQ(sensor.readBatch(batch, 0, 5s), 1u);
  EXPECT_EQ(batch.raw_row(0)[0], 11.0);
}

TEST(SensorQueue, MinSamplesWaitsForThatManyFrames) {
  PtyPair pty;
  Sensor sensor(pty.path(), "1", SensorOptions{/*queue=*/64, /*reconnect=*/false});
  std::thread device([&] {
    PacedLine line(pty);
    for (int k = 0; k < 30; ++k) line.send(frames(k, 1));
  });
  SampleBatch batch;
  EXPECT_EQ(sensor.readBatch(batch, 0, 10s, 30), 30u);
  device.join();
  // A time-out hands over what has come, even below min_samples.
  pty.send(frames(30, 2));
  EXPECT_EQ(sensor.readBatch(batch, 0, 300ms, 50), 2u);
}

TEST(SensorEnd, CloseEndsAWaitInAnotherThreadAndEveryCallAfterIt) {
  PtyPair pty;
  Sensor sensor(pty.path(), "1");
  bool closed_error = false;
  std::thread reader([&] {
    SampleBatch batch;
    try {
      sensor.readBatch(batch, 0, 60s);
    } catch (const SensorClosedError&) {
      closed_error = true;
    }
  });
  std::this_thread::sleep_for(50ms);
  sensor.close();
  reader.join();
  EXPECT_TRUE(closed_error);
  StampedSample sample;
  EXPECT_THROW(sensor.read(sample), SensorClosedError);
  EXPECT_FALSE(sensor.isConnected());
  sensor.close();
}

TEST(SensorEnd, AnUnpluggedDeviceIsLostAfterItsQueuedFrames) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  PtyPair pty;
  Sensor sensor(pty.path(), "1", SensorOptions{/*queue=*/16, /*reconnect=*/false});
  pty.send(frames(0, 4));
  awaitFrame(sensor, 3);
  pty.unplug();
  SampleBatch batch;
  std::size_t queued = 0;
  try {
    for (int turn = 0; turn < 100; ++turn) queued += sensor.readBatch(batch, 0, 100ms);
    FAIL() << "no DeviceLostError";
  } catch (const DeviceLostError& lost) {
    EXPECT_STREQ(lost.what(), "Sensor lost: the port failed or the device was unplugged");
  }
  EXPECT_EQ(queued, 4u);
  StampedSample sample;
  EXPECT_THROW(sensor.read(sample), DeviceLostError);
}

}  // namespace
