// The port layer against real pseudo-terminals: the termios set-up, the poll
// loop, the receive buffer and the hang-up path run as they do with a device.
// The Windows build runs the same cases under Wine, on COM ports.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include "serial/serial.h"
#include "support/paced_line.h"
#include "support/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using feltwise_test::openCommsPort;
using feltwise_test::PtyPair;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

template <typename Exception, typename Call>
std::string messageOf(Call&& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

TEST(SerialClosed, EmptyNameLeavesThePortClosedAndEveryIoOperationRefuses) {
  serial::Serial port("", 115200, feltwise_test::commsTimeouts());
  EXPECT_FALSE(port.isOpen());
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(messageOf<serial::PortNotOpenedException>([&] { port.read(bytes, 1); }),
            "PortNotOpenedException Serial::read failed.");
  EXPECT_EQ(messageOf<serial::PortNotOpenedException>([&] { port.readLine(); }),
            "PortNotOpenedException Serial::read failed.");
  EXPECT_EQ(messageOf<serial::PortNotOpenedException>([&] { port.write("x"); }),
            "PortNotOpenedException Serial::write failed.");
  EXPECT_EQ(messageOf<serial::PortNotOpenedException>([&] { port.flush(); }),
            "PortNotOpenedException Serial::flush failed.");
  EXPECT_EQ(messageOf<std::invalid_argument>([&] { port.open(); }), "Empty port is invalid.");
}

TEST(SerialOpen, MissingPortNamesItselfWithFileAndLine) {
  try {
    serial::Serial port("/dev/feltwise-no-such-port", 115200, feltwise_test::commsTimeouts());
    FAIL() << "opened a missing port";
  } catch (const serial::IOException& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("IO Exception: Specified port, /dev/feltwise-no-such-port, does not exist., file ", 0), 0u)
        << what;
    EXPECT_NE(e.getFile().find("platform_port_"), std::string::npos);
    EXPECT_GT(e.getLine(), 0);
    EXPECT_NE(what.find(", line " + std::to_string(e.getLine()) + "."), std::string::npos);
    // The cause travels on the exception; the fixed text above does not show it.
    EXPECT_EQ(e.errorNumber(), PtyPair::missingPortError());
    EXPECT_FALSE(e.systemText().empty());
    if (!PtyPair::missingPortErrorText().empty()) {
      EXPECT_EQ(e.systemText(), PtyPair::missingPortErrorText());
    }
  }
}

// One base catches every port failure, and std::exception still does.
TEST(SerialErrors, ShareOneBaseUnderStdException) {
  static_assert(std::is_base_of_v<serial::SerialError, serial::SerialException>);
  static_assert(std::is_base_of_v<serial::SerialError, serial::IOException>);
  static_assert(std::is_base_of_v<serial::SerialError, serial::PortNotOpenedException>);
  static_assert(std::is_base_of_v<std::exception, serial::SerialError>);
  serial::Serial port("", 115200, feltwise_test::commsTimeouts());
  try {
    port.flush();
    FAIL() << "flushed a closed port";
  } catch (const serial::SerialError& e) {
    EXPECT_STREQ(e.what(), "PortNotOpenedException Serial::flush failed.");
  }
  const serial::IOException without_cause("f.cpp", 3, "Error setting timeouts.");
  EXPECT_STREQ(without_cause.what(), "IO Exception: Error setting timeouts., file f.cpp, line 3.");
  EXPECT_EQ(without_cause.errorNumber(), 0);
  EXPECT_EQ(without_cause.systemText(), "");
}

TEST(SerialOpen, OpeningTwiceRaisesAlreadyOpen) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  ASSERT_TRUE(port->isOpen());
  EXPECT_EQ(messageOf<serial::SerialException>([&] { port->open(); }),
            "SerialException Serial port already open. failed.");
}

TEST(SerialOpen, ASecondOpenOfAnOpenPortIsRefusedAsBusyUntilTheFirstCloses) {
  if (!PtyPair::opensExclusively()) GTEST_SKIP() << "Wine opens the tty behind a COM port shared";
  PtyPair pty;
  auto first = openCommsPort(pty.path());
  const std::string what = messageOf<serial::IOException>([&] { openCommsPort(pty.path()); });
  EXPECT_NE(what.find("busy"), std::string::npos) << what;
  first->close();
  EXPECT_TRUE(openCommsPort(pty.path())->isOpen());
}

TEST(SerialOpen, DiscardsWhatArrivedBeforeTheSettingsWereApplied) {
  PtyPair pty;
  pty.send("stale");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto port = openCommsPort(pty.path());
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(port->read(bytes, 5), 0u);
}

struct BadSetting {
  const char* what;
  serial::ByteSize bytesize;
  serial::Parity parity;
  serial::StopBits stopbits;
};

class SerialBadSettings : public ::testing::TestWithParam<BadSetting> {};

TEST_P(SerialBadSettings, AreRefusedAndLeaveThePortFreeAndClosed) {
  PtyPair pty;
  const BadSetting& bad = GetParam();
  EXPECT_EQ(messageOf<std::invalid_argument>([&] {
              serial::Serial port(pty.path(), 115200, feltwise_test::commsTimeouts(), bad.bytesize, bad.parity,
                                  bad.stopbits);
            }),
            bad.what);
  // Nothing of the failed attempt holds the port.
  EXPECT_TRUE(openCommsPort(pty.path())->isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SerialBadSettings,
    ::testing::Values(
        BadSetting{"invalid char len", static_cast<serial::ByteSize>(9), serial::parity_none, serial::stopbits_one},
        BadSetting{"invalid stop bit", serial::eightbits, serial::parity_none, static_cast<serial::StopBits>(0)},
        BadSetting{"invalid parity", serial::eightbits, static_cast<serial::Parity>(7), serial::stopbits_one},
        // Checked in this order: the byte size wins over the others.
        BadSetting{"invalid char len", static_cast<serial::ByteSize>(4), static_cast<serial::Parity>(7),
                   static_cast<serial::StopBits>(0)}));

TEST(SerialRead, ShortReadReturnsWhatArrivedAfterTheTimeoutAndAppends) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.send(std::vector<std::uint8_t>{0x01, 0x02});
  std::vector<std::uint8_t> bytes{0xAA};
  const auto start = Clock::now();
  EXPECT_EQ(port->read(bytes, 4), 2u);
  EXPECT_GE(msSince(start), 90);
  EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xAA, 0x01, 0x02}));
}

TEST(SerialRead, ASilentLineReturnsNothingAfterOneTimeout) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  std::vector<std::uint8_t> bytes;
  const auto start = Clock::now();
  EXPECT_EQ(port->read(bytes, 2), 0u);
  EXPECT_GE(msSince(start), 90);
  EXPECT_LT(msSince(start), 1000);
}

TEST(SerialRead, ReturnsAsSoonAsEverythingAskedForArrived) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.send("abcdefgh");
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(port->read(bytes, 3), 3u);
  EXPECT_EQ(port->read(bytes, 5), 5u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abcdefgh");
}

TEST(SerialPeek, ShowsWhatArrivedBehindAReadWithoutTakingIt) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  std::uint8_t seen[4] = {};
  EXPECT_EQ(port->peekReceived(seen, sizeof seen), 0u);  // nothing read yet: nothing waits here
  pty.send("abcdefgh");
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(port->read(bytes, 2), 2u);
  EXPECT_EQ(port->peekReceived(seen, sizeof seen), 6u);
  EXPECT_EQ(std::string(seen, seen + 4), "cdef");
  EXPECT_EQ(port->peekReceived(seen, 0), 6u);
  EXPECT_EQ(port->read(bytes, 6), 6u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "abcdefgh");
  EXPECT_EQ(port->peekReceived(seen, sizeof seen), 0u);
}

TEST(SerialRead, ZeroTotalTimeWithNoGapLimitReturnsAtOnce) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->setTimeouts(serial::Timeouts(serial::Timeouts::max(), 0, 0, 100, 0));
  std::vector<std::uint8_t> bytes;
  const auto start = Clock::now();
  EXPECT_EQ(port->read(bytes, 4), 0u);
  EXPECT_LT(msSince(start), 50);
}

TEST(SerialRead, TheGapLimitEndsAReadWhenTheSensorPauses) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->setTimeouts(serial::Timeouts(20, 2000, 0, 100, 0));
  pty.send("ab");
  std::vector<std::uint8_t> bytes;
  const auto start = Clock::now();
  EXPECT_EQ(port->read(bytes, 10), 2u);
  EXPECT_LT(msSince(start), 1000);
}

TEST(SerialReadLine, SplitsAtTheEndOfLineAndKeepsTheRest) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.send("1,2,3\n4");
  EXPECT_EQ(port->readLine(65536, "\n"), "1,2,3\n");
  EXPECT_EQ(port->readLine(65536, "\n"), "4");
}

TEST(SerialReadLine, StopsAtSizeAndLeavesTheRest) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.send("abcdef");
  EXPECT_EQ(port->readLine(3, "\n"), "abc");
  EXPECT_EQ(port->readLine(3, "\n"), "def");
}

TEST(SerialReadLine, MatchesAnEndOfLineOfSeveralBytes) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.send("ab\rc\r\nrest\r\n");
  std::string line = "kept:";
  EXPECT_EQ(port->readLine(line, 65536, "\r\n"), 6u);
  EXPECT_EQ(line, "kept:ab\rc\r\n");
  EXPECT_EQ(port->readLine(65536, "\r\n"), "rest\r\n");
}

TEST(SerialReadLine, ManyLinesInOneBurstComeOutOneByOne) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += std::to_string(i) + ",1.5\n";
  pty.send(burst);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(port->readLine(), std::to_string(i) + ",1.5\n");
}

TEST(SerialReadLine, ASilentLineGivesAnEmptyStringAfterOneTimeout) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  const auto start = Clock::now();
  EXPECT_EQ(port->readLine(), "");
  EXPECT_GE(msSince(start), 90);
}

// A sensor that trickles `bytes` one every `gap`, then falls silent. The whole
// trickle lasts longer than the port's 100 ms time-out.
std::thread trickle(PtyPair& pty, const std::string& bytes, std::chrono::milliseconds gap) {
  return std::thread([&pty, bytes, gap] {
    for (char c : bytes) {
      pty.send(std::string(1, c));
      std::this_thread::sleep_for(gap);
    }
  });
}

enum class ReadKind { kRead, kReadLine };

std::string readOnce(serial::Serial& port, ReadKind kind, std::size_t size) {
  if (kind == ReadKind::kReadLine) return port.readLine(size, "\n");
  std::vector<std::uint8_t> bytes;
  port.read(bytes, size);
  return std::string(bytes.begin(), bytes.end());
}

class SerialSilenceRule : public ::testing::TestWithParam<ReadKind> {};

TEST_P(SerialSilenceRule, BytesStillArrivingNeverEndTheCall) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  // 12 bytes 25 ms apart: 300 ms in all, no gap as long as the time-out.
  const std::string sent = "abcdefghijk\n";
  std::thread sensor = trickle(pty, sent, std::chrono::milliseconds(25));
  const auto start = Clock::now();
  const std::string got = readOnce(*port, GetParam(), sent.size());
  const auto elapsed = msSince(start);
  sensor.join();
  EXPECT_EQ(got, sent);
  EXPECT_GE(elapsed, 250);
}

TEST_P(SerialSilenceRule, ASilenceOfOneTimeoutEndsTheCallWithWhatCame) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  std::thread sensor = trickle(pty, "abcdef", std::chrono::milliseconds(25));
  const auto start = Clock::now();
  const std::string got = readOnce(*port, GetParam(), 64);
  const auto elapsed = msSince(start);
  sensor.join();
  EXPECT_EQ(got, "abcdef");
  // The last byte came after about 125 ms, the silence took 100 more.
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 1500);
}

INSTANTIATE_TEST_SUITE_P(ReadAndReadLine, SerialSilenceRule, ::testing::Values(ReadKind::kRead, ReadKind::kReadLine),
                         [](const ::testing::TestParamInfo<ReadKind>& kind) {
                           return kind.param == ReadKind::kRead ? std::string("Read") : std::string("ReadLine");
                         });

// A decoder's own moment ends a read that bytes arriving without a pause
// would keep going; the port notes when they last came.
TEST(SerialRead, AGiveUpMomentEndsAReadThatBytesKeepGoing) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  const std::string sent = "abcdefghijk\n";
  std::thread sensor = trickle(pty, sent, std::chrono::milliseconds(25));
  const auto start = Clock::now();
  std::vector<std::uint8_t> got;
  const std::size_t count = port->read(got, sent.size(), start + std::chrono::milliseconds(100));
  const auto received_at = port->lastReceivedAt();
  sensor.join();
  EXPECT_GE(count, 1u);
  EXPECT_LT(count, sent.size());
  EXPECT_EQ(std::string(got.begin(), got.end()), sent.substr(0, count));
  EXPECT_GE(received_at, start);
}

TEST(SerialRead, AFrameLongerThanTheTimeoutArrivesWholeAtTheLineRate) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  // The largest binary frame: 2050 bytes, 178 ms at 115200 baud, in the
  // chunks of an adapter that is sometimes late.
  std::vector<std::uint8_t> frame(2050);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 13);
  feltwise_test::LinePace pace;
  pace.chunk = 62;
  pace.jitter = std::chrono::microseconds(2000);
  std::thread sensor([&] { feltwise_test::PacedLine(pty, pace).send(frame); });
  std::vector<std::uint8_t> got;
  EXPECT_EQ(port->read(got, frame.size()), frame.size());
  sensor.join();
  EXPECT_EQ(got, frame);
}

TEST(SerialLineTime, CountsStartDataParityAndStopBitsRoundedUp) {
  using serial::lineTimeMs;
  // 2050 bytes of 10 bits at 115200 baud: 177.95 ms.
  EXPECT_EQ(lineTimeMs(2050, 115200, serial::eightbits, serial::parity_none, serial::stopbits_one), 178u);
  // 8E2 is 12 bits: one byte at 9600 is 1.25 ms.
  EXPECT_EQ(lineTimeMs(1, 9600, serial::eightbits, serial::parity_even, serial::stopbits_two), 2u);
  // 7O1.5 is 1 + 7 + 1 + 2 bits: 1000 bytes at 11000 baud is exactly 1000 ms.
  EXPECT_EQ(lineTimeMs(1000, 11000, serial::sevenbits, serial::parity_odd, serial::stopbits_one_point_five), 1000u);
  EXPECT_EQ(lineTimeMs(0, 115200, serial::eightbits, serial::parity_none, serial::stopbits_one), 0u);
  EXPECT_EQ(lineTimeMs(100, 0, serial::eightbits, serial::parity_none, serial::stopbits_one), 0u);
}

TEST(SerialWrite, AllBytesReachTheDeviceAcrossPartialWrites) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->setTimeouts(serial::Timeouts(serial::Timeouts::max(), 100, 0, 5000, 0));
  std::vector<std::uint8_t> data(200000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> received;
  std::thread drain([&] { received = pty.receive(data.size(), 5000); });
  EXPECT_EQ(port->write(data), data.size());
  drain.join();
  EXPECT_EQ(received, data);
}

TEST(SerialWrite, ADeviceThatTakesNothingEndsTheWriteAfterItsTimeoutAndLineTime) {
  PtyPair pty;
  // At 921600 baud 64 KiB take 712 ms on the line; the pty holds far less.
  serial::Serial port(pty.path(), 921600, feltwise_test::commsTimeouts());
  std::vector<std::uint8_t> data(1 << 16, 0x55);
  const auto start = Clock::now();
  const std::size_t written = port.write(data);
  const auto elapsed = msSince(start);
  EXPECT_LT(written, data.size());
  EXPECT_GE(elapsed, 100 + 700);
  EXPECT_LT(elapsed, 3000);
}

TEST(SerialWrite, ALongWriteToADeviceTakingItAtTheLineRateIsNotCutAtTheFixedTimeout) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  // 30000 bytes: more than the pty holds, and 2.6 s on the line at 115200.
  std::vector<std::uint8_t> data(30000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> received;
  std::thread device([&] {
    // Takes 64 bytes every 5.6 ms, as a UART at 115200 baud empties its queue.
    const auto chunk_time = std::chrono::microseconds(64 * 10 * 1000000 / 115200);
    auto next = Clock::now();
    const auto give_up = next + std::chrono::seconds(10);
    while (received.size() < data.size() && Clock::now() < give_up) {
      std::uint8_t chunk[64];
      const std::size_t n = pty.receiveSome(chunk, sizeof chunk, 0);
      received.insert(received.end(), chunk, chunk + n);
      next += chunk_time;
      std::this_thread::sleep_until(next);
    }
  });
  EXPECT_EQ(port->write(data), data.size());
  device.join();
  EXPECT_EQ(received, data);
}

TEST(SerialWrite, AWriteIsNotHeldUpByAReadThatWaits) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->setTimeouts(serial::Timeouts(serial::Timeouts::max(), 1000, 0, 100, 0));
  auto reader = std::async(std::launch::async, [&] {
    std::vector<std::uint8_t> bytes;
    return port->read(bytes, 1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  EXPECT_EQ(port->write("ping"), 4u);
  EXPECT_LT(msSince(start), 500);
  const auto echoed = pty.receive(4);
  EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "ping");
  pty.send("!");
  EXPECT_EQ(reader.get(), 1u);
}

TEST(SerialClose, ClosingTwiceIsHarmlessAndReadsAfterwardsRefuse) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->close();
  EXPECT_NO_THROW(port->close());
  EXPECT_FALSE(port->isOpen());
  std::vector<std::uint8_t> bytes;
  EXPECT_THROW(port->read(bytes, 1), serial::PortNotOpenedException);
}

TEST(SerialUnplug, AWaitingReadLearnsOfTheHangUpWithinOneTimeout) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  port->setTimeouts(serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0));
  auto reader = std::async(std::launch::async, [&] {
    std::vector<std::uint8_t> bytes;
    // Keep reading as the acquisition loop does; only an error ends this.
    for (;;) port->read(bytes, 2);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const auto start = Clock::now();
  pty.unplug();
  ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(1000)), std::future_status::ready);
  EXPECT_LT(msSince(start), 300);
  const std::string what = messageOf<serial::IOException>([&] { reader.get(); });
  EXPECT_NE(what.find("Error while reading from the serial port: "), std::string::npos) << what;
}

TEST(SerialUnplug, ReadLineAndWriteReportTheHangUpToo) {
  FELTWISE_SKIP_UNLESS_UNPLUGGABLE();
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  pty.unplug();
  EXPECT_THROW(port->readLine(), serial::IOException);
  EXPECT_THROW(port->write("x"), serial::IOException);
}

}  // namespace
