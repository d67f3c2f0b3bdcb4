// The console sink: exact bytes, device control bytes made visible, and a
// console that nobody reads costs lines, never a wait.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "console/console_sink.h"
#include "support/console_capture.h"

namespace {

namespace console = feltwise_comm::console;

struct Shown {
  const char* name;
  std::string device;
  std::string echo;
};

class DeviceText : public ::testing::TestWithParam<Shown> {};

TEST_P(DeviceText, ReachesStandardOutputWithItsControlBytesShown) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(console::postDeviceText("ERR ", GetParam().device, "\n"));
  EXPECT_EQ(feltwise_test::capturedStdout(), "ERR " + GetParam().echo + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DeviceText,
    ::testing::Values(Shown{"Plain", "E12 busy\n", "E12 busy\n"},
                      // Clear the screen, retitle the window, ring the bell.
                      Shown{"EscapeSequences", "E\x1b[2J\x1b]0;owned\x07\n", "E\\x1b[2J\\x1b]0;owned\\x07\n"},
                      Shown{"CarriageReturn", "Eabc\r\n", "Eabc\\x0d\n"},
                      Shown{"InnerLineFeedAndTab", "Ea\nb\tc\n", "Ea\\x0ab\\x09c\n"},
                      Shown{"DeleteAndNul", std::string("E\x7f\0!\n", 5), "E\\x7f\\x00!\n"},
                      Shown{"CutOffWithoutLineFeed", "Ecut", "Ecut"},
                      Shown{"Utf8AndBackslashAsSent", "E\xc3\xa9 \\x41\n", "E\xc3\xa9 \\x41\n"}),
    [](const ::testing::TestParamInfo<Shown>& param_info) { return std::string(param_info.param.name); });

TEST(ConsoleSink, PassesPlainTextByteForByte) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(console::post("\x1b[33mcoloured\x1b[0m\n"));
  EXPECT_EQ(feltwise_test::capturedStdout(), "\x1b[33mcoloured\x1b[0m\n");
}

TEST(ConsoleSink, DropsALineTooLongForTheQueueWholeAndCountsIt) {
  ::testing::internal::CaptureStdout();
  const auto dropped = console::droppedLines();
  EXPECT_FALSE(console::post(std::string(1 << 20, 'x')));
  EXPECT_TRUE(console::post("next\n"));
  EXPECT_EQ(feltwise_test::capturedStdout(), "next\n");
  EXPECT_EQ(console::droppedLines(), dropped + 1);
}

// Standard output becomes a pipe that nobody reads: the writer thread blocks
// on it for good. Posting must still return, and the process must still exit.
[[noreturn]] void postIntoAConsoleNobodyReads() {
  int ends[2];
  if (::pipe(ends) != 0) std::_Exit(2);
  ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
  // What stdio holds would otherwise be flushed into the full pipe at exit.
  std::fflush(stdout);
  ::dup2(ends[1], STDOUT_FILENO);
  const std::string line(100, 'x');
  const auto dropped = console::droppedLines();
  std::uint64_t posted = 0;
  // Ends once the pipe and the queue are full: a post that waited for the
  // console would hang here instead.
  while (console::droppedLines() < dropped + 1000) posted += console::post(line + "\n") ? 1 : 0;
  if (posted == 0) {
    std::cerr << "nothing was queued";
    std::_Exit(1);
  }
  // The exit handler gives the writer its bounded time, then lets go.
  std::exit(0);
}

TEST(ConsoleSink, AConsoleNobodyReadsNeitherBlocksPostsNorKeepsTheProcessFromExiting) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(postIntoAConsoleNobodyReads(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
