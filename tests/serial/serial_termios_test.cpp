// What the POSIX port leaves on the terminal, read back with termios, and the
// speeds termios has. (Which speeds a Windows driver takes is its own choice.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/serial.h"
#include "support/pty_pair.h"

namespace {

using feltwise_test::openCommsPort;
using feltwise_test::PtyPair;

TEST(SerialOpen, AppliesRawEightNoneOneAt115200) {
  PtyPair pty;
  auto port = openCommsPort(pty.path());
  // The settings live on the terminal, so any descriptor of it shows them.
  const int fd = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_NE(fd, -1);
  termios tio{};
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialOpen, AnUnsupportedSpeedFailsToApplyAndFreesThePort) {
  PtyPair pty;
  try {
    serial::Serial port(pty.path(), 123457, feltwise_test::commsTimeouts());
    ADD_FAILURE() << "opened at a speed termios does not have";
  } catch (const serial::IOException& e) {
    EXPECT_NE(std::string(e.what()).find("Error setting serial port settings."), std::string::npos) << e.what();
  }
  EXPECT_TRUE(openCommsPort(pty.path())->isOpen());
}

// What the device had sent before the port opened is dropped, and counted:
// the protocols take it as a device that was already sending.
TEST(SerialOpen, CountsTheBytesItDroppedAsItOpened) {
  PtyPair pty;
  EXPECT_EQ(openCommsPort(pty.path())->bytesDroppedAtOpen(), 0u);
  pty.send("stale");
  // The kernel moves what the master wrote to the input queue on a worker of its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(openCommsPort(pty.path())->bytesDroppedAtOpen(), 5u);
}

}  // namespace
