#include "serial/serial.h"

namespace serial {

std::wstring windowsDevicePath(const std::string& port) {
  static const std::wstring prefix = L"\\\\.\\";
  // Each byte of the name becomes one 16-bit unit, as the device names are ASCII.
  std::wstring wide;
  wide.reserve(port.size());
  for (unsigned char c : port) wide.push_back(static_cast<wchar_t>(c));
  if (wide.compare(0, prefix.size(), prefix) == 0) return wide;
  return prefix + wide;
}

}  // namespace serial
