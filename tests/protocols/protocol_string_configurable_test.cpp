// Version-3 lines and register traffic on a pseudo-terminal. As in the
// library, one thread runs readSample in a loop (the acquisition thread), the
// register calls run on their own threads (the callers), and the test thread
// plays the sensor: it reads each request off the line and answers it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "protocols/protocol_string_configurable.h"
#include "support/console_capture.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolString;
using feltwise_comm::ProtocolStringConfigurable;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<double>;
using namespace std::chrono_literals;

// Generous: these only bound how long a test may hang when something is wrong.
constexpr std::int64_t kAnswerMs = 3000;
constexpr auto kPatience = 10s;

// Runs readSample without pause and keeps every sample it returns.
class AcquisitionThread {
 public:
  AcquisitionThread(ProtocolStringConfigurable& protocol, PortHolder& comms)
      : thread_([this, &protocol, &comms] { run(protocol, comms); }) {}
  ~AcquisitionThread() {
    stop_ = true;
    thread_.join();
  }
  AcquisitionThread(const AcquisitionThread&) = delete;
  AcquisitionThread& operator=(const AcquisitionThread&) = delete;

  // Waits until `expected` has been returned as a sample.
  bool waitForSample(const Values& expected) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kPatience, [&] {
      for (const Values& s : samples_) {
        if (s == expected) return true;
      }
      return failed_;
    }) && !failed_;
  }

  std::vector<Values> samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }

  bool failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }

 private:
  void run(ProtocolStringConfigurable& protocol, PortHolder& comms) {
    Values sample;
    sample.reserve(1024);
    while (!stop_) {
      try {
        if (protocol.readSample(sample, comms)) {
          std::lock_guard<std::mutex> lock(mutex_);
          samples_.push_back(sample);
          cv_.notify_all();
        }
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_ = true;
        cv_.notify_all();
        return;
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Values> samples_;
  bool failed_ = false;
  std::thread thread_;  // last: starts once everything above exists
};

// The message a register call ended with, "" for success.
std::string outcome(std::future<void>& call) {
  if (call.wait_for(kPatience) != std::future_status::ready) return "still waiting";
  try {
    call.get();
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

// The same for a read, whose bytes land in `out` when it succeeds.
std::string outcome(std::future<Bytes>& call, Bytes& out) {
  if (call.wait_for(kPatience) != std::future_status::ready) return "still waiting";
  try {
    out = call.get();
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string outcome(std::future<Bytes>& call) {
  Bytes ignored;
  return outcome(call, ignored);
}

class TextRegisters : public ::testing::Test {
 protected:
  void SetUp() override {
    comms_.port_ = feltwise_test::openCommsPort(pty_.path());
    acquisition_ = std::make_unique<AcquisitionThread>(protocol_, comms_);
  }
  void TearDown() override {
    EXPECT_FALSE(acquisition_->failed()) << "readSample threw";
    acquisition_.reset();
    EXPECT_TRUE(unread_.empty()) << "the host wrote more than was expected: " << unread_;
  }

  std::future<Bytes> startRead(std::uint16_t address, std::uint16_t id, std::int64_t timeout_ms = kAnswerMs,
                               Bytes out = {}) {
    return std::async(std::launch::async, [=]() mutable {
      protocol_.readRegister(address, id, out, comms_, timeout_ms);
      return out;
    });
  }

  std::future<void> startWrite(std::uint16_t address, std::uint16_t id, Bytes data,
                               std::int64_t timeout_ms = kAnswerMs) {
    return std::async(std::launch::async, [=] { protocol_.writeRegister(address, id, data, comms_, timeout_ms); });
  }

  // The next line the host wrote, as the sensor receives it.
  std::string request() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::size_t end;
    while ((end = unread_.find('\n')) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      const Bytes chunk = pty_.receive(1, 100);
      unread_.append(chunk.begin(), chunk.end());
    }
    if (end == std::string::npos) return "";
    std::string line = unread_.substr(0, end + 1);
    unread_.erase(0, end + 1);
    return line;
  }

  // Sends `line` and then a sample line, and returns once the acquisition
  // thread has handled both: lines are read in order.
  void sendAndSettle(const std::string& line) {
    const double marker = ++markers_;
    pty_.send(line + std::to_string(marker) + ",-1\n");
    ASSERT_TRUE(acquisition_->waitForSample({marker, -1.0}));
  }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolStringConfigurable protocol_;
  std::unique_ptr<AcquisitionThread> acquisition_;
  std::string unread_;
  int markers_ = 0;
};

TEST_F(TextRegisters, ReadRoundTrip) {
  auto read = startRead(32, 1);
  EXPECT_EQ(request(), "r32,1,0\n");
  pty_.send("R32,1,2,0aff\n");
  Bytes read_bytes;
  ASSERT_EQ(outcome(read, read_bytes), "");
  EXPECT_EQ(read_bytes, (Bytes{0x0A, 0xFF}));
}

TEST_F(TextRegisters, ReadOfNoBytesSucceeds) {
  auto read = startRead(32, 1, kAnswerMs, Bytes{1, 2, 3});
  EXPECT_EQ(request(), "r32,1,0\n");
  pty_.send("R32,1,0,\n");
  Bytes read_bytes;
  ASSERT_EQ(outcome(read, read_bytes), "");
  EXPECT_EQ(read_bytes, Bytes{});
}

TEST_F(TextRegisters, WriteRoundTrip) {
  auto write = startWrite(32, 1, {0x0A, 0xFF});
  EXPECT_EQ(request(), "w32,1,2,0AFF\n");
  pty_.send("OK\n");
  EXPECT_EQ(outcome(write), "");

  auto empty_write = startWrite(65535, 0, {});
  EXPECT_EQ(request(), "w65535,0,0,\n");
  pty_.send("O\n");
  EXPECT_EQ(outcome(empty_write), "");
}

TEST_F(TextRegisters, TimeOutsBelowOneMillisecondAreRefusedBeforeAnythingIsSent) {
  for (std::int64_t timeout : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    auto read = startRead(32, 1, timeout);
    EXPECT_EQ(outcome(read), "Timeout must be greater than 0 ms");
    auto write = startWrite(32, 1, {1}, timeout);
    EXPECT_EQ(outcome(write), "Timeout must be greater than 0 ms");
  }
  EXPECT_TRUE(pty_.receive(1, 300).empty());
}

TEST_F(TextRegisters, NoAnswerTimesOutAndEmptiesTheReadBuffer) {
  Bytes out{1, 2, 3};
  auto start = std::chrono::steady_clock::now();
  try {
    protocol_.readRegister(32, 1, out, comms_, 300);
    ADD_FAILURE() << "no time-out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register read timeout");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(request(), "r32,1,0\n");

  start = std::chrono::steady_clock::now();
  try {
    protocol_.writeRegister(32, 1, {4}, comms_, 300);
    ADD_FAILURE() << "no time-out";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Register write timeout");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_EQ(request(), "w32,1,1,04\n");
}

TEST_F(TextRegisters, AnErrorStatusLeavesTheReadBufferAsItWas) {
  Bytes out{9, 8};
  std::thread sensor([this] {
    request();
    pty_.send("R32,1,2\n");
  });
  EXPECT_THROW(protocol_.readRegister(32, 1, out, comms_, kAnswerMs), std::runtime_error);
  sensor.join();
  EXPECT_EQ(out, (Bytes{9, 8}));
}

// A bad read reply, like a device error, ends the pending read with its status.
struct FailureCase {
  const char* name;
  std::string line;
  std::string status;
};

class TextRegisterFailures : public TextRegisters, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TextRegisterFailures, EndThePendingReadWithTheStatus) {
  auto read = startRead(32, 1);
  EXPECT_EQ(request(), "r32,1,0\n");
  ::testing::internal::CaptureStdout();
  pty_.send(GetParam().line);
  const std::string read_outcome = outcome(read);
  feltwise_test::capturedStdout();
  EXPECT_EQ(read_outcome, "Register read error: " + GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Lines, TextRegisterFailures,
                         ::testing::Values(FailureCase{"ThreeFields", "R32,1,2\n", "406"},
                                           FailureCase{"FiveFields", "R32,1,2,0aff,3\n", "406"},
                                           FailureCase{"OwnRequestEchoed", "r32,1,0\n", "406"},
                                           FailureCase{"IdNotANumber", "R32,x,1,00\n", "404"},
                                           FailureCase{"AddressNotANumber", "Rx,1,1,00\n", "404"},
                                           FailureCase{"CountNotANumber", "R32,1,y,00\n", "404"},
                                           // Count 1 with two bytes of data: a failure, not a success
                                           // that hands over the bytes of an earlier reply.
                                           FailureCase{"DataLongerThanItsCount", "R32,1,1,0aff\n", "405"},
                                           FailureCase{"DataShorterThanItsCount", "R32,1,3,0aff\n", "405"},
                                           FailureCase{"DeviceError", "E12 bad register\n", "0"}),
                         [](const ::testing::TestParamInfo<FailureCase>& param_info) { return param_info.param.name; });

TEST_F(TextRegisters, ADeviceErrorIsEchoedToStandardOutput) {
  ::testing::internal::CaptureStdout();
  auto read = startRead(32, 1);
  request();
  pty_.send("E12 bad register\r\n");
  const std::string read_outcome = outcome(read);
  const std::string printed = feltwise_test::capturedStdout();
  EXPECT_EQ(read_outcome, "Register read error: 0");
  // The carriage return is shown, not sent to the terminal.
  EXPECT_EQ(printed, "ERR E12 bad register\\x0d\n\n");
}

TEST_F(TextRegisters, ADeviceErrorIsEchoedEvenWhenNoRequestWaits) {
  ::testing::internal::CaptureStdout();
  sendAndSettle("Eoverheat\n");
  EXPECT_EQ(feltwise_test::capturedStdout(), "ERR Eoverheat\n\n");
}

TEST_F(TextRegisters, SampleLinesArriveWhileARequestWaits) {
  auto read = startRead(32, 1);
  request();
  pty_.send("1.5,2\n");
  EXPECT_TRUE(acquisition_->waitForSample({1.5, 2.0}));
  EXPECT_EQ(read.wait_for(0ms), std::future_status::timeout);
  pty_.send("R32,1,1,7e\n");
  Bytes read_bytes;
  ASSERT_EQ(outcome(read, read_bytes), "");
  EXPECT_EQ(read_bytes, Bytes{0x7E});
}

// Replies name no request, so a line that comes when nobody waits must not be
// taken as the answer to the next request.
class StrayLines : public TextRegisters, public ::testing::WithParamInterface<std::string> {};

TEST_P(StrayLines, DoNotAnswerTheNextRequest) {
  ::testing::internal::CaptureStdout();
  sendAndSettle(GetParam());
  feltwise_test::capturedStdout();

  auto read = startRead(32, 1);
  EXPECT_EQ(request(), "r32,1,0\n");
  EXPECT_EQ(read.wait_for(200ms), std::future_status::timeout);
  pty_.send("R32,1,1,bb\n");
  Bytes read_bytes;
  ASSERT_EQ(outcome(read, read_bytes), "");
  EXPECT_EQ(read_bytes, Bytes{0xBB});

  auto write = startWrite(32, 1, {0xCC});
  EXPECT_EQ(request(), "w32,1,1,CC\n");
  EXPECT_EQ(write.wait_for(200ms), std::future_status::timeout);
  pty_.send("O\n");
  EXPECT_EQ(outcome(write), "");
}

INSTANTIATE_TEST_SUITE_P(Lines, StrayLines,
                         ::testing::Values("R32,1,1,aa\n", "O\n", "Enot now\n", "R32,1\n", "R32,1,2,a\n"));

TEST_F(TextRegisters, AReplyAfterItsRequestTimedOutDoesNotAnswerTheNextOne) {
  auto late = startRead(32, 1, 200);
  request();
  EXPECT_EQ(outcome(late), "Register read timeout");
  sendAndSettle("R32,1,1,aa\n");

  auto read = startRead(32, 1);
  request();
  pty_.send("R32,1,1,bb\n");
  Bytes read_bytes;
  ASSERT_EQ(outcome(read, read_bytes), "");
  EXPECT_EQ(read_bytes, Bytes{0xBB});
}

TEST_F(TextRegisters, TheLongestTimeOutStillWaitsForTheAnswer) {
  auto write = startWrite(1, 2, {3}, std::numeric_limits<std::int64_t>::max());
  request();
  EXPECT_EQ(write.wait_for(200ms), std::future_status::timeout);
  pty_.send("O\n");
  EXPECT_EQ(outcome(write), "");
}

// Many round trips, each reply between sample lines: every request is
// written byte for byte, every reply reaches its caller, no sample is lost.
TEST_F(TextRegisters, RoundTripsWhileSamplesFlow) {
  const int rounds = 100;
  for (int i = 0; i < rounds; ++i) {
    const auto address = static_cast<std::uint16_t>(i * 331);
    const auto id = static_cast<std::uint16_t>(65535 - i);
    const Bytes data{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 0x00};
    char hex[7];
    std::snprintf(hex, sizeof hex, "%02X%02X00", i, 255 - i);

    auto write = startWrite(address, id, data);
    ASSERT_EQ(request(), "w" + std::to_string(address) + "," + std::to_string(id) + ",3," + hex + "\n");
    pty_.send(std::to_string(i) + ",0.5\nO\n");
    ASSERT_EQ(outcome(write), "") << "round " << i;

    auto read = startRead(address, id);
    ASSERT_EQ(request(), "r" + std::to_string(address) + "," + std::to_string(id) + ",0\n");
    pty_.send(std::to_string(i) + ",1.5\nR" + std::to_string(address) + "," + std::to_string(id) + ",3," + hex + "\n");
    Bytes read_bytes;
    ASSERT_EQ(outcome(read, read_bytes), "") << "round " << i;
    EXPECT_EQ(read_bytes, data);
  }
  ASSERT_TRUE(acquisition_->waitForSample({rounds - 1.0, 1.5}));
  const std::vector<Values> samples = acquisition_->samples();
  ASSERT_EQ(samples.size(), 2u * rounds);
  for (int i = 0; i < rounds; ++i) {
    EXPECT_EQ(samples[2 * i], (Values{double(i), 0.5}));
    EXPECT_EQ(samples[2 * i + 1], (Values{double(i), 1.5}));
  }
}

TEST(TextRegistersUnplugged, AFailedRequestWriteRaisesWithoutWaiting) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  PtyPair pty;
  PortHolder comms;
  comms.port_ = feltwise_test::openCommsPort(pty.path());
  ProtocolStringConfigurable protocol;
  pty.unplug();
  Bytes out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(protocol.readRegister(32, 1, out, comms, 60000), serial::IOException);
  EXPECT_THROW(protocol.writeRegister(32, 1, {1}, comms, 60000), serial::IOException);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Lines read without register traffic.
class ConfigurableLines : public ::testing::Test {
 protected:
  void SetUp() override { comms_.port_ = feltwise_test::openCommsPort(pty_.path()); }

  bool next() { return protocol_.readSample(sample_, comms_); }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolStringConfigurable protocol_;
  Values sample_;
};

TEST_F(ConfigurableLines, SampleLinesAreReadAsInVersion0) {
  pty_.send("1.5, 2\r\n12abc,3\n1,,2\n1,x\n");
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{1.5, 2.0}));
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{12.0, 3.0}));
  EXPECT_TRUE(next());
  EXPECT_EQ(sample_, (Values{1.0}));
  EXPECT_FALSE(next());
  EXPECT_TRUE(sample_.empty());
}

TEST_F(ConfigurableLines, RepliesAreNoSamples) {
  ::testing::internal::CaptureStdout();
  pty_.send("R32,1,1,01\nO\nEx\nr1,2\n");
  for (int i = 0; i < 4; ++i) {
    sample_ = {5.0};
    EXPECT_FALSE(next()) << "line " << i;
    EXPECT_EQ(sample_, Values{5.0});
  }
  feltwise_test::capturedStdout();
}

TEST_F(ConfigurableLines, LinesShorterThanTwoBytesAreDropped) {
  pty_.send("\n");
  sample_ = {5.0};
  EXPECT_FALSE(next());
  EXPECT_EQ(sample_, Values{5.0});

  pty_.send("7");  // cut off by the read time-out
  EXPECT_FALSE(next());
  EXPECT_EQ(sample_, Values{5.0});

  // Version 0 takes the same byte as a sample.
  ProtocolString version0;
  pty_.send("7");
  EXPECT_TRUE(version0.readSample(sample_, comms_));
  EXPECT_EQ(sample_, Values{7.0});
}

}  // namespace
