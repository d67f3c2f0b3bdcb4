// Which request a register reply completes, on every version that carries
// registers. The wire names no request, so only the order of the line ties a
// reply to its request: these tests play a sensor that answers late, twice,
// with the other kind of reply, or not at all, and check that no request
// ever succeeds with what another request was sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comms/component_factory.h"
#include "feltwise_comm/wait_interrupt.h"
#include "protocols/protocol.h"
#include "protocols/register_completion.h"
#include "support/console_capture.h"
#include "support/protocol_versions.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using feltwise_comm::PortHolder;
using feltwise_comm::Protocol;
using feltwise_comm::RegisterCompletion;
using feltwise_test::PtyPair;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kAnswered = 5000;  // never reached by a request the test answers
constexpr std::int64_t kGivesUp = 100;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes word(std::uint16_t w) { return {static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>(w >> 8)}; }
Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
std::string hex(const Bytes& data) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : data) text += {kDigits[b >> 4], kDigits[b & 15]};
  return text;
}

// The lines of a register protocol of one wire, as the sensor writes and
// reads them; `version` is filled in from the protocol table.
struct RegisterWire {
  const char* name;
  int version;
  Bytes (*read_request)(std::uint16_t address);
  Bytes (*write_request)(std::uint16_t address, const Bytes& data);
  Bytes (*data_reply)(const Bytes& data);
  Bytes acknowledgement;
  Bytes error;
  const char* error_status;
  Bytes bad_data_reply;  // malformed or cut
  const char* bad_data_status;
  Bytes (*sample)(std::uint16_t value);
  std::size_t short_write_bytes;  // more than a pty takes while nobody reads it
};

void PrintTo(const RegisterWire& wire, std::ostream* os) { *os << wire.name; }

const RegisterWire kText{
    "Text",
    -1,
    [](std::uint16_t address) { return bytesOf("r" + std::to_string(address) + ",1,0\n"); },
    [](std::uint16_t address, const Bytes& data) {
      return bytesOf("w" + std::to_string(address) + ",1," + std::to_string(data.size()) + "," + hex(data) + "\n");
    },
    [](const Bytes& data) { return bytesOf("R32,1," + std::to_string(data.size()) + "," + hex(data) + "\n"); },
    bytesOf("OK\n"),
    bytesOf("E7 locked\n"),
    "0",
    bytesOf("R32,1,2\n"),
    "406",
    [](std::uint16_t value) { return bytesOf(std::to_string(value) + "\n"); },
    30000,
};

const RegisterWire kBinary{
    "Binary",
    -1,
    [](std::uint16_t address) {
      return join({{0xFB, 0xFF}, word(address), word(1), {0x00, 0x00}});
    },
    [](std::uint16_t address, const Bytes& data) {
      return join({{0xFC, 0xFF}, word(address), word(1), word(static_cast<std::uint16_t>(data.size())), data});
    },
    [](const Bytes& data) {
      return join({{0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00}, word(static_cast<std::uint16_t>(data.size())), data});
    },
    {0xFA, 0xFF, 0x01, 0x00},
    {0xFA, 0xFF, 0x05, 0x00},
    "5",
    // Cut inside its data: seen as cut once the read time-out has passed.
    {0xFB, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x0A},
    "405",
    [](std::uint16_t value) { return feltwise_test::binaryFrame({value}); },
    60000,
};

// Where a request's thread runs the caller's check (WaitInterrupt: the
// Python module's signal check) while the request waits, at least every
// WaitInterrupt::kPollPeriod. The test sees there that a request waits, and
// may hold it there until it opens the gate, as a thread that is not run for
// a while, or a long signal handler, would be held.
class Gate {
 public:
  explicit Gate(bool open) : open_(open) {}

  // Whether a request's thread came to the gate (within 5 s).
  bool reached() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, 5s, [this] { return reached_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

  // The check of a thread whose `current` gate this is. It holds the thread
  // for 10 s at most: a test that fails before it opens the gate still ends.
  static void check() {
    Gate& gate = *current;
    std::unique_lock<std::mutex> lock(gate.mutex_);
    gate.reached_ = true;
    gate.cv_.notify_all();
    gate.cv_.wait_for(lock, 10s, [&gate] { return gate.open_; });
  }
  static thread_local Gate* current;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_;
  bool reached_ = false;
};

thread_local Gate* Gate::current = nullptr;

// Every version with registers, in its wire's lines.
std::vector<RegisterWire> registerWires() {
  std::vector<RegisterWire> wires;
  for (const int version : feltwise_test::protocolVersions(std::nullopt, feltwise_comm::Registers::yes)) {
    wires.push_back(feltwise_test::isTextVersion(version) ? kText : kBinary);
    wires.back().version = version;
  }
  return wires;
}

class RegisterReplyOrder : public ::testing::TestWithParam<RegisterWire> {
 protected:
  void SetUp() override {
    protocol_ = feltwise_comm::createProtocol(wire().version);
    comms_.port_ = feltwise_test::openCommsPort(pty_.path());
    acquisition_ = std::thread([this] { acquire(); });
  }

  void TearDown() override {
    stop_ = true;
    acquisition_.join();
    EXPECT_FALSE(acquisition_failed_) << "readSample threw";
  }

  const RegisterWire& wire() const { return GetParam(); }

  void acquire() {
    std::vector<double> sample;
    sample.reserve(1024);
    while (!stop_) {
      try {
        if (!protocol_->readSample(sample, comms_)) continue;
      } catch (...) {
        acquisition_failed_ = true;
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (sample.size() == 1) last_sample_ = static_cast<int>(sample[0]);
      decoded_.notify_all();
    }
  }

  // Sends a sample and waits until it is decoded: everything sent before it
  // has then been handled.
  void sync() {
    const auto marker = static_cast<std::uint16_t>(++markers_);
    pty_.send(wire().sample(marker));
    std::unique_lock<std::mutex> lock(mutex_);
    ASSERT_TRUE(decoded_.wait_for(lock, 5s, [&] { return last_sample_ == marker; }));
  }

  // "" for success, else the message; a read's bytes land in `out`. With a
  // gate, the request's waits run its check.
  std::future<std::string> start(bool write, Bytes& out, std::int64_t timeout_ms = kAnswered, Bytes data = {0x0A, 0xFF},
                                 Gate* gate = nullptr) {
    return std::async(std::launch::async, [=, &out] {
      std::optional<feltwise_comm::WaitInterrupt> checked;
      if (gate != nullptr) {
        Gate::current = gate;
        checked.emplace(&Gate::check);
      }
      try {
        if (write) {
          protocol_->writeRegister(32, 1, data, comms_, timeout_ms);
        } else {
          protocol_->readRegister(32, 1, out, comms_, timeout_ms);
        }
        return std::string();
      } catch (const std::exception& e) {
        return std::string(e.what());
      }
    });
  }

  Bytes request(bool write) { return write ? wire().write_request(32, {0x0A, 0xFF}) : wire().read_request(32); }
  void expectRequest(bool write) { EXPECT_EQ(pty_.receive(request(write).size(), 3000), request(write)); }
  // What a sensor answers a request with when all goes well.
  Bytes answer(bool write, const Bytes& data) { return write ? wire().acknowledgement : wire().data_reply(data); }

  static std::string timeout(bool write) { return write ? "Register write timeout" : "Register read timeout"; }

  PtyPair pty_;
  PortHolder comms_;
  std::unique_ptr<Protocol> protocol_;
  std::mutex mutex_;
  std::condition_variable decoded_;
  int last_sample_ = -1;
  int markers_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> acquisition_failed_{false};
  std::thread acquisition_;
};

// Version 3 echoes device error lines to standard output: kept out of the
// test's own output while an error is sent and handled.
std::string quietly(const std::function<std::string()>& handled) {
  ::testing::internal::CaptureStdout();
  std::string outcome = handled();
  feltwise_test::capturedStdout();
  return outcome;
}

bool stillWaiting(std::future<std::string>& call, std::chrono::milliseconds how_long = 300ms) {
  return call.wait_for(how_long) == std::future_status::timeout;
}

// A request gives up; its reply comes before the next request is made, while
// the next one waits to be written, or never. The next request gets its own
// reply, never the late one, whatever the two kinds.
TEST_P(RegisterReplyOrder, ALateReplyNeverCompletesTheNextRequest) {
  enum class Late { kBeforeTheNext, kWhileTheNextWaits, kNever };
  int late_replies = 0;
  for (const Late late : {Late::kBeforeTheNext, Late::kWhileTheNextWaits, Late::kNever}) {
    for (const bool late_write : {false, true}) {
      for (const bool next_write : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "late " << static_cast<int>(late) << (late_write ? " write" : " read")
                                          << ", next" << (next_write ? " write" : " read"));
        Bytes out;
        auto gave_up = start(late_write, out, kGivesUp);
        expectRequest(late_write);
        ASSERT_EQ(gave_up.get(), timeout(late_write));
        const Bytes late_answer = answer(late_write, {0xEE});
        if (late == Late::kBeforeTheNext) pty_.send(late_answer);

        Bytes next_out{0x55};
        auto next = start(next_write, next_out);
        if (late == Late::kWhileTheNextWaits) {
          // Not written until the late reply is in.
          ASSERT_TRUE(pty_.receive(1, 50).empty());
          pty_.send(late_answer);
        }
        late_replies += late == Late::kNever ? 0 : 1;
        expectRequest(next_write);
        EXPECT_TRUE(stillWaiting(next, 100ms));
        pty_.send(answer(next_write, {0x22}));
        ASSERT_EQ(next.get(), "");
        if (!next_write) {
          EXPECT_EQ(next_out, Bytes{0x22});
        }
        sync();
      }
    }
  }
  EXPECT_EQ(late_replies, 8);
}

// The settle wait counts in the request's own time-out: a request whose time
// runs out first sends nothing, and the one after it still goes out.
TEST_P(RegisterReplyOrder, ARequestThatCannotWaitOutTheSettleSendsNothing) {
  // The read holds the line until the hasty write waits for it, then gives
  // up: the write, begun before the give-up with a time-out shorter than the
  // settle, runs out of time within the settle, however the threads are run.
  static_assert(RegisterCompletion::kSettle > 2 * std::chrono::milliseconds(kGivesUp), "");
  Gate read_held(false);
  Gate hasty_waits(true);
  Bytes out;
  auto gave_up = start(false, out, kGivesUp, {}, &read_held);
  expectRequest(false);
  ASSERT_TRUE(read_held.reached());
  auto hasty = start(true, out, kGivesUp, {0x0A, 0xFF}, &hasty_waits);
  ASSERT_TRUE(hasty_waits.reached() || hasty.wait_for(0s) == std::future_status::ready);
  read_held.open();
  ASSERT_EQ(gave_up.get(), "Register read timeout");
  EXPECT_EQ(hasty.get(), "Register write timeout");
  EXPECT_TRUE(pty_.receive(1, 50).empty());

  auto patient = start(true, out);
  expectRequest(true);
  pty_.send(wire().acknowledgement);
  EXPECT_EQ(patient.get(), "");
}

// A request that comes back to the line only after its time-out has passed
// (its thread not run for that long, or the caller's check running long)
// fails with its time-out and sends nothing, though the line is free by then.
TEST_P(RegisterReplyOrder, ARequestBackAfterItsTimeOutSendsNothing) {
  Bytes out;
  auto read = start(false, out);
  expectRequest(false);
  Gate held(false);
  Bytes late_out;
  auto late = start(true, late_out, kGivesUp, {0x0A, 0xFF}, &held);
  // It waits for the line the read holds (or ran out of time before it looked).
  ASSERT_TRUE(held.reached() || late.wait_for(0s) == std::future_status::ready);
  pty_.send(answer(false, {0x11}));
  EXPECT_EQ(read.get(), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(kGivesUp));  // its time-out passes while it is held
  held.open();
  EXPECT_EQ(late.get(), "Register write timeout");
  EXPECT_TRUE(pty_.receive(1, 50).empty());

  // It never took the line: nothing is owed, the next request gets its reply.
  auto next = start(false, out);
  expectRequest(false);
  pty_.send(answer(false, {0x22}));
  EXPECT_EQ(next.get(), "");
  EXPECT_EQ(out, Bytes{0x22});
}

// An acknowledgement is no read reply, and a read reply, whole or not, is no
// acknowledgement: the waiting request keeps waiting for its own.
TEST_P(RegisterReplyOrder, AReplyOfTheOtherKindNeverCompletesARequest) {
  Bytes out{0x55};
  auto read = start(false, out);
  expectRequest(false);
  pty_.send(wire().acknowledgement);
  EXPECT_TRUE(stillWaiting(read));
  pty_.send(wire().data_reply({0x33}));
  ASSERT_EQ(read.get(), "");
  EXPECT_EQ(out, Bytes{0x33});

  for (const Bytes& data_reply : {wire().data_reply({0x44}), wire().bad_data_reply}) {
    auto write = start(true, out);
    expectRequest(true);
    pty_.send(data_reply);
    EXPECT_TRUE(stillWaiting(write));  // also lets a cut reply be seen as cut
    pty_.send(wire().acknowledgement);
    EXPECT_EQ(write.get(), "");
  }

  auto bad_read = start(false, out);
  expectRequest(false);
  pty_.send(wire().bad_data_reply);
  EXPECT_EQ(bad_read.get(), std::string("Register read error: ") + wire().bad_data_status);
  EXPECT_EQ(out, Bytes{0x33});
}

TEST_P(RegisterReplyOrder, AnErrorEndsWhicheverRequestWaits) {
  for (const bool write : {false, true}) {
    Bytes out;
    auto call = start(write, out);
    expectRequest(write);
    const std::string outcome = quietly([&] {
      pty_.send(wire().error);
      return call.get();
    });
    EXPECT_EQ(outcome, std::string("Register ") + (write ? "write" : "read") + " error: " + wire().error_status);
  }
  // An error is the request's answer: nothing is owed, the next goes out at once.
  Bytes out;
  auto read = start(false, out);
  expectRequest(false);
  pty_.send(wire().data_reply({0x01}));
  EXPECT_EQ(read.get(), "");
}

TEST_P(RegisterReplyOrder, DuplicateRepliesAreDropped) {
  for (const bool write : {false, true}) {
    Bytes out;
    auto first = start(write, out);
    expectRequest(write);
    pty_.send(join({answer(write, {0x61}), answer(write, {0x61})}));
    ASSERT_EQ(first.get(), "");
    sync();

    auto second = start(write, out);
    expectRequest(write);
    EXPECT_TRUE(stillWaiting(second));
    pty_.send(answer(write, {0x62}));
    ASSERT_EQ(second.get(), "");
    if (!write) {
      EXPECT_EQ(out, Bytes{0x62});
    }
  }
}

// Callers on several threads take turns: one request on the line at a time.
TEST_P(RegisterReplyOrder, ConcurrentRequestsTakeTurns) {
  Bytes out;
  auto read = start(false, out);
  expectRequest(false);
  auto write = start(true, out);
  EXPECT_TRUE(pty_.receive(1, 200).empty());
  pty_.send(wire().data_reply({0x71}));
  EXPECT_EQ(read.get(), "");
  expectRequest(true);
  pty_.send(wire().acknowledgement);
  EXPECT_EQ(write.get(), "");
  EXPECT_EQ(out, Bytes{0x71});
}

// Nothing owed, nothing waited for: each request goes out as soon as the one
// before it has its answer (errors included).
TEST_P(RegisterReplyOrder, RequestsGoOutAtOnceWhenNothingIsOwed) {
  constexpr int kRounds = 20;
  const auto begin = Clock::now();
  for (int round = 0; round < kRounds; ++round) {
    const bool write = round % 2 == 1;
    Bytes out;
    auto call = start(write, out);
    expectRequest(write);
    const bool error = round % 5 == 4;
    const std::string outcome = quietly([&] {
      pty_.send(error ? wire().error : answer(write, {static_cast<std::uint8_t>(round)}));
      return call.get();
    });
    EXPECT_EQ(outcome.empty(), !error) << outcome;
  }
  // Generous: one settle wait per round would take longer than this.
  EXPECT_LT(Clock::now() - begin, kRounds * RegisterCompletion::kSettle);
}

// The sensor does not read while the host writes a request longer than the
// pty holds: the write comes back short. The request fails with its
// time-out, and the next request reaches the sensor on its own, not as the
// rest of the cut one.
TEST_P(RegisterReplyOrder, ARequestNotSentWholeFailsAndTheNextArrivesOnItsOwn) {
  const Bytes data(wire().short_write_bytes, 0xAB);
  const Bytes whole = wire().write_request(32, data);
  Bytes out;
  auto cut = start(true, out, kAnswered, data);
  EXPECT_EQ(cut.get(), "Register write timeout");

  // What left before the write gave up: a text line ends with the line feed
  // the host adds; a frame has no end to wait for.
  Bytes sent;
  for (Bytes more; !(more = pty_.receive(1, 100)).empty();) {
    sent.insert(sent.end(), more.begin(), more.end());
    if (feltwise_test::isTextVersion(wire().version) && sent.back() == '\n') break;
  }
  ASSERT_GE(sent.size(), 8u);
  EXPECT_LT(sent.size(), whole.size());
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 8, sent.begin()));
  if (feltwise_test::isTextVersion(wire().version)) {
    // The cut line is ended, and the device's error reply to it is dropped.
    EXPECT_EQ(sent.back(), '\n');
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), 1);
  }

  Bytes read_out;
  std::future<std::string> next;
  const std::string outcome = quietly([&] {
    if (feltwise_test::isTextVersion(wire().version)) pty_.send(wire().error);
    next = start(false, read_out);
    const Bytes next_request = pty_.receive(wire().read_request(32).size(), 3000);
    const bool alone = pty_.receive(1, 100).empty();
    pty_.send(wire().data_reply({0x5A}));
    const std::string result = next.get();
    return next_request == wire().read_request(32) && alone ? result : "not on its own";
  });
  EXPECT_EQ(outcome, "");
  EXPECT_EQ(read_out, Bytes{0x5A});
}

INSTANTIATE_TEST_SUITE_P(Versions, RegisterReplyOrder, ::testing::ValuesIn(registerWires()),
                         [](const ::testing::TestParamInfo<RegisterWire>& param_info) {
                           return std::string(param_info.param.name) + "V" + std::to_string(param_info.param.version);
                         });

}  // namespace
