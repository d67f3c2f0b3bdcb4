// Where a register request waits for its answer.
//
// Versions 3 and 4 carry register replies and statuses on the same line as the
// samples, so the acquisition thread reads them and posts them here, while the
// caller's thread waits. Replies name no request: whatever is posted while a
// request waits answers it. A request therefore empties its slot (arm) before
// it writes, so that a late answer to an earlier request, already posted,
// cannot answer this one, and an answer that arrives before the caller starts
// waiting is not missed.
#ifndef FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H
#define FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace feltwise_comm {

class RegisterCompletion {
 public:
  static constexpr std::uint16_t kSuccess = 1;
  static constexpr std::uint16_t kPending = 65535;

  // `kind` names the request in messages: "read" or "write".
  explicit RegisterCompletion(const char* kind) : kind_(kind) {}

  // Empties the slot. Call before the request is written.
  void arm();

  // Completes the waiting request (if any) with `status`; a successful read
  // reply also hands over its data bytes.
  void post(std::uint16_t status);
  void post(std::uint16_t status, const std::vector<std::uint8_t>& bytes);

  // Waits up to `timeout_ms` for the completion. On success copies the posted
  // bytes to `out` (when given). Raises "Register <kind> timeout" (emptying
  // `out`) or "Register <kind> error: " + status. A WaitInterrupt check of
  // the caller's thread runs at least every 50 ms, without the slot's mutex.
  void await(std::int64_t timeout_ms, std::vector<std::uint8_t>* out = nullptr);

  // Completes both kinds with one status, taking the read slot's mutex first:
  // the one order every path that holds both follows.
  static void postBoth(RegisterCompletion& read, RegisterCompletion& write, std::uint16_t status);

 private:
  void postLocked(std::uint16_t status);

  const char* kind_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::uint16_t status_ = 0;
  std::vector<std::uint8_t> bytes_;
};

// "Timeout must be greater than 0 ms" for a time-out below 1, before anything is sent.
void checkRegisterTimeout(std::int64_t timeout_ms);

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H
