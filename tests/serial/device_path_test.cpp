#include <gtest/gtest.h>

#include "serial/serial.h"

namespace {

struct DevicePathCase {
  const char* name;
  const wchar_t* expected;
};

class DevicePath : public ::testing::TestWithParam<DevicePathCase> {};

TEST_P(DevicePath, PrefixesTheDeviceNamespaceOnce) {
  EXPECT_EQ(serial::windowsDevicePath(GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Names, DevicePath,
                         ::testing::Values(DevicePathCase{"COM3", L"\\\\.\\COM3"},
                                           DevicePathCase{"\\\\.\\COM12", L"\\\\.\\COM12"},
                                           DevicePathCase{"\\\\.COM1", L"\\\\.\\\\\\.COM1"},
                                           DevicePathCase{"", L"\\\\.\\"}));

}  // namespace
