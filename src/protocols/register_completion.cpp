#include "protocols/register_completion.h"

#include "feltwise_comm/wait_interrupt.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace feltwise_comm {
namespace {

using Clock = RegisterCompletion::Clock;

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

bool RegisterCompletion::mayWrite(Clock::time_point now) {
  if (busy_) return false;
  if (owed_ && now < quiet_since_ + kSettle) return false;
  // Settled: whatever was owed is taken as lost.
  owed_ = false;
  return true;
}

void RegisterCompletion::release(bool owed) {
  busy_ = false;
  if (owed) {
    owed_ = true;
    quiet_since_ = Clock::now();
  }
  cv_.notify_all();
}

bool RegisterCompletion::accepts(ReplyKind kind) const {
  if (!busy_ || done_) return false;
  switch (kind) {
    case ReplyKind::kData:
      return kind_ == RegisterKind::kRead;
    case ReplyKind::kAcknowledgement:
      return kind_ == RegisterKind::kWrite;
    case ReplyKind::kError:
      return true;
  }
  return false;
}

bool RegisterCompletion::expectsReply(Clock::time_point& until) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  if (busy_ && !done_) {
    until = now < deadline_ ? deadline_ : deadline_ + kSettle;
    return true;
  }
  if (owed_ && now < quiet_since_ + kSettle) {
    until = quiet_since_ + kSettle;
    return true;
  }
  return false;
}

void RegisterCompletion::post(ReplyKind kind, std::uint16_t status) {
  static const std::vector<std::uint8_t> kNoBytes;
  post(kind, status, kNoBytes);
}

void RegisterCompletion::post(ReplyKind kind, std::uint16_t status, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (accepts(kind)) {
    // Assigned first: if it throws, the request still waits and nothing changed.
    bytes_.assign(bytes.begin(), bytes.end());
    status_ = status;
    done_ = true;
  } else {
    // Dropped. While one is owed this is taken to be it; either way the line
    // was not quiet.
    owed_ = false;
    quiet_since_ = Clock::now();
  }
  cv_.notify_all();
}

RegisterCompletion::Turn::Turn(RegisterCompletion& line, RegisterKind kind, std::int64_t timeout_ms,
                               std::vector<std::uint8_t>* out)
    : line_(line), kind_(kind), deadline_(deadlineAfter(timeout_ms)), out_(out) {
  std::unique_lock<std::mutex> lock(line_.mutex_);
  for (;;) {
    const Clock::time_point now = Clock::now();
    // The time-out first: a turn that comes back only after both its
    // deadline and the settle have passed (its thread not run for that long,
    // or the caller's check running long) has run out of time and sends
    // nothing, rather than send a request that fails as soon as it is out.
    if (now >= deadline_) {
      lock.unlock();
      throwTimeout();
    }
    if (line_.mayWrite(now)) break;
    Clock::time_point wake = deadline_;
    if (!line_.busy_) wake = std::min(wake, line_.quiet_since_ + kSettle);
    line_.cv_.wait_until(lock, WaitInterrupt::nextWake(wake));
    // The caller's check may throw: this turn then never took the line.
    lock.unlock();
    WaitInterrupt::poll();
    lock.lock();
  }
  line_.busy_ = true;
  line_.kind_ = kind_;
  line_.deadline_ = deadline_;
  line_.done_ = false;
  line_.status_ = kPending;
  holding_ = true;
}

RegisterCompletion::Turn::~Turn() {
  if (!holding_) return;
  std::lock_guard<std::mutex> lock(line_.mutex_);
  line_.release(true);
}

void RegisterCompletion::Turn::await() {
  std::unique_lock<std::mutex> lock(line_.mutex_);
  while (!line_.done_ && Clock::now() < deadline_) {
    line_.cv_.wait_until(lock, WaitInterrupt::nextWake(deadline_));
    if (line_.done_) break;
    // The caller's check may throw: the turn then ends given up, as a time-out does.
    lock.unlock();
    WaitInterrupt::poll();
    lock.lock();
  }
  const bool answered = line_.done_;
  holding_ = false;
  line_.release(!answered);
  if (!answered) {
    lock.unlock();
    throwTimeout();
  }
  if (line_.status_ != kSuccess) {
    throw RegisterStatusError(kind_, line_.status_);
  }
  if (out_ != nullptr) out_->assign(line_.bytes_.begin(), line_.bytes_.end());
}

void RegisterCompletion::Turn::giveUp() {
  {
    std::lock_guard<std::mutex> lock(line_.mutex_);
    holding_ = false;
    line_.release(true);
  }
  throwTimeout();
}

void RegisterCompletion::Turn::throwTimeout() {
  if (out_ != nullptr) out_->clear();
  throw RegisterTimeoutError(kind_);
}

}  // namespace feltwise_comm
