#include "console/standard_output.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace feltwise_comm {
namespace console {

std::size_t writeStandardOutput(const char* bytes, std::size_t size) noexcept {
  for (;;) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes, size);
    if (written > 0) return static_cast<std::size_t>(written);
    if (written < 0 && errno == EINTR) continue;
    // EAGAIN: somebody made the shared descriptor non-blocking. Dropping is
    // better than spinning; the next line may fit.
    return 0;
  }
}

void shieldWriterThread() noexcept {
  // With SIGPIPE blocked here, a write to a pipe whose reader has gone fails
  // with EPIPE instead of ending the program.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace console
}  // namespace feltwise_comm
