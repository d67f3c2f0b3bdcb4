// connect() on ports that do not open: the cause, the error number and the
// system's text arrive on PortOpenError as the port layer recorded them at
// the call that failed, while what() stays the fixed "Cannot open serial
// port: " + port.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "feltwise_comm/feltwise_comms.h"
#include "feltwise_comm/port_open_error.h"
#include "support/pty_pair.h"

namespace {

using feltwise_comm::FeltwiseComms;
using feltwise_comm::PortOpenError;
using Cause = PortOpenError::Cause;
using feltwise_test::PtyPair;

std::optional<PortOpenError> refusalOf(const std::string& path) {
  FeltwiseComms comms;
  comms.init("1");
  try {
    comms.connect(path);
  } catch (const PortOpenError& error) {
    return error;
  }
  return std::nullopt;
}

// A port that does not open, and what holds it in that state while it lives.
struct Refused {
  std::string path;
  std::shared_ptr<void> keep;
};

struct RefusalCase {
  const char* name;
  std::function<Refused()> make;
  Cause cause;
  std::set<int> error_numbers;
};

class PortThatDoesNotOpen : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PortThatDoesNotOpen, CarriesTheCauseAndErrorNumberOfTheFailedCall) {
  const RefusalCase& c = GetParam();
  const Refused refused = c.make();
  const std::optional<PortOpenError> error = refusalOf(refused.path);
  ASSERT_TRUE(error.has_value()) << refused.path << " opened";
  EXPECT_EQ(std::string(error->what()), "Cannot open serial port: " + refused.path);
  EXPECT_EQ(error->port(), refused.path);
  EXPECT_EQ(error->cause(), c.cause) << feltwise_comm::causeName(error->cause());
  EXPECT_EQ(c.error_numbers.count(error->errorNumber()), 1u) << error->errorNumber();
  EXPECT_EQ(error->systemText(), std::strerror(error->errorNumber()));
  EXPECT_EQ(error->detail().find("platform_port"), std::string::npos) << error->detail();
}

Refused heldPort() {
  auto pty = std::make_shared<PtyPair>();
  auto holder = std::make_shared<FeltwiseComms>();
  holder->init("1");
  holder->connect(pty->path());
  // The holder goes first: it closes the port before the line goes away.
  return {pty->path(),
          std::make_shared<std::pair<std::shared_ptr<PtyPair>, std::shared_ptr<FeltwiseComms>>>(pty, holder)};
}

std::string temporaryDirectory() {
  char pattern[] = "/tmp/feltwise-port-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made != nullptr ? made : "";
}

Refused directory() {
  const std::string path = temporaryDirectory();
  return {path, std::shared_ptr<void>(nullptr, [path](void*) { ::rmdir(path.c_str()); })};
}

Refused regularFile() {
  const std::string directory = temporaryDirectory();
  const std::string path = directory + "/notes.txt";
  if (std::FILE* file = std::fopen(path.c_str(), "w")) {
    std::fputs("not a port", file);
    std::fclose(file);
  }
  return {path, std::shared_ptr<void>(nullptr, [directory, path](void*) {
            ::unlink(path.c_str());
            ::rmdir(directory.c_str());
          })};
}

INSTANTIATE_TEST_SUITE_P(Causes, PortThatDoesNotOpen,
                         ::testing::Values(
                             // A second open meets the first one's exclusive mode (EBUSY) or, for
                             // root, whom that does not stop, its lock (EWOULDBLOCK).
                             RefusalCase{"Busy", heldPort, Cause::kBusy, {EBUSY, EWOULDBLOCK}},
                             RefusalCase{"Missing",
                                         [] {
                                           return Refused{"/dev/feltwise-no-such-port", nullptr};
                                         },
                                         Cause::kMissing,
                                         {ENOENT}},
                             RefusalCase{"DevNull",
                                         [] {
                                           return Refused{"/dev/null", nullptr};
                                         },
                                         Cause::kNotSerialPort,
                                         {ENOTTY}},
                             RefusalCase{"Directory", directory, Cause::kNotSerialPort, {EISDIR}},
                             RefusalCase{"RegularFile", regularFile, Cause::kNotSerialPort, {ENOTTY}}),
                         [](const ::testing::TestParamInfo<RefusalCase>& param) {
                           return std::string(param.param.name);
                         });

// A terminal the user may not open. Root may open anything, so as root the
// attempt runs in a child process that has become nobody.
TEST(PortThatDoesNotOpen, ForbiddenTerminalIsAPermissionError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  PtyPair pty;
  ASSERT_EQ(::chmod(pty.path().c_str(), 0), 0);
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && ::setuid(65534) != 0) std::_Exit(3);
        const std::optional<PortOpenError> error = refusalOf(pty.path());
        if (!error) std::_Exit(2);
        std::_Exit(error->cause() == Cause::kPermission && error->errorNumber() == EACCES ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
