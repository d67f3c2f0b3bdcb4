// Checks the class and the exact message of an error: the messages are part
// of the interface (Python shows them to the user as they are).
#ifndef FELTWISE_TESTS_SUPPORT_EXPECT_ERROR_H
#define FELTWISE_TESTS_SUPPORT_EXPECT_ERROR_H

#include <gtest/gtest.h>

#include <string>

namespace feltwise_test {

template <typename Error, typename Action>
void expect_error(Action action, const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "no error; expected \"" << message << "\"";
  } catch (const Error& error) {
    EXPECT_EQ(error.what(), message);
  }
}

}  // namespace feltwise_test

#endif  // FELTWISE_TESTS_SUPPORT_EXPECT_ERROR_H
