// The comms object writing to a console nobody reads: standard output made a
// small pipe, in a child process of the death-test machinery (POSIX only).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console/console_sink.h"
#include "feltwise_comm/feltwise_comms.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_test::PtyPair;

// Standard output is a pipe that nobody reads while the device sends error
// lines between its samples: the echo fills the pipe and the console queue,
// and samples must go on arriving; the object must still be destroyed.
[[noreturn]] void streamErrorLinesIntoAConsoleNobodyReads() {
  int ends[2];
  if (::pipe(ends) != 0) std::_Exit(2);
  ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
  ::dup2(ends[1], STDOUT_FILENO);
  PtyPair pty;
  auto comms = std::make_unique<FeltwiseComms>();
  comms->init("3");
  comms->connect(pty.path());
  std::thread device([&pty] {
    for (int k = 0;; ++k) pty.send("E" + std::string(40, '!') + "\x1b[2J\n" + std::to_string(k % 1000) + ",1\n");
  });
  device.detach();  // ends with the process

  std::vector<double> sample;
  const auto dropped = feltwise_comm::console::droppedLines();
  for (int taken = 0; feltwise_comm::console::droppedLines() < dropped + 1000; ++taken) {
    comms->read_raw(sample, 2000);
    if (sample.empty()) {
      std::cerr << "samples stopped after " << taken;
      std::_Exit(1);
    }
  }
  comms.reset();
  std::_Exit(0);
}

TEST(Comms, AConsoleNobodyReadsStopsNeitherSamplesNorDestruction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(streamErrorLinesIntoAConsoleNobodyReads(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
