// The not-plugged-in line is printed once per process, so a test of it needs a
// process of its own. GoogleTest's "threadsafe" death-test style starts a new
// copy of the test program for the statement, with every flag still set.
#ifndef FELTWISE_TESTS_MODELS_FRESH_PROCESS_H
#define FELTWISE_TESTS_MODELS_FRESH_PROCESS_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "support/console_capture.h"

namespace feltwise_test {

inline const std::string kUnpluggedLine =
    "\x1b[1;32m[Feltwise]:\x1b[0m \x1b[35m[Sensor]\x1b[0m \x1b[33mconfigured but not plugged in\x1b[0m\n";

// Runs `body` with standard output captured; exits 0 when it printed exactly
// `expected`, 1 otherwise (telling what it printed on standard error).
template <typename Body>
[[noreturn]] void exit_on_stdout(Body body, const std::string& expected) {
  ::testing::internal::CaptureStdout();
  body();
  const std::string printed = feltwise_test::capturedStdout();
  if (printed == expected) std::_Exit(0);
  std::cerr << "printed " << printed.size() << " bytes, " << printed.size() / kUnpluggedLine.size() << " lines";
  std::_Exit(1);
}

}  // namespace feltwise_test

// Checks, in a fresh process, that `body` prints exactly `expected`.
#define EXPECT_PRINTS_IN_FRESH_PROCESS(body, expected)                                              \
  do {                                                                                              \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                 \
    EXPECT_EXIT(::feltwise_test::exit_on_stdout(body, expected), ::testing::ExitedWithCode(0), ""); \
  } while (false)

#endif  // FELTWISE_TESTS_MODELS_FRESH_PROCESS_H
