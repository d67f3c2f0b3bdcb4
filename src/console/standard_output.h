// The console sink's one seam per system: a raw write to the process's
// standard output, below any buffering. standard_output_posix.cpp writes to
// file descriptor 1, standard_output_win.cpp to the standard output handle;
// the build picks one.
#ifndef FELTWISE_CONSOLE_STANDARD_OUTPUT_H
#define FELTWISE_CONSOLE_STANDARD_OUTPUT_H

#include <cstddef>

namespace feltwise_comm {
namespace console {

// Writes some of `bytes`, blocking as long as the output does. Returns how
// many were written (at least 1), or 0 when the output is gone or refuses
// them for good (closed pipe, bad descriptor): the caller drops them.
std::size_t writeStandardOutput(const char* bytes, std::size_t size) noexcept;

// Called first on the writer thread: signals meant for the program (SIGINT,
// and SIGPIPE from a pipe whose reader left) must not be delivered to it.
void shieldWriterThread() noexcept;

}  // namespace console
}  // namespace feltwise_comm

#endif  // FELTWISE_CONSOLE_STANDARD_OUTPUT_H
