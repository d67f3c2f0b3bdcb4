// Where a register request waits for its answer, and what keeps the answer
// to one request from completing another.
//
// Versions 3 and 4 carry register replies on the same line as the samples:
// the acquisition thread reads them and posts them here, the caller's thread
// waits. The wire carries no sequence number and a device may fill a reply's
// words with anything, so a reply belongs to a request by the order of the
// line alone, and these rules keep that order:
//
// - One request on the line at a time. A request takes the line (`Turn`)
//   before it writes and holds it until it completes or gives up; another
//   caller waits for the line within its own time-out.
// - A reply completes only a request of its kind: a data reply (a read
//   reply, whole, cut or malformed) only a read, an acknowledgement only a
//   write, an error whichever waits. A reply of the other kind is dropped, so
//   the waiting request times out rather than succeed with what another
//   request was sent.
// - A request that gave up (its time-out passed, or the port could not send
//   it whole) leaves a reply owed. The next request is not written until a
//   reply has arrived (and been dropped) or no reply has arrived for
//   kSettle since the give-up. That wait counts in the next request's own
//   time-out: if the time-out passes first, the request fails with its
//   time-out error and sends nothing.
// - A reply that arrives while no request waits is dropped, never kept.
// - A reply is expected only while a request waits for it or one is owed
//   (`expectsReply`); a decoder that sees what looks like the start of a
//   reply at any other time takes it for bytes of the sample stream.
//
// What no host can tell apart: a reply that comes later than kSettle after
// its request gave up, or a second copy of a reply that arrives after the
// next request was written, completes that request when the kinds match.
// kSettle bounds how late a device may answer.
//
// Failures: RegisterTimeoutError, "Register <kind> timeout" (a read's `out`
// is emptied), and RegisterStatusError, "Register <kind> error: " + the
// status in decimal (`out` left as it was), <kind> being "read" or "write"
// (feltwise_comm/register_errors.h).
//
// Threads: `Turn` runs on the caller's thread, `post` on the acquisition
// thread. One mutex guards everything here; it is never held while the port
// is read or written.
#ifndef FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H
#define FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "feltwise_comm/register_errors.h"

namespace feltwise_comm {
enum class ReplyKind { kData, kAcknowledgement, kError };

class RegisterCompletion {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::uint16_t kSuccess = 1;
  static constexpr std::uint16_t kPending = 65535;
  // Twice the comms object's 100 ms read time-out, so that a reply already
  // on its way when its request gave up (and a cut one, which takes a read
  // time-out to be seen as cut) is in before the next request goes out, and
  // still half of the default 500 ms time-out left for the next request.
  static constexpr std::chrono::milliseconds kSettle{250};

  // One request's hold on the line, from before its write to its end. The
  // constructor waits for the line (see the rules above) and throws the
  // time-out error, emptying `out` when given, if `timeout_ms` passes first.
  // A turn that ends without `await` or `giveUp` (the port threw while the
  // request was written) counts as given up.
  class Turn {
   public:
    Turn(RegisterCompletion& line, RegisterKind kind, std::int64_t timeout_ms,
         std::vector<std::uint8_t>* out = nullptr);
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

    // Waits for the reply until the deadline. On success copies the reply's
    // bytes to `out` (when given); otherwise throws the time-out or error.
    // Here and in the constructor's wait for the line, a WaitInterrupt check
    // of the caller's thread runs at least every 50 ms, without the mutex.
    void await();
    // The request was not sent whole: gives up at once with the time-out error.
    [[noreturn]] void giveUp();

   private:
    [[noreturn]] void throwTimeout();

    RegisterCompletion& line_;
    RegisterKind kind_;
    Clock::time_point deadline_;
    std::vector<std::uint8_t>* out_;
    bool holding_ = false;
  };

  // Whether a reply may begin now: a request waits for one, or one is owed
  // and the settle has not passed. `until` is then the moment by which its
  // bytes must have come: the waiting request's deadline (kSettle later for
  // a request whose time has just run out, which gives up owing it), or the
  // end of the settle. Acquisition thread.
  bool expectsReply(Clock::time_point& until);

  // A reply or status from the device. `bytes` are a successful data
  // reply's data.
  void post(ReplyKind kind, std::uint16_t status);
  void post(ReplyKind kind, std::uint16_t status, const std::vector<std::uint8_t>& bytes);

 private:
  // Under mutex_: the line is free and owes nothing (or has settled).
  bool mayWrite(Clock::time_point now);
  void release(bool owed);
  bool accepts(ReplyKind kind) const;

  std::mutex mutex_;
  std::condition_variable cv_;
  bool busy_ = false;  // a request holds the line
  RegisterKind kind_ = RegisterKind::kRead;
  Clock::time_point deadline_{};  // the holder's
  bool done_ = false;             // its reply has come
  std::uint16_t status_ = kPending;
  std::vector<std::uint8_t> bytes_;
  bool owed_ = false;
  Clock::time_point quiet_since_{};  // the last give-up or dropped reply
};

// "Timeout must be greater than 0 ms" for a time-out below 1, before anything is sent.
void checkRegisterTimeout(std::int64_t timeout_ms);

}  // namespace feltwise_comm

#endif  // FELTWISE_PROTOCOLS_REGISTER_COMPLETION_H
