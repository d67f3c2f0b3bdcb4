#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "parameters/regular_file.h"

namespace feltwise_comm {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

FileRead read_regular_file(const std::string& path, std::size_t limit, std::string& bytes) {
  // stat first, so that a FIFO or a device is never opened: opening a FIFO
  // waits for a writer, and opening a tty may make it the controlling one.
  struct stat named;
  if (::stat(path.c_str(), &named) != 0) return FileRead::missing;
  if (!S_ISREG(named.st_mode)) return FileRead::not_regular;

  // The path may name something else by now. O_NONBLOCK keeps the open of a
  // FIFO swapped in from waiting; fstat then judges what was really opened.
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return FileRead::missing;
  struct stat opened;
  if (::fstat(file.get(), &opened) != 0) return FileRead::failed;
  if (!S_ISREG(opened.st_mode)) return FileRead::not_regular;
  if (opened.st_size < 0 || static_cast<unsigned long long>(opened.st_size) > limit) return FileRead::too_large;

  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(opened.st_size));
  std::array<char, 1 << 16> chunk;
  for (;;) {
    const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return FileRead::failed;
    if (got == 0) return FileRead::read;
    if (static_cast<std::size_t>(got) > limit - bytes.size()) return FileRead::too_large;
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
  }
}

}  // namespace feltwise_comm
