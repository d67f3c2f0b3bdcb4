// Version-4 register traffic over a pty. The test plays the sensor on the
// master side; one thread runs readSample in a loop as the acquisition thread
// does, and register requests run on threads of their own, as callers do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <future>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "protocols/protocol_binary_configurable.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using feltwise_comm::PortHolder;
using feltwise_comm::ProtocolBinaryConfigurable;
using feltwise_test::binaryFrame;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes word(std::uint16_t w) { return {static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>(w >> 8)}; }

Bytes readRequest(std::uint16_t address, std::uint16_t id) {
  return join({{0xFB, 0xFF}, word(address), word(id), {0x00, 0x00}});
}

Bytes writeRequest(std::uint16_t address, std::uint16_t id, const Bytes& data) {
  return join({{0xFC, 0xFF}, word(address), word(id), word(static_cast<std::uint16_t>(data.size())), data});
}

Bytes readReply(const Bytes& data) {
  return join({{0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00}, word(static_cast<std::uint16_t>(data.size())), data});
}

Bytes statusFrame(std::uint16_t code) { return join({{0xFA, 0xFF}, word(code)}); }

// "" when `call` returns, else the message of what it raised.
template <class Call>
std::string errorOf(Call call) {
  try {
    call();
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

template <class Call>
std::future<std::string> inBackground(Call call) {
  return std::async(std::launch::async, [call]() mutable { return errorOf(call); });
}

bool stillWaiting(std::future<std::string>& request, std::chrono::milliseconds for_how_long = 300ms) {
  return request.wait_for(for_how_long) == std::future_status::timeout;
}

class ConfigurableProtocol : public ::testing::Test {
 protected:
  // Requests the test answers get a time-out they never reach.
  static constexpr std::int64_t kAnswered = 5000;

  void SetUp() override {
    comms_.port_ = feltwise_test::openCommsPort(pty_.path());
    acquisition_ = std::thread([this] { acquire(); });
  }

  void TearDown() override {
    stop_ = true;
    acquisition_.join();
    if (acquisition_error_)
      ADD_FAILURE() << "acquisition thread: " << errorOf([this] { std::rethrow_exception(acquisition_error_); });
  }

  void acquire() {
    std::vector<double> sample;
    sample.reserve(1024);
    while (!stop_) {
      try {
        if (!protocol_.readSample(sample, comms_)) continue;
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        acquisition_error_ = std::current_exception();
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      samples_.push_back(sample);
      decoded_.notify_all();
    }
  }

  std::future<std::string> readInBackground(std::uint16_t address, std::uint16_t id, Bytes& out,
                                            std::int64_t timeout_ms = kAnswered) {
    return inBackground(
        [this, address, id, &out, timeout_ms] { protocol_.readRegister(address, id, out, comms_, timeout_ms); });
  }

  std::future<std::string> writeInBackground(std::uint16_t address, std::uint16_t id, const Bytes& data,
                                             std::int64_t timeout_ms = kAnswered) {
    return inBackground(
        [this, address, id, data, timeout_ms] { protocol_.writeRegister(address, id, data, comms_, timeout_ms); });
  }

  // What the host wrote, as the sensor receives it.
  void expectReceived(const Bytes& request) { EXPECT_EQ(pty_.receive(request.size(), 3000), request); }

  bool waitForSamples(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return decoded_.wait_for(lock, 5s, [&] { return samples_.size() >= n; });
  }

  std::vector<std::vector<double>> samples() {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
  }

  // Sends a sample frame and waits until it is decoded: everything sent
  // before it has then been handled by the acquisition thread.
  void sync() {
    const std::size_t before = samples().size();
    pty_.send(binaryFrame({60000}));
    ASSERT_TRUE(waitForSamples(before + 1));
  }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolBinaryConfigurable protocol_;

  std::mutex mutex_;
  std::condition_variable decoded_;
  std::vector<std::vector<double>> samples_;
  std::exception_ptr acquisition_error_;
  std::atomic<bool> stop_{false};
  std::thread acquisition_;
};

TEST_F(ConfigurableProtocol, ReadRequestAndReplyByteForByte) {
  Bytes out{0x55};
  auto read = readInBackground(32, 1, out);
  expectReceived({0xFB, 0xFF, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00});
  pty_.send(Bytes{0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x0A, 0xFF});
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(out, (Bytes{0x0A, 0xFF}));
}

TEST_F(ConfigurableProtocol, AddressAndIdGoOutLittleEndian) {
  Bytes out;
  auto read = readInBackground(0xA1B2, 0xC3D4, out);
  expectReceived({0xFB, 0xFF, 0xB2, 0xA1, 0xD4, 0xC3, 0x00, 0x00});
  pty_.send(readReply({1}));
  EXPECT_EQ(read.get(), "");
}

// The reply's two words are not compared with anything, FF FF included, and
// its data bytes are data whatever they look like.
TEST_F(ConfigurableProtocol, ReplyWordsAndDataAreNotSpecial) {
  Bytes out;
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(
      join({{0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x00, 0xFF, 0xFF, 0xFA, 0xFF, 0xFB, 0xFF}, binaryFrame({5})}));
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 0xFA, 0xFF, 0xFB, 0xFF}));
  ASSERT_TRUE(waitForSamples(1));
  EXPECT_EQ(samples()[0], (std::vector<double>{5.0}));
}

TEST_F(ConfigurableProtocol, AZeroLengthReplyReturnsNoBytes) {
  Bytes out{1, 2, 3};
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(readReply({}));
  EXPECT_EQ(read.get(), "");
  EXPECT_TRUE(out.empty());
}

TEST_F(ConfigurableProtocol, WriteRequestAndStatusByteForByte) {
  auto write = writeInBackground(32, 1, {0x0A, 0xFF});
  expectReceived({0xFC, 0xFF, 0x20, 0x00, 0x01, 0x00, 0x02, 0x00, 0x0A, 0xFF});
  pty_.send(Bytes{0xFA, 0xFF, 0x01, 0x00});
  EXPECT_EQ(write.get(), "");
}

TEST_F(ConfigurableProtocol, AWriteOfNoBytesSendsTheHeaderAlone) {
  auto write = writeInBackground(32, 1, {});
  expectReceived({0xFC, 0xFF, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00});
  pty_.send(statusFrame(1));
  EXPECT_EQ(write.get(), "");
}

TEST_F(ConfigurableProtocol, ALongWriteArrivesWhole) {
  Bytes data(300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  auto write = writeInBackground(7, 9, data);
  expectReceived(writeRequest(7, 9, data));
  pty_.send(statusFrame(1));
  EXPECT_EQ(write.get(), "");
}

// The length word counts 65535 bytes at most: a longer write would wrap, and
// the device would run the rest of the data as requests of its own.
TEST_F(ConfigurableProtocol, AWriteLongerThanTheLengthWordCountsIsRefusedUnsent) {
  EXPECT_EQ(errorOf([&] { protocol_.writeRegister(32, 1, Bytes(65536, 0xFB), comms_, kAnswered); }),
            "Register data too long: 65536 bytes, at most 65535");
  EXPECT_TRUE(pty_.receive(1, 300).empty());
  auto write = writeInBackground(32, 1, {1});
  expectReceived(writeRequest(32, 1, {1}));
  pty_.send(statusFrame(1));
  EXPECT_EQ(write.get(), "");
}

TEST_F(ConfigurableProtocol, ADeviceCodeFailsAReadAndLeavesOutAsItWas) {
  Bytes out{0x55};
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(Bytes{0xFA, 0xFF, 0x05, 0x00});
  EXPECT_EQ(read.get(), "Register read error: 5");
  EXPECT_EQ(out, Bytes{0x55});
}

TEST_F(ConfigurableProtocol, ADeviceCodeFailsAWrite) {
  auto write = writeInBackground(32, 1, {0x0A, 0xFF});
  expectReceived(writeRequest(32, 1, {0x0A, 0xFF}));
  pty_.send(statusFrame(5));
  EXPECT_EQ(write.get(), "Register write error: 5");
}

struct CutCase {
  const char* name;
  Bytes bytes;
  std::uint16_t status;
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutRegisterFrames : public ConfigurableProtocol, public ::testing::WithParamInterface<CutCase> {};

// A frame cut off in any field ends the pending read with the status that
// names the field, and the line works again afterwards.
TEST_P(CutRegisterFrames, EndThePendingRead) {
  Bytes out{0x55};
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(GetParam().bytes);
  EXPECT_EQ(read.get(), "Register read error: " + std::to_string(GetParam().status));
  EXPECT_EQ(out, Bytes{0x55});

  sync();
  auto again = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(readReply({7}));
  EXPECT_EQ(again.get(), "");
  EXPECT_EQ(out, Bytes{7});
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CutRegisterFrames,
    ::testing::Values(CutCase{"BeforeReplyWord1", {0xFB, 0xFF}, 408},
                      CutCase{"InsideReplyWord1", {0xFB, 0xFF, 0x00}, 408},
                      CutCase{"BeforeReplyWord2", {0xFB, 0xFF, 0x00, 0x00}, 407},
                      CutCase{"InsideReplyWord2", {0xFB, 0xFF, 0x00, 0x00, 0x00}, 407},
                      CutCase{"BeforeLength", {0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00}, 406},
                      CutCase{"InsideLength", {0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x02}, 406},
                      CutCase{"BeforeData", {0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}, 405},
                      CutCase{"InsideData", {0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x0A}, 405},
                      CutCase{"BeforeStatusCode", {0xFA, 0xFF}, 409},
                      CutCase{"InsideStatusCode", {0xFA, 0xFF, 0x01}, 409}),
    [](const ::testing::TestParamInfo<CutCase>& param_info) { return param_info.param.name; });

TEST_F(ConfigurableProtocol, AnUnansweredReadTimesOutAndEmptiesOut) {
  Bytes out{1, 2};
  const auto start = Clock::now();
  EXPECT_EQ(errorOf([&] { protocol_.readRegister(32, 1, out, comms_, 250); }), "Register read timeout");
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 250ms);
  EXPECT_LT(waited, 3s);
  EXPECT_TRUE(out.empty());
  expectReceived(readRequest(32, 1));
}

TEST_F(ConfigurableProtocol, AnUnansweredWriteTimesOut) {
  const auto start = Clock::now();
  EXPECT_EQ(errorOf([&] { protocol_.writeRegister(32, 1, {1}, comms_, 250); }), "Register write timeout");
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, 250ms);
  EXPECT_LT(waited, 3s);
  expectReceived(writeRequest(32, 1, {1}));
}

TEST_F(ConfigurableProtocol, ATimeoutBelowOneMillisecondSendsNothing) {
  for (const std::int64_t timeout : {std::int64_t{0}, std::int64_t{-1}, std::numeric_limits<std::int64_t>::min()}) {
    Bytes out{1};
    EXPECT_EQ(errorOf([&] { protocol_.readRegister(32, 1, out, comms_, timeout); }),
              "Timeout must be greater than 0 ms");
    EXPECT_EQ(errorOf([&] { protocol_.writeRegister(32, 1, {1}, comms_, timeout); }),
              "Timeout must be greater than 0 ms");
    EXPECT_EQ(out, Bytes{1});
  }
  EXPECT_TRUE(pty_.receive(1, 300).empty());
}

TEST_F(ConfigurableProtocol, TheLongestTimeoutStillWaitsForTheAnswer) {
  constexpr std::int64_t kForever = std::numeric_limits<std::int64_t>::max();
  Bytes out;
  auto read = readInBackground(32, 1, out, kForever);
  expectReceived(readRequest(32, 1));
  EXPECT_TRUE(stillWaiting(read));
  pty_.send(readReply({3}));
  EXPECT_EQ(read.get(), "");

  auto write = writeInBackground(32, 1, {}, kForever);
  expectReceived(writeRequest(32, 1, {}));
  EXPECT_TRUE(stillWaiting(write));
  pty_.send(statusFrame(1));
  EXPECT_EQ(write.get(), "");
}

// Replies carry nothing that ties them to a request: one that comes after its
// request gave up must not answer the next request.
TEST_F(ConfigurableProtocol, ALateReplyDoesNotAnswerTheNextRead) {
  Bytes out;
  EXPECT_EQ(errorOf([&] { protocol_.readRegister(32, 1, out, comms_, 150); }), "Register read timeout");
  expectReceived(readRequest(32, 1));
  pty_.send(readReply({0x11}));
  sync();

  auto next = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  EXPECT_TRUE(stillWaiting(next));
  pty_.send(readReply({0x22}));
  EXPECT_EQ(next.get(), "");
  EXPECT_EQ(out, Bytes{0x22});
}

TEST_F(ConfigurableProtocol, ALateStatusDoesNotAnswerTheNextWrite) {
  EXPECT_EQ(errorOf([&] { protocol_.writeRegister(32, 1, {1}, comms_, 150); }), "Register write timeout");
  expectReceived(writeRequest(32, 1, {1}));
  pty_.send(statusFrame(5));
  sync();

  auto next = writeInBackground(32, 1, {2});
  expectReceived(writeRequest(32, 1, {2}));
  EXPECT_TRUE(stillWaiting(next));
  pty_.send(statusFrame(1));
  EXPECT_EQ(next.get(), "");
}

// A status frame while no write waits leaves the write side completed; the
// next write must still wait for its own answer.
TEST_F(ConfigurableProtocol, AStatusThatEndedAReadDoesNotAnswerALaterWrite) {
  Bytes out;
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(statusFrame(9));
  EXPECT_EQ(read.get(), "Register read error: 9");

  auto write = writeInBackground(32, 1, {2});
  expectReceived(writeRequest(32, 1, {2}));
  EXPECT_TRUE(stillWaiting(write));
  pty_.send(statusFrame(1));
  EXPECT_EQ(write.get(), "");
}

TEST_F(ConfigurableProtocol, SamplesAreDecodedWhileARequestWaits) {
  Bytes out;
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(join({binaryFrame({1, 2}), binaryFrame({3})}));
  ASSERT_TRUE(waitForSamples(2));
  EXPECT_TRUE(stillWaiting(read, 0ms));
  pty_.send(readReply({9}));
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(out, Bytes{9});
  EXPECT_EQ(samples(), (std::vector<std::vector<double>>{{1.0, 2.0}, {3.0}}));
}

TEST_F(ConfigurableProtocol, RegisterFramesInterleavedWithSamples) {
  Bytes out;
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(join({binaryFrame({1}), readReply({0xAB, 0xCD}), binaryFrame({2, 3})}));
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(out, (Bytes{0xAB, 0xCD}));
  auto write = writeInBackground(32, 2, {8});
  expectReceived(writeRequest(32, 2, {8}));
  pty_.send(join({statusFrame(1), binaryFrame(std::vector<std::uint16_t>(1023, 0xFFFA)), binaryFrame({4})}));
  EXPECT_EQ(write.get(), "");
  ASSERT_TRUE(waitForSamples(4));
  const auto decoded = samples();
  EXPECT_EQ(decoded[0], (std::vector<double>{1.0}));
  EXPECT_EQ(decoded[1], (std::vector<double>{2.0, 3.0}));
  EXPECT_EQ(decoded[2], std::vector<double>(1023, 65530.0));
  EXPECT_EQ(decoded[3], (std::vector<double>{4.0}));
}

// A reply whose data trickle in, never silent for a read time-out, may hold
// up the stream until the waiting read's deadline and no longer: it is cut
// there, and the frame behind it is found.
TEST_F(ConfigurableProtocol, AReplyStillArrivingAtTheRequestsDeadlineIsCut) {
  Bytes out{0x55};
  auto read = readInBackground(32, 1, out, 300);
  expectReceived(readRequest(32, 1));
  pty_.send(Bytes{0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00});
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(60ms);
    pty_.send(Bytes{0x11});
  }
  pty_.send(join({binaryFrame({1, 2}), binaryFrame({3})}));
  const std::string outcome = read.get();
  EXPECT_TRUE(outcome == "Register read error: 405" || outcome == "Register read timeout") << outcome;
  EXPECT_EQ(out, outcome == "Register read timeout" ? Bytes{} : Bytes{0x55});
  ASSERT_TRUE(waitForSamples(2));
  EXPECT_EQ(samples(), (std::vector<std::vector<double>>{{1.0, 2.0}, {3.0}}));
}

// Joined at an odd offset, the reader slides onto the frames, and register
// traffic works once it is in step.
TEST_F(ConfigurableProtocol, JoiningAStreamAtAnOddOffsetFindsTheFrames) {
  const int frames = 60;
  const std::vector<std::uint16_t> values(16, 0xFF00);
  Bytes stream{0x00};
  for (int i = 0; i < frames; ++i) stream = join({stream, binaryFrame(values)});
  pty_.send(stream);
  ASSERT_TRUE(waitForSamples(frames - 2));
  const std::vector<double> expected(values.begin(), values.end());
  int good = 0;
  for (const auto& sample : samples()) good += sample == expected ? 1 : 0;
  EXPECT_GE(good, frames - 2);

  Bytes out;
  auto read = readInBackground(32, 1, out);
  expectReceived(readRequest(32, 1));
  pty_.send(readReply({6}));
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(out, Bytes{6});
}

TEST_F(ConfigurableProtocol, UnknownFirstWordsAreDropped) {
  pty_.send(join({{0x12, 0x34}, {0xFC, 0xFF, 0x12, 0x34}, binaryFrame({7})}));
  ASSERT_TRUE(waitForSamples(1));
  EXPECT_EQ(samples()[0], (std::vector<double>{7.0}));
}

// readSample itself, without an acquisition thread.
class ConfigurableProtocolAlone : public ::testing::Test {
 protected:
  void SetUp() override { comms_.port_ = feltwise_test::openCommsPort(pty_.path()); }

  bool next() { return protocol_.readSample(sample_, comms_); }

  PtyPair pty_;
  PortHolder comms_;
  ProtocolBinaryConfigurable protocol_;
  std::vector<double> sample_{-1.0};
};

// With no request behind them, a status frame and a read reply are bytes
// between frames: they give no sample and leave the next frame whole.
TEST_F(ConfigurableProtocolAlone, OnlySampleFramesAreSamples) {
  pty_.send(join({statusFrame(1), readReply({1, 2}), binaryFrame({4660, 22136})}));
  for (int turn = 0; !next(); ++turn) {
    ASSERT_LT(turn, 20);
    EXPECT_EQ(sample_, (std::vector<double>{-1.0}));
  }
  EXPECT_EQ(sample_, (std::vector<double>{4660.0, 22136.0}));
  pty_.send(Bytes{0xFF, 0xFF, 0x00, 0x04});
  EXPECT_TRUE(next());
  EXPECT_TRUE(sample_.empty());
}

TEST_F(ConfigurableProtocolAlone, APortThatFailsToWriteRaisesBeforeAnyWait) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  pty_.unplug();
  Bytes out;
  const auto start = Clock::now();
  EXPECT_THROW(protocol_.readRegister(32, 1, out, comms_, 10000), serial::IOException);
  EXPECT_THROW(protocol_.writeRegister(32, 1, {1}, comms_, 10000), serial::IOException);
  EXPECT_LT(Clock::now() - start, 5s);
}

}  // namespace
