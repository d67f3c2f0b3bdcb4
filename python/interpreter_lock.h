// Releasing the interpreter lock around a wait, safely also while the
// process exits.
//
// When the main thread returns, Python finalises. A thread that asks for the
// lock back after that is ended by the interpreter (pthread_exit), which
// unwinds its C++ frames by force: through a noexcept frame (a destructor
// such as pybind11's gil_scoped_release) that is std::terminate, and the
// process dies with "terminate called without an active exception" and
// status 134 instead of its own. Nor can such an unwind pass pybind11's
// frames safely: their cleanups would release Python objects without the
// lock. So none of our threads may ask for the lock once finalising can
// begin.
//
// - withoutInterpreter(fn) runs fn with the lock released and takes it back
//   in plain code, never in a destructor.
// - enterExit(), called by feltwise's exit hook (atexit, which Python runs
//   before it finalises), marks the process as exiting. From then on a
//   thread other than the exiting one does not take the lock back: it parks
//   for good (blocked, holding nothing of ours) and the process exits around
//   it. A thread already asking for the lock then gets it first: enterExit
//   releases the lock and waits until every such request was served.
// - Once the interpreter finalises (also without that hook: an embedding
//   program, atexit cleared), threads park as well; the thread that
//   finalises, whose lock is held at the call, runs fn without releasing it.
// - withInterpreter(fn), inside fn, takes the lock back for a moment (to look
//   for a signal); once exiting it throws InterpreterGone instead, which ends
//   the wait with the library's locks released, and the thread parks on its
//   way out.
#ifndef FELTWISE_PYTHON_INTERPRETER_LOCK_H
#define FELTWISE_PYTHON_INTERPRETER_LOCK_H

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

namespace feltwise_python {

// Thrown inside a wait when the interpreter can no longer be entered.
struct InterpreterGone : std::runtime_error {
  InterpreterGone() : std::runtime_error("The interpreter is shutting down") {}
};

inline bool interpreterFinalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

[[noreturn]] inline void parkForGood() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

namespace detail {

struct ExitState {
  std::atomic<bool> exiting{false};
  std::atomic<std::thread::id> exit_thread{};
  // Threads between their look at `exiting` and having the lock back.
  std::atomic<int> taking_back{0};
};

inline ExitState& exitState() {
  static ExitState state;
  return state;
}

// The state this thread released, while it runs without the lock.
inline PyThreadState*& releasedState() {
  static thread_local PyThreadState* state = nullptr;
  return state;
}

// False when this thread must not ask for the lock any more.
inline bool mayTakeBack() {
  ExitState& exit = exitState();
  if (interpreterFinalizing()) return false;
  return !exit.exiting.load() || exit.exit_thread.load() == std::this_thread::get_id();
}

// Takes the lock back, or returns false (without it) when this thread must not.
inline bool tryTakeBack(PyThreadState* state) {
  ExitState& exit = exitState();
  // Announced before the look: enterExit, which sets `exiting` first and
  // looks at the count after, either sees this request and waits for it, or
  // this thread sees `exiting` and stays away.
  exit.taking_back.fetch_add(1);
  if (!mayTakeBack()) {
    exit.taking_back.fetch_sub(1);
    return false;
  }
  PyEval_RestoreThread(state);
  exit.taking_back.fetch_sub(1);
  return true;
}

inline void takeBack(PyThreadState* state) {
  if (!tryTakeBack(state)) parkForGood();
}

}  // namespace detail

// The process exits: see above. Call with the lock held, on the exiting
// thread, before the interpreter finalises.
inline void enterExit() {
  detail::ExitState& exit = detail::exitState();
  if (exit.exiting.load()) return;
  exit.exit_thread.store(std::this_thread::get_id());
  PyThreadState* const state = PyEval_SaveThread();
  exit.exiting.store(true);
  // Requests already past their look are served now, while the lock is free.
  // A bound, should a thread hold the lock for long: its request may then be
  // ended by finalising, as without this hook.
  for (int waited_ms = 0; exit.taking_back.load() != 0 && waited_ms < 2000; ++waited_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PyEval_RestoreThread(state);
}

// In a child process after fork(): only the forking thread is here; requests
// of other threads of the parent will never end.
inline void forgetExitRequestsAfterFork() noexcept { detail::exitState().taking_back.store(0); }

template <typename Fn>
auto withoutInterpreter(Fn&& fn) -> decltype(fn()) {
  using Result = decltype(fn());
  // Only the thread that finalises holds the lock once finalising has begun.
  if (interpreterFinalizing()) return fn();
  PyThreadState* const state = PyEval_SaveThread();
  PyThreadState* const outer = std::exchange(detail::releasedState(), state);
  std::exception_ptr failure;
  std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
  try {
    if constexpr (std::is_void_v<Result>) {
      fn();
    } else {
      result.emplace(fn());
    }
  } catch (...) {
    failure = std::current_exception();
  }
  detail::releasedState() = outer;
  detail::takeBack(state);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// For code inside withoutInterpreter: runs fn with the lock taken back.
template <typename Fn>
void withInterpreter(Fn&& fn) {
  PyThreadState* const state = detail::releasedState();
  if (state == nullptr) {
    fn();
    return;
  }
  if (!detail::tryTakeBack(state)) throw InterpreterGone();
  detail::releasedState() = nullptr;
  try {
    fn();
  } catch (...) {
    detail::releasedState() = PyEval_SaveThread();
    throw;
  }
  detail::releasedState() = PyEval_SaveThread();
}

}  // namespace feltwise_python

#endif  // FELTWISE_PYTHON_INTERPRETER_LOCK_H
