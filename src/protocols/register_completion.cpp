#include "protocols/register_completion.h"

#include "protocols/wait_interrupt.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

namespace feltwise_comm {
namespace {

using Clock = std::chrono::steady_clock;

// Callers may pass any 64-bit time-out; now + INT64_MAX ms would overflow the
// clock and expire at once. A century is "wait for ever" for any caller, and
// stays representable where the library converts the deadline to the system
// clock to wait.
Clock::time_point deadlineAfter(std::int64_t timeout_ms) {
  constexpr std::int64_t kLongestWaitMs = std::int64_t{100} * 365 * 24 * 3600 * 1000;
  return Clock::now() + std::chrono::milliseconds(std::min(timeout_ms, kLongestWaitMs));
}

}  // namespace

void checkRegisterTimeout(std::int64_t timeout_ms) {
  if (timeout_ms < 1) throw std::runtime_error("Timeout must be greater than 0 ms");
}

void RegisterCompletion::arm() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = false;
  status_ = kPending;
}

void RegisterCompletion::postLocked(std::uint16_t status) {
  status_ = status;
  done_ = true;
  cv_.notify_all();
}

void RegisterCompletion::post(std::uint16_t status) {
  std::lock_guard<std::mutex> lock(mutex_);
  postLocked(status);
}

void RegisterCompletion::post(std::uint16_t status, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_.assign(bytes.begin(), bytes.end());
  postLocked(status);
}

void RegisterCompletion::postBoth(RegisterCompletion& read, RegisterCompletion& write, std::uint16_t status) {
  std::lock_guard<std::mutex> read_lock(read.mutex_);
  std::lock_guard<std::mutex> write_lock(write.mutex_);
  read.postLocked(status);
  write.postLocked(status);
}

void RegisterCompletion::await(std::int64_t timeout_ms, std::vector<std::uint8_t>* out) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point deadline = deadlineAfter(timeout_ms);
  while (!done_ && Clock::now() < deadline) {
    cv_.wait_until(lock, WaitInterrupt::nextWake(deadline));
    if (done_) break;
    // The caller's check may throw; the request then ends unanswered, as after
    // a time-out, and the next request's arm() forgets a late answer.
    lock.unlock();
    WaitInterrupt::poll();
    lock.lock();
  }
  if (!done_) {
    lock.unlock();
    if (out != nullptr) out->clear();
    throw std::runtime_error(std::string("Register ") + kind_ + " timeout");
  }
  done_ = false;
  if (status_ != kSuccess) {
    throw std::runtime_error(std::string("Register ") + kind_ + " error: " + std::to_string(status_));
  }
  if (out != nullptr) out->assign(bytes_.begin(), bytes_.end());
}

}  // namespace feltwise_comm
