#include "console/standard_output.h"

#include <windows.h>

namespace feltwise_comm {
namespace console {

std::size_t writeStandardOutput(const char* bytes, std::size_t size) noexcept {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return 0;
  const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
  DWORD written = 0;
  if (!WriteFile(output, bytes, chunk, &written, nullptr)) return 0;
  return written;
}

// Windows delivers console control events on a thread of their own and has
// no SIGPIPE: a write to a closed pipe simply fails.
void shieldWriterThread() noexcept {}

}  // namespace console
}  // namespace feltwise_comm
