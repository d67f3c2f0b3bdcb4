#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <fstream>

#include "parameters/regular_file.h"

namespace feltwise_comm {

FileRead read_regular_file(const std::string& path, std::size_t limit, std::string& bytes) {
  // Windows has no FIFO that an open would wait on, but a device name (CON,
  // NUL, COM1) opens as a file: only what _stat calls a regular file is read.
  struct _stat64 named;
  if (::_stat64(path.c_str(), &named) != 0) return FileRead::missing;
  if ((named.st_mode & _S_IFMT) != _S_IFREG) return FileRead::not_regular;
  if (named.st_size < 0 || static_cast<unsigned long long>(named.st_size) > limit) return FileRead::too_large;

  // std::ifstream shares the file with other readers and writers.
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return FileRead::missing;
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(named.st_size));
  std::array<char, 1 << 16> chunk;
  while (file.read(chunk.data(), chunk.size()) || file.gcount() > 0) {
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got > limit - bytes.size()) return FileRead::too_large;
    bytes.append(chunk.data(), got);
  }
  return file.bad() ? FileRead::failed : FileRead::read;
}

}  // namespace feltwise_comm
