// Standard output as a test captures it with GoogleTest's CaptureStdout: the
// library's console lines reach it from the console sink's writer thread, so
// a test waits until the sink has written everything queued before it stops
// the capture.
#ifndef FELTWISE_TESTS_SUPPORT_CONSOLE_CAPTURE_H
#define FELTWISE_TESTS_SUPPORT_CONSOLE_CAPTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "console/console_sink.h"

namespace feltwise_test {

inline std::string capturedStdout() {
  feltwise_comm::console::drain(std::chrono::seconds(5));
  return ::testing::internal::GetCapturedStdout();
}

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_CONSOLE_CAPTURE_H
