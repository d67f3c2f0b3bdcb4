// Faults of the line and of the device, played by the test on the master side
// of a pseudo-terminal while the comms object runs as it would on a USB
// adapter: unplugs mid-frame, mid-line and while a register request waits;
// garbage, truncated frames and overlong lines; late, duplicate and malformed
// replies; a sensor that stops and resumes.
//
// What must hold throughout: no crash and no hang; a lost device drops the
// port (is_connected false), a waiting request fails within its time-out, and
// a new connect works; the stream resynchronises after every fault, and a
// well-formed frame that follows a fault arrives exactly as sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "feltwise_comm/feltwise_comms.h"
#include "support/played_sensor.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_test::binaryFrame;
using feltwise_test::PlayedSensor;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longer than a read time-out (100 ms) with room: every read in progress has
// given up by the end of it.
constexpr auto kSilence = 250ms;

bool waitUntilDisconnected(const FeltwiseComms& comms, std::chrono::milliseconds limit = 2000ms) {
  const auto deadline = Clock::now() + limit;
  while (comms.is_connected() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  return !comms.is_connected();
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<double> valuesOf(const std::vector<std::uint16_t>& values) {
  return std::vector<double>(values.begin(), values.end());
}

// Answers the next request of `request_size` bytes with `reply`, from a
// thread of its own: the register call blocks the test's thread.
class Responder {
 public:
  Responder(PtyPair& pty, std::size_t request_size, Bytes reply)
      : thread_([&pty, request_size, reply = std::move(reply), this] {
          request_ = pty.receive(request_size, 2000);
          if (!reply.empty()) pty.send(reply);
        }) {}
  ~Responder() {
    if (thread_.joinable()) thread_.join();
  }
  Bytes request() {
    thread_.join();
    return request_;
  }

 private:
  Bytes request_;
  std::thread thread_;
};

Bytes binaryReply(const Bytes& data) {
  Bytes reply{0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(data.size()), 0x00};
  reply.insert(reply.end(), data.begin(), data.end());
  return reply;
}

const Bytes kBinaryAck{0xFA, 0xFF, 0x01, 0x00};

// --- Unplugged -------------------------------------------------------------

struct Unplug {
  const char* name;
  const char* version;
  Bytes good;  // a whole sample first
  std::vector<double> good_values;
  Bytes cut;  // then part of one, and the plug is pulled
};

class UnplugMidSample : public ::testing::TestWithParam<Unplug> {};

TEST_P(UnplugMidSample, DropsThePortDeliversNothingPartialAndReconnects) {
  FeltwiseComms comms;
  comms.init(GetParam().version);
  std::vector<double> sample;
  {
    PtyPair pty;
    comms.connect(pty.path());
    pty.send(GetParam().good);
    comms.read_raw(sample, 1000);
    ASSERT_EQ(sample, GetParam().good_values);
    pty.send(GetParam().cut);
    pty.unplug();
    ASSERT_TRUE(waitUntilDisconnected(comms));
  }
  comms.read_raw(sample, 300);
  EXPECT_TRUE(sample.empty()) << "a partial sample was delivered";
  std::vector<std::uint8_t> data;
  EXPECT_THROW(comms.read_register(1, 2, data, 100), std::runtime_error);

  PtyPair replacement;
  comms.connect(replacement.path());
  EXPECT_TRUE(comms.is_connected());
  replacement.send(GetParam().good);
  comms.read_raw(sample, 1000);
  EXPECT_EQ(sample, GetParam().good_values);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnplugMidSample,
    ::testing::Values(
        Unplug{"MidFrame", "1", binaryFrame({1, 2, 3}), {1, 2, 3}, {0xFF, 0xFF, 0x03, 0x00, 0x04, 0x00, 0x05}},
        Unplug{"MidCount", "1", binaryFrame({1, 2, 3}), {1, 2, 3}, {0xFF, 0xFF, 0x03}},
        Unplug{"MidFrameVersion4", "4", binaryFrame({7}), {7}, {0xFF, 0xFF, 0x02, 0x00, 0x09}},
        Unplug{"MidLine", "0", bytesOf("1,2,3\n"), {1, 2, 3}, bytesOf("4,5,")},
        Unplug{"MidLineVersion3", "3", bytesOf("1,2,3\n"), {1, 2, 3}, bytesOf("4,5,")}),
    [](const ::testing::TestParamInfo<Unplug>& param_info) { return std::string(param_info.param.name); });

struct WaitingRequest {
  const char* name;
  const char* version;
  bool write;
  std::size_t request_size;
  Bytes reply_on_the_new_port;
};

class UnplugWhileARequestWaits : public ::testing::TestWithParam<WaitingRequest> {};

TEST_P(UnplugWhileARequestWaits, TheRequestFailsWithinItsTimeoutAndANewConnectWorks) {
  const WaitingRequest& c = GetParam();
  const char* timeout_message = c.write ? "Register write timeout" : "Register read timeout";
  FeltwiseComms comms;
  comms.init(c.version);
  {
    PtyPair pty;
    comms.connect(pty.path());
    std::thread plug_puller([&] {
      pty.receive(c.request_size, 2000);
      pty.unplug();
    });
    const auto start = Clock::now();
    try {
      std::vector<std::uint8_t> data{0x0A, 0xFF};
      if (c.write) {
        comms.write_register(32, 1, data, 800);
      } else {
        comms.read_register(32, 1, data, 800);
      }
      ADD_FAILURE() << "the request succeeded";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), timeout_message);
    }
    const auto took = Clock::now() - start;
    plug_puller.join();
    EXPECT_LT(took, 800ms + 400ms) << "the request outlived its time-out";
    EXPECT_TRUE(waitUntilDisconnected(comms));
  }
  std::vector<std::uint8_t> data;
  try {
    comms.read_register(32, 1, data, 100);
    ADD_FAILURE() << "a request went out on a dropped port";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Serial port is not open");
  }

  PtyPair replacement;
  comms.connect(replacement.path());
  Responder responder(replacement, c.request_size, c.reply_on_the_new_port);
  if (c.write) {
    EXPECT_NO_THROW(comms.write_register(32, 1, {0x0A, 0xFF}, 1000));
  } else {
    comms.read_register(32, 1, data, 1000);
    EXPECT_EQ(data, (Bytes{0x0A, 0xFF}));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, UnplugWhileARequestWaits,
                         ::testing::Values(WaitingRequest{"BinaryRead", "4", false, 8, binaryReply({0x0A, 0xFF})},
                                           WaitingRequest{"BinaryWrite", "4", true, 10, kBinaryAck},
                                           WaitingRequest{"TextRead", "3", false, 8, bytesOf("R32,1,2,0aff\n")},
                                           WaitingRequest{"TextWrite", "3", true, 13, bytesOf("OK\n")}),
                         [](const ::testing::TestParamInfo<WaitingRequest>& param_info) {
                           return std::string(param_info.param.name);
                         });

// --- Garbage and truncation -------------------------------------------------

// Never an "E": version 3 would echo a garbage line that starts with one as
// a device error, into the test's output.
Bytes randomBytes(std::mt19937& random, std::size_t size, bool allow_ff) {
  std::uniform_int_distribution<int> byte(0, allow_ff ? 255 : 254);
  Bytes bytes(size);
  for (auto& b : bytes) {
    do {
      b = static_cast<std::uint8_t>(byte(random));
    } while (b == 'E');
  }
  return bytes;
}

TEST(Garbage, BurstsWithoutSyncBytesNeverCostAFrame) {
  // Without 0xFF in it, garbage cannot look like a sync word: every frame
  // after a burst, whatever its length, must arrive as sent.
  PtyPair pty;
  FeltwiseComms comms;
  comms.init("1");
  comms.connect(pty.path());
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> length(1, 300);
  std::vector<double> sample;
  for (std::uint16_t round = 0; round < 200; ++round) {
    Bytes burst = randomBytes(random, length(random), false);
    const std::vector<std::uint16_t> values{round, static_cast<std::uint16_t>(round * 3), 0xFFFF};
    const Bytes frame = binaryFrame(values);
    burst.insert(burst.end(), frame.begin(), frame.end());
    pty.send(burst);
    comms.read_raw(sample, 1000);
    ASSERT_EQ(sample, valuesOf(values)) << "round " << round;
  }
  EXPECT_TRUE(comms.is_connected());
}

struct GarbageCase {
  const char* name;
  const char* version;
  Bytes (*good)(int round);
  std::vector<double> (*expected)(int round);
};

class GarbageThenSilence : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageThenSilence, TheNextSampleArrivesAsSent) {
  // Garbage of any bytes may hold something that reads as a sample (nothing
  // on the line says otherwise), but after a silence the reader starts afresh.
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> length(1, 3000);
  std::vector<double> sample;
  for (int round = 0; round < 12; ++round) {
    pty.send(randomBytes(random, length(random), true));
    std::this_thread::sleep_for(kSilence);
    comms.read_raw(sample, 1);  // whatever the garbage made of itself
    pty.send(GetParam().good(round));
    comms.read_raw(sample, 1000);
    ASSERT_EQ(sample, GetParam().expected(round)) << "round " << round;
  }
  EXPECT_TRUE(comms.is_connected());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GarbageThenSilence,
    ::testing::Values(GarbageCase{"Binary", "1",
                                  [](int r) {
                                    return binaryFrame({static_cast<std::uint16_t>(r), 9});
                                  },
                                  [](int r) {
                                    return std::vector<double>{static_cast<double>(r), 9};
                                  }},
                      GarbageCase{"BinaryWithRegisters", "4",
                                  [](int r) { return binaryFrame({static_cast<std::uint16_t>(r)}); },
                                  [](int r) { return std::vector<double>{static_cast<double>(r)}; }},
                      GarbageCase{"Text", "0", [](int r) { return bytesOf(std::to_string(r) + ",2.5\n"); },
                                  [](int r) {
                                    return std::vector<double>{static_cast<double>(r), 2.5};
                                  }},
                      GarbageCase{"TextWithRegisters", "3", [](int r) { return bytesOf(std::to_string(r) + ",2.5\n"); },
                                  [](int r) {
                                    return std::vector<double>{static_cast<double>(r), 2.5};
                                  }}),
    [](const ::testing::TestParamInfo<GarbageCase>& param_info) { return std::string(param_info.param.name); });

struct Truncation {
  const char* name;
  const char* version;
  Bytes frame;
  std::vector<double> values;
};

class TruncatedFrames : public ::testing::TestWithParam<Truncation> {};

TEST_P(TruncatedFrames, AreDroppedAtEveryCutAndTheNextFrameArrives) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  const Bytes& frame = GetParam().frame;
  std::vector<double> sample;
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    pty.send(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::this_thread::sleep_for(kSilence);
    comms.read_raw(sample, 1);
    EXPECT_TRUE(sample.empty()) << "a frame cut after " << cut << " bytes was delivered";
    pty.send(frame);
    comms.read_raw(sample, 1000);
    ASSERT_EQ(sample, GetParam().values) << "after a frame cut after " << cut << " bytes";
  }
}

// A version-2 frame with count 3: one block of ciphertext. What the values
// decipher to is the protocol tests' business; here only their arrival matters.
Bytes encipheredFrame() {
  Bytes frame{0xFF, 0xFF, 0x03, 0x00};
  const Bytes block{0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30, 0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
  frame.insert(frame.end(), block.begin(), block.end());
  return frame;
}

INSTANTIATE_TEST_SUITE_P(Faults, TruncatedFrames,
                         ::testing::Values(Truncation{"Binary", "1", binaryFrame({1, 0xFFFF, 3, 4}), {1, 65535, 3, 4}},
                                           Truncation{"BinaryWithRegisters", "4", binaryFrame({5, 6}), {5, 6}}),
                         [](const ::testing::TestParamInfo<Truncation>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(TruncatedFrames, EncipheredFrameCutAnywhereIsDroppedAndTheNextArrives) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init("2");
  comms.connect(pty.path());
  const Bytes frame = encipheredFrame();
  std::vector<double> whole;
  pty.send(frame);
  comms.read_raw(whole, 1000);
  ASSERT_EQ(whole.size(), 3u);
  std::vector<double> sample;
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    pty.send(Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::this_thread::sleep_for(kSilence);
    comms.read_raw(sample, 1);
    EXPECT_TRUE(sample.empty()) << "cut after " << cut;
    pty.send(frame);
    comms.read_raw(sample, 1000);
    ASSERT_EQ(sample, whole) << "cut after " << cut;
  }
}

TEST(OverlongLines, ArriveInPiecesAndTheNextLineIsWhole) {
  for (const int version : feltwise_test::protocolVersions(feltwise_comm::Wire::text)) {
    SCOPED_TRACE(version);
    PtyPair pty;
    FeltwiseComms comms;
    comms.init(std::to_string(version));
    comms.connect(pty.path());
    std::string overlong;
    while (overlong.size() < 200000) overlong += "1,";
    overlong += "1\n";
    pty.send(overlong + std::string(150000, 'x') + "\n7,8\n");
    std::vector<double> sample;
    bool seen = false;
    const auto deadline = Clock::now() + 5s;
    while (!seen && Clock::now() < deadline) {
      comms.read_raw(sample, 1000);
      if (sample == std::vector<double>{7, 8}) {
        seen = true;
      } else {
        for (double value : sample) ASSERT_EQ(value, 1.0);
        EXPECT_LE(sample.size(), 65536u / 2 + 1);
      }
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(comms.is_connected());
  }
}

// --- Replies out of turn ---------------------------------------------------

struct ReplyWire {
  const char* name;
  const char* version;
  std::size_t read_request_size;
  Bytes (*reply)(std::uint8_t value);
};

class RepliesOutOfTurn : public ::testing::TestWithParam<ReplyWire> {};

TEST_P(RepliesOutOfTurn, ALateReplyNeverAnswersTheNextRequest) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  std::vector<std::uint8_t> data;
  for (std::uint8_t round = 1; round <= 5; ++round) {
    try {
      comms.read_register(32, 1, data, 100);
      ADD_FAILURE() << "answered by nothing";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Register read timeout");
    }
    pty.receive(GetParam().read_request_size);
    pty.send(GetParam().reply(0xEE));
    std::this_thread::sleep_for(kSilence);
    Responder responder(pty, GetParam().read_request_size, GetParam().reply(round));
    comms.read_register(32, 1, data, 1000);
    EXPECT_EQ(data, Bytes{round});
  }
}

TEST_P(RepliesOutOfTurn, ADuplicateReplyNeverAnswersTheNextRequest) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  std::vector<std::uint8_t> data;
  for (std::uint8_t round = 1; round <= 5; ++round) {
    Bytes twice = GetParam().reply(round);
    const Bytes again = GetParam().reply(round);
    twice.insert(twice.end(), again.begin(), again.end());
    {
      Responder responder(pty, GetParam().read_request_size, twice);
      comms.read_register(32, 1, data, 1000);
      EXPECT_EQ(data, Bytes{round});
    }
    std::this_thread::sleep_for(kSilence);
    Responder responder(pty, GetParam().read_request_size, GetParam().reply(static_cast<std::uint8_t>(round + 100)));
    comms.read_register(32, 1, data, 1000);
    EXPECT_EQ(data, Bytes{static_cast<std::uint8_t>(round + 100)});
  }
}

TEST_P(RepliesOutOfTurn, SamplesAroundRepliesKeepFlowing) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  const bool binary = std::string(GetParam().version) == "4";
  std::vector<double> sample;
  std::vector<std::uint8_t> data;
  for (std::uint8_t round = 1; round <= 20; ++round) {
    Bytes answer = binary ? binaryFrame({round}) : bytesOf(std::to_string(round) + "\n");
    const Bytes reply = GetParam().reply(round);
    answer.insert(answer.end(), reply.begin(), reply.end());
    Responder responder(pty, GetParam().read_request_size, answer);
    comms.read_register(32, 1, data, 1000);
    EXPECT_EQ(data, Bytes{round});
    comms.read_raw(sample, 1000);
    EXPECT_EQ(sample, std::vector<double>{static_cast<double>(round)});
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, RepliesOutOfTurn,
                         ::testing::Values(ReplyWire{"Binary", "4", 8, [](std::uint8_t v) { return binaryReply({v}); }},
                                           ReplyWire{"Text", "3", 8,
                                                     [](std::uint8_t v) {
                                                       char hex[3];
                                                       std::snprintf(hex, sizeof hex, "%02x", v);
                                                       return bytesOf(std::string("R32,1,1,") + hex + "\n");
                                                     }}),
                         [](const ::testing::TestParamInfo<ReplyWire>& param_info) {
                           return std::string(param_info.param.name);
                         });

struct Malformed {
  const char* name;
  const char* version;
  Bytes reply;
  const char* message;
};

class MalformedReplies : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedReplies, EndTheRequestWithAnErrorAndTheNextOneWorks) {
  PtyPair pty;
  FeltwiseComms comms;
  comms.init(GetParam().version);
  comms.connect(pty.path());
  const bool binary = std::string(GetParam().version) == "4";
  std::vector<std::uint8_t> data{0x42};
  {
    Responder responder(pty, 8, GetParam().reply);
    try {
      comms.read_register(32, 1, data, 1000);
      ADD_FAILURE() << "a malformed reply succeeded";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), GetParam().message);
    }
  }
  std::this_thread::sleep_for(kSilence);
  Responder responder(pty, 8, binary ? binaryReply({0x11}) : bytesOf("R32,1,1,11\n"));
  comms.read_register(32, 1, data, 1000);
  EXPECT_EQ(data, Bytes{0x11});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MalformedReplies,
    ::testing::Values(Malformed{"BinaryDataCut", "4", {0xFB, 0xFF, 1, 0, 2, 0, 4, 0, 1}, "Register read error: 405"},
                      Malformed{"BinaryLengthCut", "4", {0xFB, 0xFF, 1, 0, 2, 0, 4}, "Register read error: 406"},
                      Malformed{"BinaryWord2Cut", "4", {0xFB, 0xFF, 1, 0}, "Register read error: 407"},
                      Malformed{"BinaryWord1Cut", "4", {0xFB, 0xFF}, "Register read error: 408"},
                      Malformed{"BinaryStatusCut", "4", {0xFA, 0xFF}, "Register read error: 409"},
                      Malformed{"BinaryDeviceError", "4", {0xFA, 0xFF, 0x05, 0x00}, "Register read error: 5"},
                      Malformed{"TextThreeFields", "3", bytesOf("R32,1,2\n"), "Register read error: 406"},
                      Malformed{"TextNotANumber", "3", bytesOf("R32,x,1,00\n"), "Register read error: 404"},
                      Malformed{"TextWrongLength", "3", bytesOf("R32,1,3,0aff\n"), "Register read error: 405"},
                      Malformed{"TextDeviceError", "3", bytesOf("E 12 locked\n"), "Register read error: 0"},
                      Malformed{"TextCutLine", "3", bytesOf("R32,1,2,0a"), "Register read error: 405"}),
    [](const ::testing::TestParamInfo<Malformed>& param_info) { return std::string(param_info.param.name); });

// --- A sensor that stops and resumes ----------------------------------------

class StopAndResume : public ::testing::TestWithParam<PlayedSensor::Wire> {};

TEST_P(StopAndResume, ReadsTimeOutWhileItIsSilentAndWholeSamplesFollow) {
  const PlayedSensor::Wire wire = GetParam();
  PtyPair pty;
  PlayedSensor sensor(pty, {wire, 4, 2000us, false});
  FeltwiseComms comms;
  comms.init(wire == PlayedSensor::Wire::kBinary ? "1" : "0");
  comms.connect(pty.path());
  std::vector<double> sample;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      comms.read_raw(sample, 1000);
      // A text line cut by the flush when the port opened is the one exception.
      if (!(round == 0 && i == 0)) {
        ASSERT_TRUE(feltwise_test::isCounterSample(sample, 4, wire)) << round << "/" << i;
      }
    }
    sensor.setStreaming(false);
    std::this_thread::sleep_for(50ms);
    comms.read_raw(sample, 1);  // one that may have been on its way
    const auto start = Clock::now();
    comms.read_raw(sample, 300);
    EXPECT_TRUE(sample.empty());
    EXPECT_GE(Clock::now() - start, 290ms);
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(comms.is_connected()) << "silence is no fault";
    sensor.setStreaming(true);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, StopAndResume,
                         ::testing::Values(PlayedSensor::Wire::kBinary, PlayedSensor::Wire::kText),
                         [](const ::testing::TestParamInfo<PlayedSensor::Wire>& param_info) {
                           return std::string(param_info.param == PlayedSensor::Wire::kBinary ? "Binary" : "Text");
                         });

}  // namespace
