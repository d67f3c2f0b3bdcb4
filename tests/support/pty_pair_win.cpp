// The line of a PtyPair in a Windows build run under Wine: one of the
// null-modem cables tools/test-windows.sh lays outside Wine, whose two ends
// Wine maps as COM ports. The test holds the sensor end through the same Win32
// calls a Windows program would use.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "support/pty_pair.h"

namespace feltwise_test {
namespace {

struct Cable {
  std::string library_end;
  std::string sensor_end;
};

constexpr const char* kCablesVariable = "FELTWISE_TEST_NULL_MODEMS";

// A write gives up after this long without room, so that sendSome can keep
// its own limit; the sender never changes the port's time-outs, the receiver
// sets only its read time-out, and both rewrite this one unchanged.
constexpr DWORD kWriteSliceMs = 10;

std::vector<Cable> cables() {
  const char* list = std::getenv(kCablesVariable);
  std::vector<Cable> out;
  std::string text = list == nullptr ? "" : list;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    const std::string pair = text.substr(at, end - at);
    const std::size_t colon = pair.find(':');
    if (colon != std::string::npos) out.push_back({pair.substr(0, colon), pair.substr(colon + 1)});
    at = end + 1;
  }
  return out;
}

// Each PtyPair takes the cable after the last one taken: bytes a test left on
// a cable have settled (and are discarded) by the time it comes round again.
std::atomic<unsigned> next_cable{0};

COMMTIMEOUTS timeoutsFor(int read_wait_ms) {
  COMMTIMEOUTS timeouts{};
  if (read_wait_ms <= 0) {
    // Return at once with what is there.
    timeouts.ReadIntervalTimeout = MAXDWORD;
  } else {
    // Return soon after the first bytes, or after the wait. Windows has a
    // setting for exactly that (MAXDWORD, MAXDWORD, wait), which Wine reads as
    // "wait for all": a gap of a millisecond ends the read on both.
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(read_wait_ms);
  }
  timeouts.WriteTotalTimeoutConstant = kWriteSliceMs;
  return timeouts;
}

HANDLE openSensorEnd(const std::string& name) {
  const std::string device = "\\\\.\\" + name;
  HANDLE handle = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(handle, &dcb);
  dcb.fBinary = TRUE;
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  COMMTIMEOUTS timeouts = timeoutsFor(0);
  if (!::SetCommState(handle, &dcb) || !::SetCommTimeouts(handle, &timeouts)) {
    ::CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

PtyPair::PtyPair() {
  const std::vector<Cable> list = cables();
  if (list.empty()) {
    throw std::runtime_error(std::string(kCablesVariable) +
                             " names no null-modem cable: run the Windows tests with tools/test-windows.sh");
  }
  for (std::size_t attempt = 0; attempt < list.size(); ++attempt) {
    const Cable& cable = list[next_cable.fetch_add(1) % list.size()];
    // Fails for a cable another PtyPair of this test holds: ports open exclusively.
    HANDLE handle = openSensorEnd(cable.sensor_end);
    if (handle == INVALID_HANDLE_VALUE) continue;
    // What the last test on this cable left for the sensor goes; what it left
    // for the library goes when the library opens its end.
    ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    sensor_ = handle;
    read_wait_ms_ = 0;
    path_ = cable.library_end;
    std::uint8_t stale[256];
    while (receiveSome(stale, sizeof stale, 0) != 0) {
    }
    return;
  }
  throw std::runtime_error(std::string("no free null-modem cable in ") + kCablesVariable);
}

PtyPair::~PtyPair() {
  if (sensor_ != nullptr) ::CloseHandle(static_cast<HANDLE>(sensor_));
}

std::size_t PtyPair::receiveSome(std::uint8_t* into, std::size_t size, int wait_ms) {
  HANDLE handle = static_cast<HANDLE>(sensor_);
  if (wait_ms < 0) wait_ms = 0;
  if (wait_ms != read_wait_ms_) {
    COMMTIMEOUTS timeouts = timeoutsFor(wait_ms);
    if (!::SetCommTimeouts(handle, &timeouts)) return 0;
    read_wait_ms_ = wait_ms;
  }
  DWORD got = 0;
  if (!::ReadFile(handle, into, static_cast<DWORD>(size), &got, nullptr)) return 0;
  return got;
}

std::size_t PtyPair::sendSome(const std::uint8_t* data, std::size_t size, int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    DWORD written = 0;
    // A write that found no room within its slice ends short, or fails with a time-out.
    if (!::WriteFile(static_cast<HANDLE>(sensor_), data, static_cast<DWORD>(size), &written, nullptr) &&
        ::GetLastError() != ERROR_SEM_TIMEOUT && ::GetLastError() != ERROR_TIMEOUT) {
      throw std::runtime_error("write to the sensor end of the null-modem cable failed: " +
                               std::to_string(::GetLastError()));
    }
    if (written != 0 || std::chrono::steady_clock::now() >= deadline) return written;
  }
}

void PtyPair::unplug() {
  throw std::logic_error(
      "a null-modem cable of a Wine run cannot be pulled: skip with FELTWISE_SKIP_UNLESS_UNPLUGGABLE");
}

bool PtyPair::canUnplug() { return false; }

int PtyPair::missingPortError() { return ERROR_PATH_NOT_FOUND; }

std::string PtyPair::missingPortErrorText() { return ""; }

bool PtyPair::opensExclusively() {
  // Only Wine's ntdll exports its version.
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

}  // namespace feltwise_test
