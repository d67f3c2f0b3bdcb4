// The facade's own rules (receive buffer, line reading, peeking, stopping)
// over the in-memory port, byte for byte and without a clock: "<pause>" in a
// stream is a silence longer than the read time-out, "<unplug>" a vanished
// device (src/serial/impl/memory_line.h).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serial/impl/memory_line.h"
#include "serial/serial.h"

namespace {

using serial::impl::MemoryLine;

std::unique_ptr<serial::Serial> portPlaying(const std::string& stream) {
  MemoryLine::instance().load(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size());
  return std::make_unique<serial::Serial>("memory", 115200, serial::Timeouts(serial::Timeouts::max(), 100, 0, 100, 0));
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct LineCase {
  const char* name;
  std::string stream;
  std::size_t size;
  std::string eol;
  std::vector<std::string> lines;  // what successive readLine calls return; the last one finds silence
};

class SerialFacadeReadLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(SerialFacadeReadLine, SplitsTheStreamAsItShould) {
  const LineCase& c = GetParam();
  auto port = portPlaying(c.stream);
  for (const std::string& line : c.lines) EXPECT_EQ(port->readLine(c.size, c.eol), line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SerialFacadeReadLine,
    ::testing::Values(LineCase{"EndOfLine", "1,2\n3,4\n5", 65536, "\n", {"1,2\n", "3,4\n", "5", ""}},
                      LineCase{"SizeLimit", "abcdef\n", 3, "\n", {"abc", "def", "\n", ""}},
                      LineCase{"SeveralBytes", "a\rb\r\r\nc\n\r\n", 65536, "\r\n", {"a\rb\r\r\n", "c\n\r\n", ""}},
                      LineCase{"SilenceEndsALine", "ab<pause>c\n", 65536, "\n", {"ab", "c\n", ""}},
                      LineCase{"NoEndOfLine", "abcdef", 4, "", {"abcd", "ef", ""}},
                      LineCase{"NulInside", std::string("a\0b\nc", 5), 65536, "\n", {std::string("a\0b\n", 4), "c"}}),
    [](const ::testing::TestParamInfo<LineCase>& param) { return param.param.name; });

// The port reads at most 16 KiB at a time, and 16384 = 5 * 3276 + 4: the
// "\r\n" of line 3277 lies across two platform reads, after a false start.
TEST(SerialFacade, AnEndOfLineAcrossTwoPlatformReadsIsFound) {
  std::string stream;
  for (int i = 0; i < 8000; ++i) stream += "ab\r\r\n";
  auto port = portPlaying(stream);
  for (int i = 0; i < 8000; ++i) ASSERT_EQ(port->readLine(65536, "\r\n"), "ab\r\r\n") << "line " << i;
  EXPECT_EQ(port->readLine(65536, "\r\n"), "");
}

// Only this call's bytes end a line: a "\r" already in the caller's buffer does not.
TEST(SerialFacade, ReadLineAppendsAndIgnoresWhatTheBufferHeldBefore) {
  auto port = portPlaying("\nrest\r\n");
  std::string line = "kept\r";
  EXPECT_EQ(port->readLine(line, 65536, "\r\n"), 7u);
  EXPECT_EQ(line, "kept\r\nrest\r\n");
}

TEST(SerialFacade, ReadsAsMuchAsAskedAcrossPlatformReadsAndShortAtASilenceOrUnplug) {
  const std::string big(40000, 'x');
  auto port = portPlaying("abc<pause>" + big + "de<unplug>fg");
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(port->read(bytes, 0), 0u);
  EXPECT_EQ(port->read(bytes, 5), 3u);
  EXPECT_EQ(port->read(bytes, big.size() + 1), big.size() + 1);
  EXPECT_EQ(text(bytes), "abc" + big + "d");
  bytes.clear();
  EXPECT_THROW(port->read(bytes, 4), serial::IOException);
  EXPECT_EQ(text(bytes), "e");  // what came before the failure stays with the caller
  bytes.clear();
  EXPECT_EQ(port->read(bytes, 4), 2u);
  EXPECT_EQ(text(bytes), "fg");
}

TEST(SerialFacade, PeekShowsWhatWasReadAheadWithoutTakingIt) {
  auto port = portPlaying("abcdefgh");
  std::uint8_t seen[4] = {};
  EXPECT_EQ(port->peekReceived(seen, sizeof seen), 0u);  // nothing asked for yet: nothing read ahead
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(port->read(bytes, 2), 2u);
  EXPECT_EQ(port->peekReceived(seen, sizeof seen), 6u);
  EXPECT_EQ(std::string(seen, seen + 4), "cdef");
  EXPECT_EQ(port->peekReceived(nullptr, 0), 6u);
  EXPECT_EQ(port->readLine(65536, "e"), "cde");
  EXPECT_EQ(port->peekReceived(seen, 1), 3u);
  EXPECT_EQ(seen[0], 'f');
}

// takeReceived shows everything held, keeps what `take` leaves for later
// reads, waits only when nothing is held, and never calls `take` with nothing.
struct TakeCase {
  const char* name;
  std::size_t taken;  // what `take` returns of the 8 bytes held
  std::string left;   // what a read then finds
};

class SerialFacadeTake : public ::testing::TestWithParam<TakeCase> {};

TEST_P(SerialFacadeTake, RemovesWhatTakeTookAndLeavesTheRest) {
  auto port = portPlaying("abcdefgh<pause>ij");
  std::string shown;
  std::size_t calls = 0;
  auto take = [&](const std::uint8_t* bytes, std::size_t count) {
    ++calls;
    shown.assign(bytes, bytes + count);
    return calls == 1 ? GetParam().taken : count;
  };
  EXPECT_EQ(port->takeReceived(2, take), 8u);
  EXPECT_EQ(shown, "abcdefgh");
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(port->read(bytes, 16), GetParam().left.size());  // the rest, then the silence ends the read
  EXPECT_EQ(text(bytes), GetParam().left);
  EXPECT_EQ(port->takeReceived(2, take), 2u);
  EXPECT_EQ(shown, "ij");
  EXPECT_EQ(port->takeReceived(2, take), 0u);  // silent: `take` is not called
  EXPECT_EQ(calls, 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialFacadeTake,
                         ::testing::Values(TakeCase{"Nothing", 0, "abcdefgh"}, TakeCase{"Some", 3, "defgh"},
                                           TakeCase{"All", 8, ""}, TakeCase{"MoreThanHeld", 20, ""}),
                         [](const ::testing::TestParamInfo<TakeCase>& param) { return param.param.name; });

TEST(SerialFacade, TakeReceivedShowsWhatAReadLeftWithoutWaiting) {
  auto port = portPlaying("abcdef<unplug>");
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(port->read(bytes, 2), 2u);
  std::string shown;
  auto take = [&](const std::uint8_t* held, std::size_t count) {
    shown.assign(held, held + count);
    return count;
  };
  EXPECT_EQ(port->takeReceived(2, take), 4u);
  EXPECT_EQ(shown, "cdef");
  EXPECT_THROW(port->takeReceived(2, take), serial::IOException);  // nothing held: it asks the line
  port->close();
  EXPECT_THROW(port->takeReceived(2, take), serial::PortNotOpenedException);
}

TEST(SerialFacade, TakeReceivedAfterStopReadingShowsWhatIsHeldThenNothing) {
  auto port = portPlaying("abcd<pause>ef");
  std::vector<std::uint8_t> bytes;
  ASSERT_EQ(port->read(bytes, 1), 1u);
  port->stopReading();
  std::size_t calls = 0;
  auto take = [&](const std::uint8_t*, std::size_t count) {
    ++calls;
    return count;
  };
  EXPECT_EQ(port->takeReceived(2, take), 3u);
  EXPECT_EQ(port->takeReceived(2, take), 0u);
  EXPECT_EQ(calls, 1u);
}

TEST(SerialFacade, StopReadingHandsOutWhatIsBufferedThenNothing) {
  auto port = portPlaying("one\ntwo\n<pause>three\n");
  EXPECT_EQ(port->readLine(), "one\n");
  port->stopReading();
  EXPECT_EQ(port->readLine(), "two\n");
  EXPECT_EQ(port->readLine(), "");
  std::vector<std::uint8_t> bytes;
  EXPECT_EQ(port->read(bytes, 1), 0u);
  EXPECT_FALSE(MemoryLine::instance().exhausted());  // "three" was never asked of the line
}

TEST(SerialFacade, WritesReachTheLineAndAClosedPortRefusesEverything) {
  auto port = portPlaying("");
  EXPECT_EQ(port->write("request\n"), 8u);
  EXPECT_TRUE(MemoryLine::instance().waitForWritten(8, std::chrono::milliseconds(0)));
  port->close();
  std::vector<std::uint8_t> bytes;
  EXPECT_THROW(port->read(bytes, 1), serial::PortNotOpenedException);
  EXPECT_THROW(port->readLine(), serial::PortNotOpenedException);
  EXPECT_THROW(port->write("x"), serial::PortNotOpenedException);
  EXPECT_THROW(port->discardOutput(), serial::PortNotOpenedException);
}

}  // namespace
