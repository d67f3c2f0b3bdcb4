// Stress: many cycles of the comms object's life, and every caller-side
// operation from several threads at once against a sensor that streams
// without pause. Built with ThreadSanitizer in the test run (label
// concurrency), where every data race or lock-order inversion fails the test.
//
// Destroying the object while another thread is still inside one of its
// calls would break C++'s object lifetime rules (and cannot happen from
// Python, where a call keeps the object alive), so "destruction while a read
// waits" here means the acquisition thread's read: the port read in progress,
// mid-frame or mid-line, when the destructor runs.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "feltwise_comm/feltwise_comms.h"
#include "support/played_sensor.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"
#include "support/taxel_file.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_test::isCounterSample;
using feltwise_test::PlayedSensor;
using feltwise_test::PtyPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kCycles = 1000;
// The module's default. A request that init strands costs this much of the
// hammering time; the sensor answers the others within milliseconds.
constexpr std::int64_t kRegisterTimeoutMs = 500;

std::size_t entriesIn(const char* directory) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

// Counted with the directory listing itself closed again.
struct Resources {
  std::size_t fds;
  std::size_t threads;
};

Resources resourcesInUse() { return {entriesIn("/proc/self/fd") - 1, entriesIn("/proc/self/task")}; }

// A joined thread's entry can linger in /proc/self/task for a moment after
// join returns: give the counts that moment to settle.
Resources settledResources(const Resources& expected) {
  Resources now = resourcesInUse();
  for (int i = 0; i < 100 && (now.fds != expected.fds || now.threads != expected.threads); ++i) {
    std::this_thread::sleep_for(10ms);
    now = resourcesInUse();
  }
  return now;
}

TEST(Cycles, AThousandConnectsLeakNoDescriptorAndNoThread) {
  PtyPair pty;
  PlayedSensor sensor(pty, {});
  FeltwiseComms comms;
  comms.init("1");
  std::vector<double> sample;
  // One cycle first, so that lazily created runtime state is in the count.
  comms.connect(pty.path());
  comms.read_raw(sample, 2000);
  const Resources before = resourcesInUse();

  int good = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    // Disconnects the previous connection: thread joined, port closed.
    comms.connect(pty.path());
    comms.read_raw(sample, 2000);
    if (isCounterSample(sample, 4, PlayedSensor::Wire::kBinary)) ++good;
    ASSERT_TRUE(comms.is_connected()) << "cycle " << cycle;
  }
  EXPECT_EQ(good, kCycles) << "every connection delivers whole samples";
  const Resources during = resourcesInUse();
  EXPECT_EQ(during.fds, before.fds);
  EXPECT_EQ(during.threads, before.threads);
  std::printf("[ figures  ] %d connects: fds %zu -> %zu, threads %zu -> %zu\n", kCycles, before.fds, during.fds,
              before.threads, during.threads);
}

TEST(Cycles, AThousandObjectsCreatedAndDestroyedLeakNothing) {
  PtyPair pty;
  PlayedSensor sensor(pty, {});
  {
    FeltwiseComms warm_up;
    warm_up.init("1");
    warm_up.connect(pty.path());
  }
  const Resources before = settledResources(resourcesInUse());

  int good = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    FeltwiseComms comms;
    comms.init("1");
    comms.connect(pty.path());
    std::vector<double> sample;
    comms.read_raw(sample, 2000);
    if (isCounterSample(sample, 4, PlayedSensor::Wire::kBinary)) ++good;
  }
  EXPECT_EQ(good, kCycles);
  const Resources after = settledResources(before);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
  std::printf("[ figures  ] %d objects: fds %zu -> %zu, threads %zu -> %zu\n", kCycles, before.fds, after.fds,
              before.threads, after.threads);
}

// What the hammering threads saw. Errors are counted by message; anything the
// library does not document fails the test.
struct Tally {
  std::mutex mutex;
  std::map<std::string, int> outcomes;
  std::atomic<int> torn_samples{0};

  void count(const std::string& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    ++outcomes[outcome];
  }
  std::string report() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string text;
    for (const auto& [outcome, times] : outcomes) text += "  " + outcome + ": " + std::to_string(times) + "\n";
    return text;
  }
  int times(const std::string& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = outcomes.find(outcome);
    return it == outcomes.end() ? 0 : it->second;
  }
};

struct HammerOptions {
  PlayedSensor::Wire wire;
  int version;
  bool reinitialise;
};

// Runs read, read_raw, zero, both register calls and (optionally) init, each
// from threads of its own, for `duration`.
void hammer(const HammerOptions& options, std::chrono::milliseconds duration, Tally& tally) {
  PtyPair pty;
  PlayedSensor sensor(pty, {options.wire, 4, 1000us, true});
  FeltwiseComms comms;
  comms.init(
      feltwise_test::writeTaxelFile("hammer_" + std::to_string(options.version) + ".bin", 4, 1.0, options.version));
  comms.connect(pty.path());
  const std::string version_text = std::to_string(options.version);

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  auto repeat = [&](const char* name, auto body) {
    threads.emplace_back([&, name, body]() mutable {
      while (!stop.load()) {
        try {
          body();
          tally.count(std::string(name) + " ok");
        } catch (const std::runtime_error& error) {
          tally.count(std::string(name) + ": " + error.what());
        }
      }
    });
  };

  // A text sensor's first line after the port opens may be cut: the port
  // discards what arrived before it was set up. Whole samples after that.
  auto check_sample = [&](const std::vector<double>& sample, std::size_t values, bool& seen_whole) {
    if (sample.empty()) return;
    if (isCounterSample(sample, values, options.wire)) {
      seen_whole = true;
    } else if (seen_whole || options.wire == PlayedSensor::Wire::kBinary) {
      ++tally.torn_samples;
    }
  };
  for (int r = 0; r < 2; ++r) {
    repeat("read_raw", [&, seen_whole = false]() mutable {
      std::vector<double> sample;
      comms.read_raw(sample, 1000);
      check_sample(sample, 4, seen_whole);
    });
  }
  repeat("read", [&] {
    std::vector<double> sample;
    comms.read(sample, 1000);
    // Calibrated values are the raw ones less the offsets zero() finds; only
    // their number is fixed.
    if (!sample.empty() && sample.size() != 4) ++tally.torn_samples;
  });
  repeat("zero", [&] {
    comms.zero(std::vector<std::int32_t>{});
    std::this_thread::sleep_for(20ms);
  });
  repeat("read_register", [&] {
    std::vector<std::uint8_t> data;
    comms.read_register(0x1234, 7, data, kRegisterTimeoutMs);
  });
  repeat("write_register", [&] { comms.write_register(0x1234, 7, {1, 2, 3}, kRegisterTimeoutMs); });
  repeat("is_connected", [&] {
    if (!comms.is_connected()) throw std::runtime_error("not connected");
    std::this_thread::sleep_for(1ms);
  });
  if (options.reinitialise) {
    repeat("init", [&] {
      comms.init(version_text);
      std::this_thread::sleep_for(30ms);
    });
  }

  std::this_thread::sleep_for(duration);
  stop.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(comms.is_connected());
  std::printf("[ figures  ] version %d, %llu samples sent, %llu requests answered:\n%s", options.version,
              static_cast<unsigned long long>(sensor.samplesSent()),
              static_cast<unsigned long long>(sensor.requestsAnswered()), tally.report().c_str());
}

bool documented(const std::string& outcome) {
  static const std::set<std::string> always = {
      "read_raw ok",
      "read ok",
      "zero ok",
      "read_register ok",
      "write_register ok",
      "is_connected ok",
      "init ok",
      // Other threads take samples too: one may find none of its own in 50 ms.
      "zero: Could not zero the sensor",
  };
  if (always.count(outcome)) return true;
  // A request written to the protocol object that init has just replaced
  // waits for a reply that the new object receives. Without init, a reply is
  // lost only when the whole process stalls past the 100 ms read time-out in
  // the middle of it (a shared host throttling this test, the played sensor
  // included): rare, and counted against the successes below.
  return outcome == "read_register: Register read timeout" || outcome == "write_register: Register write timeout";
}

class Hammer : public ::testing::TestWithParam<HammerOptions> {};

TEST_P(Hammer, EveryCallEndsAsDocumentedAndNoSampleIsTorn) {
  Tally tally;
  hammer(GetParam(), 3s, tally);
  EXPECT_EQ(tally.torn_samples.load(), 0);
  {
    std::lock_guard<std::mutex> lock(tally.mutex);
    for (const auto& [outcome, times] : tally.outcomes) {
      EXPECT_TRUE(documented(outcome)) << outcome << " (" << times << " times)";
    }
  }
  // Each kind of call got through, many times over; with init, a request
  // that init strands waits out its time-out, so fewer.
  const int many = GetParam().reinitialise ? 1 : 10;
  if (!GetParam().reinitialise) {
    const int timeouts =
        tally.times("read_register: Register read timeout") + tally.times("write_register: Register write timeout");
    EXPECT_LE(timeouts * 100, tally.times("read_register ok") + tally.times("write_register ok"));
  }
  EXPECT_GT(tally.times("read_raw ok"), many);
  EXPECT_GT(tally.times("read_register ok"), many);
  EXPECT_GT(tally.times("write_register ok"), many);
  EXPECT_GT(tally.times("zero ok"), 0);
}

// Every version with registers, with and without init among the calls.
std::vector<HammerOptions> hammerOptions() {
  std::vector<HammerOptions> options;
  for (const int version : feltwise_test::protocolVersions(std::nullopt, feltwise_comm::Registers::yes)) {
    const auto wire = feltwise_test::isTextVersion(version) ? PlayedSensor::Wire::kText : PlayedSensor::Wire::kBinary;
    for (const bool reinitialise : {false, true}) options.push_back({wire, version, reinitialise});
  }
  return options;
}

INSTANTIATE_TEST_SUITE_P(Versions, Hammer, ::testing::ValuesIn(hammerOptions()),
                         [](const ::testing::TestParamInfo<HammerOptions>& param_info) {
                           return "Version" + std::to_string(param_info.param.version) +
                                  (param_info.param.reinitialise ? "WithInit" : "");
                         });

TEST(Reconnect, AReadThatWaitsGetsASampleOfTheNextConnection) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init("1");
  comms.connect(pty.path());
  std::vector<double> sample;
  std::thread reader([&] { comms.read_raw(sample, 5000); });
  std::this_thread::sleep_for(100ms);
  comms.connect(pty.path());
  pty.send(feltwise_test::binaryFrame({21, 22}));
  reader.join();
  EXPECT_EQ(sample, (std::vector<double>{21.0, 22.0}));
}

// The acquisition thread is inside a port read that has begun to receive
// something when the destructor runs: it must give up within the read
// time-out and release everything.
struct WaitingRead {
  const char* name;
  const char* version;
  std::vector<std::uint8_t> bytes;
};

class DestructionWhileReading : public ::testing::TestWithParam<WaitingRead> {};

TEST_P(DestructionWhileReading, JoinsWithinTheReadTimeoutAndFreesThePort) {
  PtyPair pty;
  {
    // Runtimes that start a helper thread with the first thread (the
    // sanitizers' do) have done so before the count.
    FeltwiseComms warm_up;
    warm_up.init(GetParam().version);
    warm_up.connect(pty.path());
  }
  const Resources before = settledResources(resourcesInUse());
  auto comms = std::make_unique<FeltwiseComms>();
  comms->init(GetParam().version);
  comms->connect(pty.path());
  pty.send(GetParam().bytes);
  // Long enough for the thread to be waiting for the rest.
  std::this_thread::sleep_for(30ms);
  const auto start = Clock::now();
  comms.reset();
  const auto took = Clock::now() - start;
  // One read time-out (100 ms), with room for a slow sanitizer build.
  EXPECT_LT(took, 500ms);
  const Resources after = settledResources(before);
  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
  // The port is free for the next program.
  EXPECT_TRUE(feltwise_test::openCommsPort(pty.path())->isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Reads, DestructionWhileReading,
    ::testing::Values(WaitingRead{"SilentSensor", "1", {}},
                      WaitingRead{"MidFrame", "1", {0xFF, 0xFF, 0x04, 0x00, 0x01, 0x00}},
                      WaitingRead{"MidCountWord", "1", {0xFF, 0xFF, 0x04}},
                      WaitingRead{"MidEncipheredFrame", "2", {0xFF, 0xFF, 0x04, 0x00, 0x01, 0x02, 0x03}},
                      WaitingRead{"MidLine", "0", {'1', ',', '2', ','}},
                      WaitingRead{"MidRegisterReply", "4", {0xFB, 0xFF, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x01}},
                      WaitingRead{"MidReplyLine", "3", {'R', '3', '2', ',', '1', ','}}),
    [](const ::testing::TestParamInfo<WaitingRead>& param_info) { return std::string(param_info.param.name); });

}  // namespace
